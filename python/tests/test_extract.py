"""Extraction to TYPE/XXXXXXXX.bin: where files land, what is refused, and
that nothing is left behind or written outside the target."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import tarnwick_dat
from conftest import COMPRESSED_ID, CONTENTS, FONT_ID, PLAIN_ID
from tarnwick_dat import FileType

NAMES = {FONT_ID: "Font/40000007.bin", PLAIN_ID: "Texture/06000001.bin",
         COMPRESSED_ID: "Audio/0A000002.bin"}


def tree(root: Path) -> dict[str, bytes]:
    """Every file under `root` (hidden temporaries included) and its bytes."""
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file() and not p.is_symlink()}


@pytest.mark.parametrize("file_id", sorted(NAMES))
def test_extract_one_file(archive_path, tmp_path, file_id):
    out = tmp_path / "out"
    with tarnwick_dat.open(archive_path) as archive:
        written = archive.extract(file_id, out)
    assert written == out / NAMES[file_id]
    assert tree(out) == {NAMES[file_id]: CONTENTS[file_id]}


@pytest.mark.parametrize("kwargs, expected_ids", [
    ({}, sorted(CONTENTS)),
    ({"types": [FileType.Font, FileType.Audio]}, [COMPRESSED_ID, FONT_ID]),
    ({"ids": [FONT_ID, PLAIN_ID]}, [FONT_ID, PLAIN_ID]),
    ({"ids": [FONT_ID, PLAIN_ID], "types": [0x06]}, [PLAIN_ID]),
    ({"ids": []}, []),
])
def test_extractall_selects(archive_path, tmp_path, kwargs, expected_ids):
    with tarnwick_dat.open(archive_path) as archive:
        written = archive.extractall(tmp_path / "out", **kwargs)
        names = [f"{archive.file_type(i).name}/{i:08X}.bin" for i in expected_ids]
    assert written == [tmp_path / "out" / n for n in names]
    assert tree(tmp_path / "out") == {n: CONTENTS[i] for n, i in zip(names, expected_ids)}


def test_extractall_checks_every_id_first(archive_path, tmp_path):
    with tarnwick_dat.open(archive_path) as archive:
        with pytest.raises(tarnwick_dat.NotFoundError):
            archive.extractall(tmp_path / "out", ids=[PLAIN_ID, 0x0E00FFFF])
        for bad, error in [([PLAIN_ID, "1"], TypeError), ([-1], ValueError)]:
            with pytest.raises(error):
                archive.extractall(tmp_path / "out", ids=bad)
        with pytest.raises(TypeError):
            archive.extractall(tmp_path / "out", types=["Font"])
    assert not (tmp_path / "out" / "Texture").exists()


def plant_type_link(out, outside):
    os.symlink(outside, out / "Texture")


def plant_file_link(out, outside):
    (out / "Texture").mkdir()
    os.symlink(outside / "victim", out / "Texture" / "06000001.bin")


def plant_directory(out, outside):
    (out / "Texture" / "06000001.bin").mkdir(parents=True)


def fail_rename(monkeypatch):
    def refuse(*args, **kwargs):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(os, "replace", refuse)


# (what is planted or broken, the error, the files under out/ afterwards)
@pytest.mark.parametrize("plant, broken, error, left", [
    (plant_type_link, None, OSError, {}),
    (plant_file_link, None, None, {"Texture/06000001.bin": CONTENTS[PLAIN_ID]}),
    (plant_directory, None, FileExistsError, {}),
    (None, fail_rename, OSError, {}),
])
def test_extract_safety(archive_path, tmp_path, monkeypatch, plant, broken, error, left):
    out, outside = tmp_path / "out", tmp_path / "outside"
    out.mkdir()
    outside.mkdir()
    (outside / "victim").write_bytes(b"keep")
    if plant:
        plant(out, outside)
    if broken:
        broken(monkeypatch)
    with tarnwick_dat.open(archive_path) as archive:
        if error:
            with pytest.raises(error):
                archive.extract(PLAIN_ID, out)
        else:
            archive.extract(PLAIN_ID, out)
    assert tree(out) == left
    assert tree(outside) == {"victim": b"keep"}
