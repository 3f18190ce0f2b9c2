#!/usr/bin/env bash
# Builds quorvant and runs it against the portal archive named by
# TARNWICK_PORTAL_DAT, or the one at the default place (dats/portal.dat at the
# project root). When neither exists, writes a synthetic sample archive into
# the build folder and runs against that instead, so the whole road can be
# seen working. Arguments are passed on to quorvant; without any, it runs
# with --show-output so that the font check's summary line shows.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"

build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target quorvant tarnwick-dat >/dev/null

quorvant="$build/crates/tarnwick-dat/quorvant"
# With no arguments of the user's, show what the cases printed (the font
# check's summary line) as well as the report.
if (($# == 0)); then
    set -- --show-output
fi
if [[ -n "${TARNWICK_PORTAL_DAT:-}" && -e "$TARNWICK_PORTAL_DAT" ]] || [[ -e "$root/dats/portal.dat" ]]; then
    exec "$quorvant" "$@"
fi

sample="$build/sample/portal.dat"
mkdir -p "$(dirname "$sample")"
"$build/tools/tarnwick-dat" sample "$sample" --files 2000 --fonts 12 --seed 1 >/dev/null
echo "No portal.dat found: running against a synthetic sample archive, $sample"
TARNWICK_PORTAL_DAT="$sample" exec "$quorvant" "$@"
