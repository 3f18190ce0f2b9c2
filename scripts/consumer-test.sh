#!/usr/bin/env bash
# Installs the project from a finished build into a temporary prefix, then
# builds and runs a small project outside the source tree against it, through
# find_package and through pkg-config, and once more taking the sources in
# through FetchContent; finally builds the Debian package and runs quorvant
# from it.
# Usage: consumer-test.sh BUILD_DIR
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

archive="$work/sample.dat"
"$prefix/bin/tarnwick-dat" sample "$archive" --files 40 --fonts 3 --seed 7 >/dev/null
# The sample holds 40 files, 3 of them well-formed fonts.
expected="40 files, 3 fonts"

check() {
    local what=$1 got=$2
    if [[ "$got" != "$expected" ]]; then
        echo "consumer test ($what): expected '$expected', got '$got'" >&2
        exit 1
    fi
    echo "consumer test ($what): $got"
}

cmake -S "$root/tests/consumer" -B "$work/consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
check find_package "$("$work/consumer/count_files" "$archive")"

cmake -S "$root/tests/consumer_fetchcontent" -B "$work/fetchcontent" -G Ninja \
    -DTARNWICK_SOURCE_DIR="$root" >/dev/null
cmake --build "$work/fetchcontent" --target count_files >/dev/null
check FetchContent "$("$work/fetchcontent/count_files" "$archive")"

# shellcheck disable=SC2046
g++ "$root/tests/consumer/count_files.cpp" -o "$work/count_files_pc" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs tarnwick_dat)
check pkg-config "$("$work/count_files_pc" "$archive")"

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
dpkg-deb --info "$deb" >/dev/null
dpkg-deb -x "$deb" "$work/deb/root"
listed=$("$work/deb/root/usr/bin/quorvant" --list | tail -n 1)
if [[ "$listed" != "4 tests, 0 benchmarks" ]]; then
    echo "quorvant from the Debian package listed: $listed" >&2
    exit 1
fi
echo "Debian package: $(basename "$deb"), quorvant --list: $listed"
