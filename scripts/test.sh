#!/usr/bin/env bash
# Builds and runs every test: a layout check (clang-format); a g++ Release
# build of every target, with the Python module (-O3 warns where the other
# builds do not), its tests and the installed-package consumer test; the
# Python package installed offline into a throwaway venv and tested under
# pytest; a clang++ Debug build under AddressSanitizer and
# UndefinedBehaviorSanitizer; the runner's and the library's thread tests
# under ThreadSanitizer; and a short run of every fuzz target on its seed
# corpus. Every build here treats warnings as errors. Exits non-zero on any
# failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"

jobs=$(nproc 2>/dev/null || echo 2)

configure_and_build() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DTARNWICK_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

echo "== the C++ sources' layout"
"$root/scripts/format-check.sh"

echo "== g++ Release build of every target, and its tests"
configure_and_build build/gcc-release -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release \
    -DTARNWICK_BUILD_PYTHON=ON
ctest --test-dir build/gcc-release --output-on-failure --timeout 120 -j "$jobs"

echo "== the installed package, used from outside the source tree"
"$root/scripts/consumer-test.sh" build/gcc-release

echo "== the Python package, installed offline into a throwaway venv, under pytest"
"$root/scripts/python-test.sh"

echo "== clang++ with AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build build/asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DTARNWICK_SANITIZE=ON -DTARNWICK_BUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure --timeout 300 -j "$jobs"

echo "== clang++ with ThreadSanitizer: the runner and the library's threads"
cmake -S "$root" -B build/tsan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DTARNWICK_TSAN=ON -DTARNWICK_BUILD_BENCHMARKS=OFF -DTARNWICK_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target runner_unittests tarnwick_dat_thread_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/runner/runner_unittests --gtest_brief=1
# A longer history lets the sanitizer recall the earlier access of a race
# among many fetches; without it such a report can be dropped.
TSAN_OPTIONS=halt_on_error=1:history_size=7 \
    build/tsan/crates/tarnwick-dat/tarnwick_dat_thread_tests --gtest_brief=1

echo "== every fuzz target, briefly, on its seed corpus"
"$root/scripts/fuzz.sh" 10

echo "All tests passed."
