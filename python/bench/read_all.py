"""Reads every file of a 100,000-file archive through Archive.read, next to
the same loop in C++ (in the native module, GIL released), with one thread
and with two. Prints the best of several runs of each and the ratios.

    python bench/read_all.py [ARCHIVE] [--repeat N]

Without ARCHIVE it writes a synthetic sample archive (100,000 files, 50
fonts) to a temporary folder first. The archive is read once before timing,
so every run reads from the page cache.
"""

from __future__ import annotations

import argparse
import tempfile
import threading
import time
from pathlib import Path

import tarnwick_dat
from tarnwick_dat import _native
from tarnwick_dat._testing import write_sample_archive


def python_loop(archive, ids):
    read = archive.read
    total = 0
    for file_id in ids:
        total += len(read(file_id))
    return total


def python_threads(archive, ids, threads):
    totals = [0] * threads
    parts = [ids[len(ids) * t // threads: len(ids) * (t + 1) // threads] for t in range(threads)]

    def run(t):
        totals[t] = python_loop(archive, parts[t])

    workers = [threading.Thread(target=run, args=(t,)) for t in range(1, threads)]
    for worker in workers:
        worker.start()
    run(0)
    for worker in workers:
        worker.join()
    return sum(totals)


def best_of(repeat, function):
    """The shortest wall time of `repeat` runs, the CPU time the process used
    in that run (above the wall time only when threads ran at once), and the
    run's result."""
    best, cpu, result = float("inf"), 0.0, None
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = function()
        elapsed = time.perf_counter() - start
        if elapsed < best:
            best, cpu = elapsed, time.process_time() - start_cpu
    return best, cpu, result


def measure(path: Path, repeat: int) -> None:
    with tarnwick_dat.open(path) as archive:
        ids = [entry.id for entry in archive]
        expected = _native._read_all_native(archive)  # warms the page cache
        runs = {
            "C++, 1 thread": lambda: _native._read_all_native(archive, threads=1),
            "C++, 2 threads": lambda: _native._read_all_native(archive, threads=2),
            "Python, 1 thread": lambda: python_loop(archive, ids),
            "Python, 2 threads": lambda: python_threads(archive, ids, 2),
            "Python, for entry in archive": lambda: sum(
                len(archive.read(e.id)) for e in archive),
        }
        times, cpu = {}, {}
        for name, function in runs.items():
            times[name], cpu[name], total = best_of(repeat, function)
            if total != expected:
                raise SystemExit(f"{name}: read {total} bytes, expected {expected}")
    print(f"{len(ids)} files, {expected / 1e6:.1f} MB decoded, best of {repeat} runs")
    for name, seconds in times.items():
        print(f"  {name:30} {seconds * 1e3:8.1f} ms  {seconds / len(ids) * 1e6:6.2f} us/file"
              f"  cpu/wall {cpu[name] / seconds:.2f}")
    print(f"Python / C++ (1 thread):         {times['Python, 1 thread'] / times['C++, 1 thread']:.2f}x"
          "  (aim: at most 1.5x)")
    print(f"Python 1 thread / 2 threads:     {times['Python, 1 thread'] / times['Python, 2 threads']:.2f}x"
          "  (aim: above 1)")
    print(f"C++ 1 thread / 2 threads:        {times['C++, 1 thread'] / times['C++, 2 threads']:.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("archive", nargs="?", type=Path)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if args.archive:
        measure(args.archive, args.repeat)
        return
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "sample.dat"
        write_sample_archive(path, files=100_000, fonts=50)
        measure(path, args.repeat)


if __name__ == "__main__":
    main()
