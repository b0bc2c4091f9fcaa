#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzz build for SECONDS each, starting from its seed corpus in
# Tests/Fuzz/corpus/<name>/ (read only: what the run finds goes to a scratch directory). Fails when
# a harness crashes, a sanitizer reports, an invariant breaks or one input runs longer than 10 s;
# the input that did it is kept in <build>/fuzz-artifacts/ and can be replayed by passing it to the
# harness. The mutations follow FUZZ_SEED (1), so that a run can be repeated (inputs that start
# worker threads may still behave differently).
#
#   [FUZZ_SEED=N] Tests/Fuzz/run.sh SECONDS [BUILD_DIR]      (BUILD_DIR: build-fuzz, preset "fuzz")
set -euo pipefail

seconds=${1:?usage: Tests/Fuzz/run.sh SECONDS [BUILD_DIR]}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${2:-$root/build-fuzz}" && pwd)
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"

harnesses=()
for file in "$build"/Tests/Fuzz/fuzz_*; do
    [[ -f "$file" && -x "$file" ]] && harnesses+=("$file")
done
if [[ ${#harnesses[@]} -eq 0 ]]; then
    echo "run.sh: no harness in $build/Tests/Fuzz; build the preset fuzz first" >&2
    exit 1
fi

failed=()
for harness in "${harnesses[@]}"; do
    name=${harness##*/fuzz_}
    scratch=$(mktemp -d)
    echo "== fuzz_$name: $seconds s"
    if ! (cd "$scratch" && PLINTH_CONFIG=:memory: "$harness" -max_total_time="$seconds" -seed="${FUZZ_SEED:-1}" -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
            "$scratch" "$root/Tests/Fuzz/corpus/$name"); then
        failed+=("fuzz_$name")
    fi
    rm -rf "$scratch"
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "run.sh: failed: ${failed[*]}; the inputs are in $artifacts" >&2
    exit 1
fi
echo "run.sh: every harness ran $seconds s without a failure"
