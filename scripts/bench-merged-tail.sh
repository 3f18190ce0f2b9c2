#!/usr/bin/env bash
# Reads, wall time and peak memory of `verify`, `extract` and Python's
# read_many over every file, on an archive whose entries each start in a
# block of their own and then all run into one scattered tail of 5-byte
# blocks, for two builds side by side in one run (say main before a change
# and after it). Reads are the archive's read calls, counted by the fault
# shim in its pass-through mode.
#
# Usage: scripts/bench-merged-tail.sh BEFORE_BUILD AFTER_BUILD [ENTRIES [TAIL_BLOCKS]]
# (defaults 20 and 200000). Each build needs tools/tarnwick-dat and its
# python/ package built; AFTER_BUILD also the fault shim and the test module
# (targets tarnwick_dat_fault_shim and tarnwick_dat_python_testing).
set -euo pipefail

if (($# < 2)); then
    sed -n '9,12p' "$0" >&2
    exit 2
fi
before="$(cd "$1" && pwd)"
after="$(cd "$2" && pwd)"
entries="${3:-20}"
tail_blocks="${4:-200000}"
shim="$after/crates/tarnwick-dat/libtarnwick_dat_fault_shim.so"
for needed in "$before/tools/tarnwick-dat" "$after/tools/tarnwick-dat" "$shim"; do
    if [[ ! -e "$needed" ]]; then
        echo "missing $needed: build it first" >&2
        exit 1
    fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-merged-XXXXXX")"
trap 'rm -rf "$work"' EXIT
archive="$work/merged.dat"
PYTHONPATH="$after/python" python3 -c '
import sys
from tarnwick_dat_testing import merged_tail_archive
with open(sys.argv[1], "wb") as out:
    out.write(merged_tail_archive(int(sys.argv[2]), int(sys.argv[3])))
' "$archive" "$entries" "$tail_blocks"
echo "archive of $(stat -c %s "$archive") bytes: $entries entries running into one tail of" \
    "$tail_blocks scattered 5-byte blocks; $(nproc) processors"

read_all='
import sys, tarnwick_dat
with tarnwick_dat.open(sys.argv[1]) as archive:
    print(sum(map(len, archive.read_many([entry.id for entry in archive]))))
'

# measure LABEL COMMAND...: the wall time and peak memory of one run, and
# the reads of the archive in a second run under the shim (which slows reads
# down). A damaged archive makes verify exit non-zero: that is expected.
measure() {
    local label="$1"
    shift
    rm -rf "$work/out" "$work/count"
    /usr/bin/time -o "$work/time" -f "%e %M" "$@" >/dev/null 2>&1 || true
    rm -rf "$work/out"
    env LD_PRELOAD="$shim" TARNWICK_FAULT_PATH="$archive" TARNWICK_FAULT=count \
        TARNWICK_FAULT_COUNT="$work/count" "$@" >/dev/null 2>&1 || true
    local seconds kilobytes
    read -r seconds kilobytes < <(tail -n 1 "$work/time")
    printf "  %-30s %10s reads %8s s %8.1f MB\n" "$label" "$(cat "$work/count" 2>/dev/null || echo '?')" \
        "$seconds" "$(echo "$kilobytes / 1024" | bc -l)"
}

cat "$archive" >/dev/null  # into the page cache
for build in "$before" "$after"; do
    echo "$build:"
    tool="$build/tools/tarnwick-dat"
    measure "verify" "$tool" verify "$archive"
    measure "extract" "$tool" extract "$archive" "$work/out" -q
    measure "Python read_many, every file" env PYTHONPATH="$build/python" python3 -c "$read_all" "$archive"
done
