#!/usr/bin/env bash
# Checks that every tracked C++ file is as clang-format 14 (Debian's) lays it
# out under the repository's .clang-format; lists the files that differ and
# exits non-zero if any does. To fix them: scripts/format-check.sh --fix
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
format=clang-format-14
fix=0
if [[ ${1:-} == --fix ]]; then
    fix=1
elif [[ $# -gt 0 ]]; then
    echo "usage: $0 [--fix]" >&2
    exit 2
fi

mapfile -t files < <(git ls-files '*.cpp' '*.hpp' '*.h')
if ((fix)); then
    "$format" -i "${files[@]}"
    exit 0
fi
differ=()
for f in "${files[@]}"; do
    if ! "$format" --dry-run -Werror "$f" >/dev/null 2>&1; then
        differ+=("$f")
    fi
done
if ((${#differ[@]})); then
    echo "not formatted as .clang-format says (scripts/format-check.sh --fix):" >&2
    printf '  %s\n' "${differ[@]}" >&2
    exit 1
fi
echo "all ${#files[@]} C++ files formatted"
