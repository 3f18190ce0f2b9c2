#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS_PER_TARGET seconds (default 600)
# on a scratch copy of its seed corpus, two targets at a time, with a 512 MB
# memory limit and a 1-second limit per input: every committed input runs in
# a small fraction of that, so a slow one is a regression (a chain or a
# directory whose cost no longer follows the archive's size). Crashes,
# timeouts and out-of-memory inputs are kept under build/fuzz/artifacts/; the
# script exits non-zero if any target found one.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
# FUZZ_JOBS sets how many targets run at once (default 2). FUZZ_KEEP_CORPUS
# names a directory that keeps the inputs found, one subdirectory per target
# (by default they go to a scratch directory that is removed).
set -euo pipefail

seconds=${1:-600}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [SECONDS_PER_TARGET]" >&2
    exit 2
fi
jobs=${FUZZ_JOBS:-2}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/fuzz"
artifacts="$build/artifacts"
logs="$build/logs"

# Each target with the longest input it is given: archives need room for a
# header, nodes and chains; archive descriptions for a few dozen files; ids
# come in runs of 4-byte values; the others are small records or texts.
targets=(open_archive_fuzzer:12288 lrs_fuzzer:16384 font_fuzzer:2048 runner_cli_fuzzer:512
    file_type_fuzzer:256 archive_round_trip_fuzzer:4096 error_fuzzer:512 verify_fuzzer:12288
    tool_values_fuzzer:64)

# Configure once; later runs only let ninja check that the targets are
# current, which is quick when nothing changed.
if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON -DTARNWICK_BUILD_TESTS=OFF \
        -DTARNWICK_BUILD_BENCHMARKS=OFF -DTARNWICK_INSTALL=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
    --target "${targets[@]%%:*}" >/dev/null

mkdir -p "$artifacts" "$logs"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-fuzz.XXXXXX")
found=${FUZZ_KEEP_CORPUS:-$scratch}
declare -A status=()
declare -A pid_name=()
# Stops the targets still running (when interrupted) and drops the scratch
# corpora.
cleanup() {
    for pid in "${!pid_name[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs one target in place of the calling subshell (so that its process id
# is the fuzzer's); new inputs go to the first directory named (scratch or
# FUZZ_KEEP_CORPUS), so the committed corpus is only read.
run_target() {
    local name=$1 max_len=$2
    mkdir -p "$found/$name"
    exec "$build/fuzz/$name" "$found/$name" "$root/fuzz/corpus/$name" \
        -rss_limit_mb=512 -timeout=1 -max_total_time="$seconds" -max_len="$max_len" \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
        >"$logs/$name.log" 2>&1
}

# Starts targets while fewer than `jobs` run; records each one's status.
for target in "${targets[@]}"; do
    while ((${#pid_name[@]} >= jobs)); do
        finished=""
        wait -n -p finished "${!pid_name[@]}" && rc=0 || rc=$?
        status[${pid_name[$finished]}]=$rc
        unset "pid_name[$finished]"
    done
    name=${target%%:*}
    echo "== fuzzing $name for ${seconds}s"
    run_target "$name" "${target##*:}" &
    pid_name[$!]=$name
done
while ((${#pid_name[@]} > 0)); do
    finished=""
    wait -n -p finished "${!pid_name[@]}" && rc=0 || rc=$?
    status[${pid_name[$finished]}]=$rc
    unset "pid_name[$finished]"
done

failed=0
for target in "${targets[@]}"; do
    name=${target%%:*}
    runs=$(grep -ho 'stat::number_of_executed_units: [0-9]*' "$logs/$name.log" | grep -o '[0-9]*$' ||
        true)
    if [[ ${status[$name]} -eq 0 ]]; then
        echo "$name: ok, ${runs:-?} inputs"
    else
        failed=1
        echo "$name: FAILED (status ${status[$name]}) after ${runs:-?} inputs; log $logs/$name.log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written|.*runtime error)' \
            "$logs/$name.log" | head -n 8 || true
    fi
done
exit "$failed"
