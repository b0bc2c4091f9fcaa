#!/usr/bin/env bash
# Runs clang-tidy (the checks in the tree's .clang-tidy) over the library's own sources: Include,
# Source, Base, Drivers, Tools and Python. The tests, benchmarks and fuzz harnesses are left out
# to keep the run within a few minutes on two cores. Uses the compile commands of the preset
# "default" (configure it first; the build directory may be given as the argument). Prints every
# finding and exits non-zero when there is any.
set -euo pipefail

cd "$(dirname "$0")/.."
build=${1:-build}
CLANG_TIDY=${CLANG_TIDY:-clang-tidy}
jobs=${TIDY_JOBS:-2}
command -v "$CLANG_TIDY" >/dev/null || { echo "check-tidy: $CLANG_TIDY not found" >&2; exit 2; }
[[ -f "$build/compile_commands.json" ]] || {
    echo "check-tidy: no $build/compile_commands.json (run: cmake --preset default)" >&2
    exit 2
}

mapfile -t files < <(/usr/bin/python3 - "$build/compile_commands.json" "$PWD" <<'PY'
import json, os, sys
root = sys.argv[2]
own = ("Include", "Source", "Base", "Drivers", "Tools", "Python")
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.split(os.sep)[0] in own:
        print(path)
PY
)
[[ ${#files[@]} -gt 0 ]] || { echo "check-tidy: no sources of ours in $build/compile_commands.json" >&2; exit 2; }

# One log per source keeps the parallel runs' output apart; a source whose run fails leaves a mark.
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
printf '%s\n' "${files[@]}" | sort -u \
    | xargs -P "$jobs" -I{} sh -c 'log="$3/$(echo "$2" | tr / _)"; "$0" -p "$1" --quiet "$2" >"$log.log" 2>&1 || touch "$log.failed"' \
        "$CLANG_TIDY" "$build" {} "$logs"

findings=$(cat "$logs"/*.log | grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' | sort -u || true)
failed=$(find "$logs" -name '*.failed' | wc -l)
if [[ -n "$findings" || "$failed" -ne 0 ]]; then
    [[ -n "$findings" ]] && echo "$findings"
    [[ -n "$findings" ]] || cat "$logs"/*.log
    echo "check-tidy: $(grep -c . <<<"$findings") finding(s), $failed of ${#files[@]} sources failed" >&2
    exit 1
fi
echo "check-tidy: ${#files[@]} sources clean"
