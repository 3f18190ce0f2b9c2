#!/usr/bin/env bash
# Line coverage of the archive library (crates/tarnwick-dat/src/) reached by
# the fuzz corpora: builds the fuzz targets with clang's source-based coverage
# in build/fuzz-coverage, runs each target once over its committed corpus
# (fuzz/corpus/<target>/, no fuzzing), merges the profiles and prints
# llvm-cov's report per file; the annotated sources are written as HTML to
# build/fuzz-coverage/html/index.html.
#   scripts/fuzz-coverage.sh [EXTRA_CORPUS_DIR...]
# Each EXTRA_CORPUS_DIR holds further inputs, one subdirectory per target (as
# fuzz.sh keeps them with FUZZ_KEEP_CORPUS), run after the committed ones.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/fuzz-coverage"
profiles="$build/profiles"
targets=(open_archive_fuzzer lrs_fuzzer font_fuzzer runner_cli_fuzzer file_type_fuzzer
    archive_round_trip_fuzzer error_fuzzer verify_fuzzer tool_values_fuzzer)
profdata=${LLVM_PROFDATA:-llvm-profdata-14}
cov=${LLVM_COV:-llvm-cov-14}

for tool in "$profdata" "$cov"; do
    if ! command -v "$tool" >/dev/null; then
        echo "$0: $tool not found (Debian package llvm-14)" >&2
        exit 2
    fi
done
for extra in "$@"; do
    if [[ ! -d "$extra" ]]; then
        echo "$0: $extra is not a directory" >&2
        exit 2
    fi
done

# The coverage flags go to every target along with the fuzzing ones; the
# library's own counters are what the report reads.
if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON -DTARNWICK_BUILD_TESTS=OFF \
        -DTARNWICK_BUILD_BENCHMARKS=OFF -DTARNWICK_INSTALL=OFF \
        -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
        -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
fi
cmake --build "$build" -j 2 --target "${targets[@]}" >/dev/null

rm -rf "$profiles"
mkdir -p "$profiles"
objects=()
for name in "${targets[@]}"; do
    dirs=("$root/fuzz/corpus/$name")
    for extra in "$@"; do
        if [[ -d "$extra/$name" ]]; then
            dirs+=("$extra/$name")
        fi
    done
    # -runs=0 runs every input once and stops; %p keeps one profile per
    # process should libFuzzer fork.
    LLVM_PROFILE_FILE="$profiles/$name-%p.profraw" \
        "$build/fuzz/$name" -runs=0 -rss_limit_mb=2048 -timeout=10 "${dirs[@]}" \
        >"$profiles/$name.log" 2>&1 || {
        echo "$name failed on its corpus; see $profiles/$name.log" >&2
        exit 1
    }
    inputs=$(grep -o 'Done [0-9]* runs' "$profiles/$name.log" | grep -o '[0-9]*' || echo '?')
    echo "$name: ${inputs} inputs"
    objects+=(-object "$build/fuzz/$name")
done

"$profdata" merge -sparse "$profiles"/*.profraw -o "$build/fuzz.profdata"
# The first object is named without -object. The library's own sources are
# under src/; header code that only the targets instantiate (through the
# public include path, a link to src/) shows under include/tarnwick_dat/,
# and is reported separately.
"$cov" report "${objects[@]:1}" -instr-profile="$build/fuzz.profdata" \
    "$root/crates/tarnwick-dat/src"
echo "With the header code instantiated by the targets (include/tarnwick_dat/):"
"$cov" report "${objects[@]:1}" -instr-profile="$build/fuzz.profdata" \
    "$root/crates/tarnwick-dat/src" "$root/crates/tarnwick-dat/include" 2>/dev/null | tail -n 1
"$cov" show "${objects[@]:1}" -instr-profile="$build/fuzz.profdata" -format=html \
    -show-line-counts-or-regions -output-dir="$build/html" \
    "$root/crates/tarnwick-dat/src" "$root/crates/tarnwick-dat/include" 2>/dev/null
echo "HTML report: $build/html/index.html"
