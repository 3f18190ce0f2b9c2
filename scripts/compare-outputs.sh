#!/usr/bin/env bash
# Runs two builds of quorvant and the tarnwick-dat tool side by side on the
# same sample archives, sound and damaged, and fails on the first difference
# in standard output, standard error or exit status (run times and thread ids aside).
# Usage: compare-outputs.sh OLD_BIN_DIR NEW_BIN_DIR
# where each directory holds `quorvant` and `tarnwick-dat`.
set -euo pipefail

old=$1
new=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$new/tarnwick-dat" sample "$work/sound.dat" --files 60 --fonts 4 --seed 11 >/dev/null
size=$(stat -c %s "$work/sound.dat")
# Damaged copies: cut inside the header, cut halfway, cut near the end, a
# font's bytes overwritten, and a header whose block size is too small.
head -c 350 "$work/sound.dat" >"$work/cut-header.dat"
head -c $((size / 2)) "$work/sound.dat" >"$work/cut-half.dat"
head -c $((size - 700)) "$work/sound.dat" >"$work/cut-end.dat"
cp "$work/sound.dat" "$work/bad-block-size.dat"
printf '\x04\x00\x00\x00' | dd of="$work/bad-block-size.dat" bs=1 seek=$((0x144)) conv=notrunc status=none
cp "$work/sound.dat" "$work/bad-font.dat"
# The first font (stored, not compressed) claims 4095 glyphs: its decoding
# runs out inside a glyph.
offset=$("$new/tarnwick-dat" ls "$work/sound.dat" 40000000 --jsonl | sed -E 's/.*"offset":([0-9]+).*/\1/' | grep -E '^[0-9]+$')
printf '\xff\x0f\x00\x00' | dd of="$work/bad-font.dat" bs=1 seek=$((offset + 4 + 12)) conv=notrunc status=none

run() {
    local bin=$1 tag=$2
    shift 2
    set +e
    "$bin" "$@" >"$work/$tag.out" 2>"$work/$tag.err"
    echo $? >"$work/$tag.rc"
    set -e
    # Run times and thread ids are the things that may differ.
    sed -i -E -e 's/finished in [0-9.]+s/finished in Ts/' -e 's/\([0-9]+\) panicked/(N) panicked/' "$work/$tag.out" "$work/$tag.err"
}

failures=0
compare() {
    local tool=$1
    shift
    run "$old/$tool" old "$@"
    run "$new/$tool" new "$@"
    for part in out err rc; do
        if ! cmp -s "$work/old.$part" "$work/new.$part"; then
            echo "DIFFERS ($part): $tool $*" >&2
            diff "$work/old.$part" "$work/new.$part" | head -n 20 >&2 || true
            failures=$((failures + 1))
        fi
    done
}

checks=0
for archive in sound cut-header cut-half cut-end bad-block-size bad-font; do
    dat="$work/$archive.dat"
    for args in "info" "info --json" "ls" "ls --json" "verify" "verify --json" \
        "font --type font" "font --type font --json" "cat 40000000"; do
        read -r command rest <<<"$args"
        # shellcheck disable=SC2086
        compare tarnwick-dat "$command" "$dat" $rest
        checks=$((checks + 1))
    done
    TARNWICK_PORTAL_DAT=$dat compare quorvant --show-output --test-threads 1
    checks=$((checks + 1))
done
compare tarnwick-dat classify 40000001
compare quorvant --list
echo "$((checks + 2)) runs compared, $failures differences"
[[ $failures -eq 0 ]]
