"""One archive shared between threads: the same bytes as one thread reads,
and closing while others read ends their reads cleanly."""

from __future__ import annotations

import faulthandler
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import tarnwick_dat
from conftest import CONTENTS


def test_threads_read_the_same_bytes(archive_path):
    ids = sorted(CONTENTS)
    with tarnwick_dat.open(archive_path) as archive:
        expected = [archive.read(i) for i in ids]
        assert expected == [CONTENTS[i] for i in ids]

        def read_all(turn):
            order = ids[turn % len(ids):] + ids[: turn % len(ids)]
            return {i: archive.read(i) for i in order * 10}

        with ThreadPoolExecutor(max_workers=4) as pool:
            results = list(pool.map(read_all, range(8)))
    assert all(result == dict(zip(ids, expected)) for result in results)


def test_threads_read_many_the_same_bytes(archive_path):
    ids = sorted(CONTENTS) * 20
    expected = [CONTENTS[i] for i in ids]
    with tarnwick_dat.open(archive_path) as archive:
        def read_all(turn):
            if turn % 2:
                return list(archive.iter_read(ids, batch=7))
            return archive.read_many(ids)

        with ThreadPoolExecutor(max_workers=4) as pool:
            results = list(pool.map(read_all, range(8)))
    assert all(result == expected for result in results)


def test_closing_while_threads_read(archive_path):
    archive = tarnwick_dat.open(archive_path)
    started = threading.Barrier(5)
    outcomes = []

    def reader():
        started.wait()
        reads = 0
        try:
            while True:
                for file_id, data in CONTENTS.items():
                    assert archive.read(file_id) == data
                    reads += 1
        except ValueError as error:
            outcomes.append((reads, str(error)))

    threads = [threading.Thread(target=reader) for _ in range(4)]
    for thread in threads:
        thread.start()
    started.wait()
    archive.close()
    for thread in threads:
        thread.join(timeout=30)
    assert len(outcomes) == 4
    assert all(message == "I/O operation on a closed archive" for _, message in outcomes)


def test_open_lets_other_threads_run(tmp_path):
    # Opening a FIFO blocks in the system call until a writer comes; only a
    # call that has released the GIL lets this thread go on to be that writer.
    fifo = tmp_path / "fifo.dat"
    os.mkfifo(fifo)
    outcome = []

    def opener():
        try:
            tarnwick_dat.open(fifo)
        except tarnwick_dat.DatError as error:
            outcome.append(error)

    faulthandler.dump_traceback_later(60, exit=True)  # a held GIL would hang here
    try:
        thread = threading.Thread(target=opener)
        thread.start()
        time.sleep(0.2)
        with open(fifo, "wb"):
            pass
        thread.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert len(outcome) == 1  # a FIFO is no archive: a clear error, after the writer came
