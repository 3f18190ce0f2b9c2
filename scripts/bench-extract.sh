#!/usr/bin/env bash
# Times `tarnwick-dat extract` of a 100,000-file sample archive into a fresh
# directory and over an existing one, side by side with `cp -r` of the same
# extracted tree, with hyperfine. Usage: scripts/bench-extract.sh [BUILD_DIR]
# (default build/release; the tool must be built there).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
tool="$build/tools/tarnwick-dat"
if [[ ! -x "$tool" ]]; then
    echo "no tarnwick-dat at $tool: build it first" >&2
    exit 1
fi
command -v hyperfine >/dev/null || { echo "hyperfine is needed (scripts/install-deps.sh)" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
archive="$work/sample.dat"
"$tool" sample "$archive" --files 100000 --seed 1 >/dev/null
"$tool" extract "$archive" "$work/tree" -q
echo "archive: $(du -h "$archive" | cut -f1), tree: $(find "$work/tree" -type f | wc -l) files," \
    "$(du -sh "$work/tree" | cut -f1); $(nproc) processors"

hyperfine --warmup 1 --runs "${RUNS:-5}" --export-markdown "$work/results.md" \
    --prepare "rm -rf '$work/fresh' '$work/copy'" \
    -n "extract (fresh directory)" "'$tool' extract '$archive' '$work/fresh' -q" \
    -n "cp -r of the tree" "cp -r '$work/tree' '$work/copy'" \
    -n "extract -j 1 (fresh directory)" "'$tool' extract '$archive' '$work/fresh' -q -j 1"
hyperfine --warmup 1 --runs "${RUNS:-5}" \
    -n "extract (over an existing tree)" "'$tool' extract '$archive' '$work/tree' -q"
