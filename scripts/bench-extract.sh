#!/usr/bin/env bash
# Times `tarnwick-dat extract` of a 100,000-file sample archive into a fresh
# directory and over an existing one, side by side with `cp -r` of the same
# extracted tree, with hyperfine. Usage: scripts/bench-extract.sh [BUILD_DIR]
# (default build/release; the tool must be built there). RUNS sets the runs.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
tool="$build/tools/tarnwick-dat"
if [[ ! -x "$tool" ]]; then
    echo "no tarnwick-dat at $tool: build it first" >&2
    exit 1
fi
if ! command -v hyperfine >/dev/null; then
    echo "hyperfine is needed (scripts/install-deps.sh installs it)" >&2
    exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench-XXXXXX")"
trap 'rm -rf "$work"' EXIT
archive="$work/sample.dat"
"$tool" sample "$archive" --files 100000 --seed 1 >/dev/null
"$tool" extract "$archive" "$work/tree" -q
echo "archive $(du -h "$archive" | cut -f1); tree of $(find "$work/tree" -type f | wc -l) files," \
    "$(du -sh "$work/tree" | cut -f1); $(nproc) processors"

runs="${RUNS:-5}"
hyperfine --warmup 1 --runs "$runs" --prepare "rm -rf '$work/fresh' '$work/copy'" \
    -n "extract into a fresh directory" "'$tool' extract '$archive' '$work/fresh' -q" \
    -n "extract -j 1 into a fresh directory" "'$tool' extract '$archive' '$work/fresh' -q -j 1" \
    -n "cp -r of the extracted tree" "cp -r '$work/tree' '$work/copy'"
hyperfine --warmup 1 --runs "$runs" \
    -n "extract over the existing tree" "'$tool' extract '$archive' '$work/tree' -q"
