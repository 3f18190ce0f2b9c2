#!/usr/bin/env bash
# The LRS codec through the tool, file to file, against lz4 on the same data:
#  - `tarnwick-dat lrs decompress` against `lz4 -d` on 48 MiB of mixed data
#    (time and peak memory);
#  - `tarnwick-dat lrs compress` against `lz4 -1` on three corpora (English-
#    like text, a synthetic archive's bytes, machine code): speed and ratio.
# Each time is the best of five runs. Builds the tool in Release first.
#   scripts/bench-lrs.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target tarnwick-dat >/dev/null
tool="$build/tools/tarnwick-dat"

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench-lrs.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The corpora, 16 MiB each.
size=$((16 << 20))
words=(the of and archive portal block chain font glyph cell width height offset file entry
    directory node header size data surface id version compressed decoder output input stream)
awk -v n="$size" -v w="${words[*]}" 'BEGIN {
    split(w, words, " "); srand(1); out = 0;
    while (out < n) { s = words[int(rand() * length(words)) + 1] (rand() < 0.1 ? ".\n" : " ");
                      printf "%s", s; out += length(s) } }' >"$work/text.long"
# Cut from a file rather than a pipe: awk killed by SIGPIPE would end the
# script under pipefail.
head -c "$size" "$work/text.long" >"$work/text"
"$tool" sample "$work/archive.dat" --files 20000 --fonts 40 --seed 3 >/dev/null
head -c "$size" "$work/archive.dat" >"$work/archive"
code=$(ls /usr/lib/x86_64-linux-gnu/libLLVM-14.so.1 /usr/lib/llvm-14/lib/libLLVM-14.so.1 \
    /usr/bin/clang-14 2>/dev/null | head -n 1 || true)
if [[ -n "$code" && $(stat -L -c %s "$code") -ge $size ]]; then
    head -c "$size" "$code" >"$work/code"
else
    echo "no large executable found for the machine-code corpus: using the tool itself twice over"
    cat "$tool" "$tool" "$tool" "$tool" | head -c "$size" >"$work/code"
fi
cat "$work/text" "$work/archive" "$work/code" >"$work/mixed"

# Best wall time of five runs of the command, in seconds.
best_of_five() {
    local best="" start end t
    for _ in 1 2 3 4 5; do
        start=$(date +%s.%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s.%N)
        t=$(echo "$end - $start" | bc -l)
        if [[ -z "$best" ]] || (($(echo "$t < $best" | bc -l))); then
            best=$t
        fi
    done
    echo "$best"
}

# Peak resident memory of one run, in KiB.
peak_kib() {
    /usr/bin/time -f "%M" "$@" 2>&1 >/dev/null | tail -n 1
}

mib() { echo "scale=1; $1 / 1048576" | bc -l; }

echo "== decompress, file to file, $(mib "$(stat -c %s "$work/mixed")") MiB of mixed data"
"$tool" lrs compress "$work/mixed" "$work/mixed.lrs"
lz4 -q -1 -f "$work/mixed" "$work/mixed.lz4"
ours=$(best_of_five "$tool" lrs decompress "$work/mixed.lrs" "$work/out.lrs")
theirs=$(best_of_five lz4 -q -d -f "$work/mixed.lz4" "$work/out.lz4")
cmp "$work/out.lrs" "$work/mixed"
cmp "$work/out.lz4" "$work/mixed"
printf "tarnwick-dat lrs decompress: %.3f s, peak %s KiB\n" "$ours" \
    "$(peak_kib "$tool" lrs decompress "$work/mixed.lrs" "$work/out.lrs")"
printf "lz4 -d:                      %.3f s, peak %s KiB\n" "$theirs" \
    "$(peak_kib lz4 -q -d -f "$work/mixed.lz4" "$work/out.lz4")"
printf "ratio (ours / lz4): %.2fx\n" "$(echo "$ours / $theirs" | bc -l)"

echo "== compress, file to file, per corpus"
printf "%-8s %12s %12s %10s %10s\n" corpus "ours MB/s" "lz4-1 MB/s" "ours ratio" "lz4 ratio"
for corpus in text archive code; do
    in="$work/$corpus"
    bytes=$(stat -c %s "$in")
    ours=$(best_of_five "$tool" lrs compress "$in" "$in.lrs")
    theirs=$(best_of_five lz4 -q -1 -f "$in" "$in.lz4")
    printf "%-8s %12.1f %12.1f %10.2f %10.2f\n" "$corpus" \
        "$(echo "$bytes / $ours / 1000000" | bc -l)" "$(echo "$bytes / $theirs / 1000000" | bc -l)" \
        "$(echo "$bytes / $(stat -c %s "$in.lrs")" | bc -l)" \
        "$(echo "$bytes / $(stat -c %s "$in.lz4")" | bc -l)"
done
