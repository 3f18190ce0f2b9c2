"""tarnwick_dat.diff and Archive.manifest: the changes between two versions
built with the writer, with either side an archive or a saved manifest."""

from __future__ import annotations

from pathlib import Path

import pytest

import tarnwick_dat
from tarnwick_dat import ChangeKind, FileType
from tarnwick_dat_testing import ArchiveBuilder

from conftest import CONTENTS, COMPRESSED_ID, EMPTY_ID, PLAIN_ID, sample_builder, write

ADDED_ID = 0x0A000009


def changed_builder() -> ArchiveBuilder:
    """The sample with the plain file modified, the empty one removed, a file
    added and the compressed one stored plainly (the same bytes)."""
    builder = ArchiveBuilder()
    builder.directory(max_entries_per_node=5)
    for file_id, data in CONTENTS.items():
        if file_id == EMPTY_ID:
            continue
        if file_id == PLAIN_ID:
            data = data[:-1] + b"!"
        builder.add_file(file_id, data, compress=file_id == 0x40000007)
    builder.add_file(ADDED_ID, b"new")
    return builder


def test_changes_between_two_archives(tmp_path: Path) -> None:
    old = tarnwick_dat.open(write(tmp_path, sample_builder(), "old.dat"))
    new = tarnwick_dat.open(write(tmp_path, changed_builder(), "new.dat"))
    report = tarnwick_dat.diff(old, new, threads=2)
    assert [(c.id, c.kind, c.type, c.old_size, c.new_size) for c in report.changes] == [
        (EMPTY_ID, ChangeKind.Removed, FileType.Model, 0, None),
        (PLAIN_ID, ChangeKind.Modified, FileType.Texture, 5000, 5000),
        (COMPRESSED_ID, ChangeKind.MetadataOnly, FileType.Audio, 5900, 5900),
        (ADDED_ID, ChangeKind.Added, FileType.Audio, None, 3),
    ] and report.changes[1].old_entry == old.entry(PLAIN_ID)
    assert report.changes[3].old_entry is None and report.changes[3].new_entry == new.entry(ADDED_ID)
    assert not report.identical and report.compared == len(CONTENTS) + 1
    assert report.totals[ChangeKind.Added].new_bytes == 3
    assert report.by_type[FileType.Audio][ChangeKind.MetadataOnly].files == 1
    assert report.summary() == (
        f"{len(CONTENTS) + 1} files compared, 4 differ: 1 added, 1 removed, 1 modified, "
        "1 metadata-only, 0 unreadable")
    selected = tarnwick_dat.diff(old, new, ids=[PLAIN_ID, 0x7FFFFFFF], types=[FileType.Audio])
    assert [c.id for c in selected.changes] == [PLAIN_ID, COMPRESSED_ID, ADDED_ID]
    assert selected.missing == (0x7FFFFFFF,)


def test_manifests_stand_in_for_archives(tmp_path: Path) -> None:
    old = tarnwick_dat.open(write(tmp_path, sample_builder(), "old.dat"))
    new = tarnwick_dat.open(write(tmp_path, changed_builder(), "new.dat"))
    saved = tmp_path / "old.json"
    saved.write_text(old.manifest())
    assert tarnwick_dat.diff(saved, old).identical
    expected = [(c.id, c.kind) for c in tarnwick_dat.diff(old, new).changes]
    assert [(c.id, c.kind) for c in tarnwick_dat.diff(str(saved), new).changes] == expected
    sha = tmp_path / "new.json"
    sha.write_text(new.manifest("sha256"))
    assert tarnwick_dat.diff(old, sha).hash == "sha256"
    with pytest.raises(ValueError, match=r"different kinds \(xxh3 and sha256\)"):
        tarnwick_dat.diff(saved, sha)
    with pytest.raises(ValueError, match="hash must be 'xxh3' or 'sha256'"):
        old.manifest("md5")
    broken = tmp_path / "broken.json"
    broken.write_text('[{"id": 1}]')
    with pytest.raises(tarnwick_dat.ManifestError) as caught:
        tarnwick_dat.diff(broken, new)
    assert (caught.value.path, caught.value.entry) == (str(broken), 1)
    assert str(caught.value) == f"{broken}: entry 1: 'id' must be a string of eight hexadecimal digits"
    with pytest.raises(TypeError):
        tarnwick_dat.diff(old, 42)
