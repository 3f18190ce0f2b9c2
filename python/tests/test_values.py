"""How values show themselves: enum names, reprs, pickling and the types
help() shows."""

from __future__ import annotations

import copy
import pickle

import pytest

import tarnwick_dat
from tarnwick_dat import ArchiveKind, FileEntry, FileType
from test_errors import BAD_ID, damaged_stream

ENTRY = FileEntry(id=0x06000001, bit_flags=1, offset=0x400, size=5000, timestamp=7, version=2)


@pytest.mark.parametrize("text, expected", [
    (str(tarnwick_dat.classify(0x40000001)), "FileType.Font"),
    (f"{FileType.Font}", "FileType.Font"),
    (f"{FileType.Font:02X}|{FileType.Font:d}", "40|64"),
    (repr(FileType.Font), "<FileType.Font: 64>"),
    (str(ArchiveKind.Cell), "ArchiveKind.Cell"),
    (repr(ENTRY), "FileEntry(id=0x06000001, bit_flags=0x1, offset=0x400, size=5000, "
                  "timestamp=7, version=2)"),
])
def test_printed_forms(text, expected):
    assert text == expected


@pytest.fixture
def report(tmp_path):
    path = tmp_path / "damaged.dat"
    path.write_bytes(damaged_stream(tmp_path))
    with tarnwick_dat.open(path) as archive:
        return archive.verify()


def test_report_reprs(report):
    [cut] = [f for f in report.findings if f.kind == "stream_cut"]
    assert repr(cut) == (
        f"Finding(kind='stream_cut', severity='damage', file_id=0x{BAD_ID:08X}, "
        f"file_type=FileType.PaletteSet, node_offset=None, "
        f"description='compressed stream ends after 3 of 60000 bytes (input used up)')")
    t = report.totals
    assert repr(t) == (f"VerifyTotals(files={t.files}, nodes={t.nodes}, "
                       f"stored_bytes={t.stored_bytes}, decoded_bytes={t.decoded_bytes}, "
                       f"blocks={t.blocks}, unused_blocks={t.unused_blocks})")
    damage = sum(f.severity == "damage" for f in report.findings)
    assert repr(report) == (f"<tarnwick_dat.VerifyReport damage={damage} "
                            f"information={len(report.findings) - damage} {t!r}>")


def test_values_pickle_and_copy(report, archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        entries = list(archive)
    for value in (ENTRY, entries, report, report.totals, report.findings, FileType.Font):
        assert pickle.loads(pickle.dumps(value)) == value
        assert copy.deepcopy(value) == value
    again = pickle.loads(pickle.dumps(report))
    assert [str(f) for f in again.findings] == [str(f) for f in report.findings]
    assert again.summary() == report.summary()
    for bad in ((1, 2), (1, 2, 3, 4, 5, 2**32), ("1", 2, 3, 4, 5, 6)):
        with pytest.raises((TypeError, ValueError)):
            FileEntry(*bad)


@pytest.mark.parametrize("function, signature", [
    (tarnwick_dat.classify, "classify(id: int, kind: Optional[ArchiveKind] = None) -> FileType"),
    (tarnwick_dat.Archive.entry, "entry(self: tarnwick_dat._native.Archive, id: int) -> FileEntry"),
    (tarnwick_dat.Archive.file_type,
     "file_type(self: tarnwick_dat._native.Archive, id: int) -> FileType"),
    (tarnwick_dat.Archive.extract, "extract(self: tarnwick_dat._native.Archive, id: int, "
                                   "path: os.PathLike = '.') -> pathlib.Path"),
    (tarnwick_dat.Archive.keys,
     "keys(self: tarnwick_dat._native.Archive) -> collections.abc.KeysView[int]"),
])
def test_help_shows_real_types(function, signature):
    assert function.__doc__.splitlines()[0] == signature
    assert tarnwick_dat.Archive.kind.fget.__doc__.splitlines()[0].endswith("-> ArchiveKind")
