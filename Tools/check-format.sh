#!/usr/bin/env bash
# Lists the C++ sources that clang-format (with the tree's .clang-format) would change, and exits
# non-zero when there is any. With --fix, reformats those files in place instead.
set -euo pipefail

cd "$(dirname "$0")/.."
CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
command -v "$CLANG_FORMAT" >/dev/null || { echo "check-format: $CLANG_FORMAT not found" >&2; exit 2; }

fix=false
if [[ "${1:-}" == "--fix" ]]; then
    fix=true
elif [[ $# -ne 0 ]]; then
    echo "usage: $0 [--fix]" >&2
    exit 2
fi

dirs=()
for dir in Base Include Source Tests Tools Drivers Bench Python; do
    [[ -d "$dir" ]] && dirs+=("$dir")
done

mapfile -t files < <(find "${dirs[@]}" -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

bad=()
for file in "${files[@]}"; do
    if ! "$CLANG_FORMAT" --dry-run --Werror "$file" >/dev/null 2>&1; then
        bad+=("$file")
    fi
done

if [[ ${#bad[@]} -eq 0 ]]; then
    echo "check-format: ${#files[@]} files formatted"
    exit 0
fi
if $fix; then
    "$CLANG_FORMAT" -i "${bad[@]}"
    echo "check-format: reformatted ${#bad[@]} files:"
    printf '  %s\n' "${bad[@]}"
    exit 0
fi
echo "check-format: ${#bad[@]} of ${#files[@]} files differ from clang-format (fix: $0 --fix):" >&2
printf '  %s\n' "${bad[@]}" >&2
exit 1
