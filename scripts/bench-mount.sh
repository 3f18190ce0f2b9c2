#!/usr/bin/env bash
# Times `tarnwick-dat mount` on a 100,000-file sample archive with hyperfine:
# the mount being ready against opening the archive (`info`), `find -type f`
# over a fresh mount, and reading every file through a fresh mount (tar, and
# cat on two processes) against `extract` into a tmpfs; then the mount
# process's peak memory after reading everything, against the cache plus 32
# bytes per entry. Usage: scripts/bench-mount.sh [BUILD_DIR] (default
# build/release; the tool must be built there with libfuse3). RUNS sets the
# runs. Needs /dev/fuse and the right to mount; unmounts whatever it mounted.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
tool="$build/tools/tarnwick-dat"
if [[ ! -x "$tool" ]]; then
    echo "no tarnwick-dat at $tool: build it first" >&2
    exit 1
fi
for program in hyperfine fusermount3 mountpoint; do
    if ! command -v "$program" >/dev/null; then
        echo "$program is needed (scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench-XXXXXX")"
shm="$(mktemp -d /dev/shm/tarnwick-bench-XXXXXX)"
mnt="$work/mnt"
server=""
cleanup() {
    if mountpoint -q "$mnt"; then
        fusermount3 -u "$mnt" || true
    fi
    if [[ -n "$server" ]]; then
        wait "$server" || true
    fi
    rm -rf "$work" "$shm"
}
trap cleanup EXIT
mkdir "$mnt"
archive="$work/sample.dat"
files=100000
"$tool" sample "$archive" --files "$files" --seed 1 >/dev/null
echo "archive $(du -h "$archive" | cut -f1), $files files; $(nproc) processors"

# Unmounts what the run before left (the server ends by itself) and, with
# "again", mounts afresh: every timed read starts from a cold mount.
remount="fusermount3 -u '$mnt' 2>/dev/null || true"
fresh="$remount; '$tool' mount '$archive' '$mnt'"

runs="${RUNS:-10}"
hyperfine --warmup 2 --runs "$runs" --prepare "$remount" \
    -n "open (tarnwick-dat info)" "'$tool' info '$archive'" \
    -n "mount until ready" "'$tool' mount '$archive' '$mnt'"
hyperfine --warmup 1 --runs "$runs" --prepare "$fresh" \
    -n "find MNT -type f | wc -l" "find '$mnt' -type f | wc -l"
hyperfine --warmup 1 --runs "$((runs < 5 ? runs : 5))" \
    --prepare "rm -rf '$shm/tree'; $fresh" \
    -n "extract into a tmpfs" "'$tool' extract '$archive' '$shm/tree' -q" \
    -n "tar -c MNT (every file read)" "tar -cf - -C '$mnt' . | cat >/dev/null" \
    -n "cat of every file, 2 processes" \
    "cd '$mnt' && find . -type f -print0 | xargs -0 -P 2 -n 2000 cat >/dev/null"
eval "$remount"
rm -rf "$shm/tree"

# Peak memory of the server after reading every file, with the default
# cache (64 MiB) and a smaller one.
for cache in 64M 16M; do
    "$tool" mount -f --cache-size "$cache" "$archive" "$mnt" &
    server=$!
    until mountpoint -q "$mnt"; do sleep 0.01; done
    (cd "$mnt" && find . -type f -print0 | xargs -0 -P 2 -n 2000 cat >/dev/null)
    peak_kib="$(awk '/^VmHWM:/ {print $2}' "/proc/$server/status")"
    fusermount3 -u "$mnt"
    wait "$server"
    server=""
    cache_kib=$(($(numfmt --from=iec "$cache") / 1024))
    bound_kib=$((cache_kib + files * 32 / 1024))
    echo "peak memory with --cache-size $cache: $((peak_kib / 1024)) MiB" \
        "(cache plus 32 bytes per entry: $((bound_kib / 1024)) MiB; over it by" \
        "$(((peak_kib - bound_kib) / 1024)) MiB)"
done
