"""Reads every file of a 100,000-file archive through Archive.read, through
Archive.iter_read and read_many (a batch of reads per GIL release), next to
the same loop in C++ (in the native module, GIL released), with one thread
and with two. Prints the best of several rounds for each and the ratios.

    python bench/read_all.py [ARCHIVE] [--repeat ROUNDS]

Without ARCHIVE it writes a synthetic sample archive (100,000 files of 0 to
4 KiB, 50 fonts) to a temporary folder first, and then a second one of 2,000
compressed 64 KiB files, where each read is long enough for threads to gain
from the GIL being released. Archives are read once before timing, so every
run reads from the page cache.
"""

from __future__ import annotations

import argparse
import random
import tempfile
import threading
import time
from pathlib import Path

import tarnwick_dat
from tarnwick_dat_testing import ArchiveBuilder, read_all_native, write_sample_archive


def python_loop(archive, ids):
    read = archive.read
    total = 0
    for file_id in ids:
        total += len(read(file_id))
    return total


def batched_loop(archive, ids):
    total = 0
    for data in archive.iter_read(ids):
        total += len(data)
    return total


def many_loop(archive, ids):
    return sum(map(len, archive.read_many(ids)))


def python_threads(archive, ids, threads, loop=python_loop):
    totals = [0] * threads
    parts = [ids[len(ids) * t // threads: len(ids) * (t + 1) // threads] for t in range(threads)]

    def run(t):
        totals[t] = loop(archive, parts[t])

    workers = [threading.Thread(target=run, args=(t,)) for t in range(1, threads)]
    for worker in workers:
        worker.start()
    run(0)
    for worker in workers:
        worker.join()
    return sum(totals)


def timed(function):
    start, start_cpu = time.perf_counter(), time.process_time()
    result = function()
    return time.perf_counter() - start, time.process_time() - start_cpu, result


def measure(path: Path, repeat: int) -> None:
    with tarnwick_dat.open(path) as archive:
        ids = [entry.id for entry in archive]
        expected = read_all_native(path)  # warms the page cache
        runs = {
            "C++, 1 thread": lambda: read_all_native(path, threads=1),
            "C++, 2 threads": lambda: read_all_native(path, threads=2),
            "Python, 1 thread": lambda: python_loop(archive, ids),
            "Python, 2 threads": lambda: python_threads(archive, ids, 2),
            "Python iter_read, 1 thread": lambda: batched_loop(archive, ids),
            "Python iter_read, 2 threads": lambda: python_threads(archive, ids, 2, batched_loop),
            "Python read_many, 1 thread": lambda: many_loop(archive, ids),
            "Python read_many, 2 threads": lambda: python_threads(archive, ids, 2, many_loop),
            "Python, for entry in archive": lambda: sum(
                len(archive.read(e.id)) for e in archive),
        }
        # Rounds of every variant in turn, keeping each one's best run (and
        # the CPU time of that run, above the wall time only when threads
        # overlapped), so that a change in the machine's load between
        # variants does not favour one of them.
        times = dict.fromkeys(runs, float("inf"))
        cpu = dict.fromkeys(runs, 0.0)
        for _ in range(repeat):
            for name, function in runs.items():
                seconds, cpu_seconds, total = timed(function)
                if total != expected:
                    raise SystemExit(f"{name}: read {total} bytes, expected {expected}")
                if seconds < times[name]:
                    times[name], cpu[name] = seconds, cpu_seconds
    print(f"{len(ids)} files, {expected / 1e6:.1f} MB decoded, best of {repeat} rounds")
    for name, seconds in times.items():
        print(f"  {name:30} {seconds * 1e3:8.1f} ms  {seconds / len(ids) * 1e6:6.2f} us/file"
              f"  cpu/wall {cpu[name] / seconds:.2f}")
    print(f"Python / C++ (1 thread):         {times['Python, 1 thread'] / times['C++, 1 thread']:.2f}x"
          "  (aim: at most 1.2x)")
    # On a machine shared with other work the wall times swing with its load;
    # the CPU time each loop took swings much less.
    print(f"  the same by CPU time:          {cpu['Python, 1 thread'] / cpu['C++, 1 thread']:.2f}x")
    print(f"Python 1 thread / 2 threads:     {times['Python, 1 thread'] / times['Python, 2 threads']:.2f}x"
          "  (aim: above 1)")
    print(f"iter_read 1 thread / 2 threads:  "
          f"{times['Python iter_read, 1 thread'] / times['Python iter_read, 2 threads']:.2f}x"
          "  (aim: at least 1.5x)")
    print(f"read_many 1 thread / 2 threads:  "
          f"{times['Python read_many, 1 thread'] / times['Python read_many, 2 threads']:.2f}x"
          "  (aim: at least 1.5x)")
    print(f"C++ 1 thread / 2 threads:        {times['C++, 1 thread'] / times['C++, 2 threads']:.2f}x")


def write_large_files(path: Path, files: int = 2000, size: int = 64 << 10) -> None:
    rng = random.Random(1)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"epsilon"]
    builder = ArchiveBuilder()
    for i in range(files):
        data = b"".join(rng.choice(words) + bytes([rng.randrange(256)]) for _ in range(size // 6))
        builder.add_file(0x06000000 + i, data[:size], compress=True)
    path.write_bytes(builder.build())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("archive", nargs="?", type=Path)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    if args.archive:
        measure(args.archive, args.repeat)
        return
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "sample.dat"
        write_sample_archive(path, files=100_000, fonts=50)
        measure(path, args.repeat)
        path.unlink()
        print()
        write_large_files(path)
        measure(path, args.repeat)


if __name__ == "__main__":
    main()
