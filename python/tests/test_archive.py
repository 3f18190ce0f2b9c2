"""The interface on a well-formed archive made by the writer."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import tarnwick_dat
from conftest import (COMPRESSED_ID, CONTENTS, EMPTY_ID, FONT_ID, GLYPHS, PLAIN_ID, font_bytes)
from tarnwick_dat import ArchiveKind, FileType


def test_header_kind_and_directory(archive_path):
    with tarnwick_dat.open(str(archive_path)) as archive:
        header = archive.header
        assert (header.magic, header.block_size, header.dataset) == (0x5442, 1024, 1)
        assert (header.game_version, header.master_map_id) == (77, 5)
        assert header.version_string == b"v1.2-test".ljust(16, b"\0")
        assert header.file_size == archive_path.stat().st_size
        assert archive.kind is ArchiveKind.Portal
        assert len(archive) == len(CONTENTS)
        entries = list(archive)
        assert [e.id for e in entries] == sorted(CONTENTS)
        font = archive.entry(FONT_ID)
        assert font in entries and font.is_compressed and font.bit_flags == 1
        assert not archive.entry(PLAIN_ID).is_compressed
        assert len({archive.entry(PLAIN_ID), entries[0], archive.entry(entries[0].id)}) == 2
        assert archive.entry(PLAIN_ID).size == len(CONTENTS[PLAIN_ID])
        assert archive.path == archive_path


@pytest.mark.parametrize("value, present", [
    (PLAIN_ID, True), (FONT_ID, True), (0x06000002, False), (-1, False), (2**32, False),
    (True, False), ("0x06000001", TypeError), (None, TypeError), (1.0, TypeError),
])
def test_contains(archive_path, value, present):
    with tarnwick_dat.open(archive_path) as archive:
        if present is TypeError:
            with pytest.raises(TypeError, match="a file id is an int"):
                value in archive
        else:
            assert (value in archive) is present


def test_mapping_forms(archive_path):
    ids = sorted(CONTENTS)
    with tarnwick_dat.open(archive_path) as archive:
        assert [archive[i] for i in ids] == [CONTENTS[i] for i in ids]
        with pytest.raises(KeyError):
            archive[0x06000002]
        keys = archive.keys()
        assert (list(keys), len(keys), PLAIN_ID in keys, 0x06000002 in keys) == (
            ids, len(ids), True, False)
        assert list(archive.values()) == [CONTENTS[i] for i in ids]
        assert list(archive.items()) == [(i, CONTENTS[i]) for i in ids]
        assert dict(archive.items()) == CONTENTS
        assert (PLAIN_ID, CONTENTS[PLAIN_ID]) in archive.items()


def test_read_every_file(archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        for file_id, data in CONTENTS.items():
            assert archive.read(file_id) == data
            assert archive.decoded_size(file_id) == len(data)
        assert archive.read(EMPTY_ID) == b""
        assert archive.entry(COMPRESSED_ID).size < len(CONTENTS[COMPRESSED_ID])


def test_open_reads_every_file_in_pieces(archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        for file_id, data in CONTENTS.items():
            with archive.open(file_id) as whole:
                assert (whole.id, whole.size, whole.readable(), whole.seekable()) == (
                    file_id, len(data), True, False)
                assert whole.read() == data and whole.read() == b"" and whole.tell() == len(data)
            with archive.open(file_id) as pieces:
                got, buffer = b"", bytearray(333)
                while n := pieces.readinto(buffer):
                    got += bytes(buffer[:n])
                assert got == data
            assert pieces.closed
            with pytest.raises(ValueError, match="closed file"):
                pieces.read(1)
        with archive.open(PLAIN_ID) as f:
            assert f.read(10) + f.read(0) + f.read(5) == CONTENTS[PLAIN_ID][:15]
        with pytest.raises(tarnwick_dat.NotFoundError):
            archive.open(0x06000002)


def test_records_are_read_only(archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        targets = [(archive.header, "magic"), (archive.entry(PLAIN_ID), "size"),
                   (archive.font(FONT_ID), "id"), (archive.font(FONT_ID).char_descs[0], "width")]
        for record, field in targets:
            with pytest.raises(AttributeError):
                setattr(record, field, 1)
        assert isinstance(archive.font(FONT_ID).char_descs, tuple)


def test_font_fields(archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        font = archive.font(FONT_ID)
    assert (font.id, font.max_char_height, font.max_char_width) == (FONT_ID, 16, 12)
    assert (font.num_horizontal_border_pixels, font.num_vertical_border_pixels,
            font.baseline_offset, font.foreground_surface_data_id,
            font.background_surface_data_id) == (2, 3, -7, 0x08000001, 0x08000002)
    fields = ("unicode", "offset_x", "offset_y", "width", "height", "horizontal_offset_before",
              "horizontal_offset_after", "vertical_offset_before")
    assert [tuple(getattr(d, f) for f in fields) for d in font.char_descs] == GLYPHS
    assert tarnwick_dat.decode_font(font_bytes(FONT_ID)) == font


@pytest.mark.parametrize("file_id, kind, expected", [
    (0x40000012, None, FileType.Font),
    (0x40000012, ArchiveKind.Cell, FileType.IndoorCell),
    (0x0100FFFF, None, FileType.Landblock),
    (0x0100FFFF, ArchiveKind.Portal, FileType.Model),
    (0x0100FFFE, ArchiveKind.Unknown, FileType.LandblockInfo),
    (0x07000001, ArchiveKind.Local, FileType.Texture),
    (0x0B000000, None, FileType.Unknown),
    (0xFFFF0001, ArchiveKind.Cell, FileType.Iteration),
    (0x78000000, 1, FileType.Unknown),
])
def test_classify(file_id, kind, expected):
    assert tarnwick_dat.classify(file_id, kind) is expected


def test_file_type_uses_the_archive_kind(archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        assert archive.file_type(FONT_ID) is FileType.Font
        assert archive.file_type(0x0100FFFF) is FileType.Model  # not listed, still typed


@pytest.mark.parametrize("bad, error", [(-1, ValueError), (2**32, ValueError), ("1", TypeError)])
def test_bad_ids(archive_path, bad, error):
    with tarnwick_dat.open(archive_path) as archive:
        with pytest.raises(error):
            archive.read(bad)
    with pytest.raises((ValueError, TypeError)):
        tarnwick_dat.classify(1, 9)


def test_read_arguments(archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        assert archive.read(id=PLAIN_ID) == archive.read(PLAIN_ID, strict=False) == CONTENTS[PLAIN_ID]
        for call in (lambda: archive.read(), lambda: archive.read(PLAIN_ID, True),
                     lambda: archive.read(PLAIN_ID, id=PLAIN_ID),
                     lambda: archive.read(PLAIN_ID, bogus=1)):
            with pytest.raises(TypeError):
                call()


@pytest.mark.parametrize("ids", [
    [],
    [PLAIN_ID],
    sorted(CONTENTS),
    sorted(CONTENTS, reverse=True),
    [COMPRESSED_ID, EMPTY_ID, COMPRESSED_ID, FONT_ID, PLAIN_ID, PLAIN_ID],
])
def test_read_many_and_iter_read_give_the_files_in_order(archive_path, ids):
    expected = [CONTENTS[i] for i in ids]
    with tarnwick_dat.open(archive_path) as archive:
        assert archive.read_many(ids) == expected
        assert archive.read_many(iter(ids), strict=False) == expected
        for batch in (1, 2, 1000):
            assert list(archive.iter_read(ids, batch=batch)) == expected
        assert list(archive.iter_read(i for i in ids)) == expected


def test_read_many_and_iter_read_failures(archive_path):
    missing = 0x0E00FFFF
    ids = [PLAIN_ID, FONT_ID, missing, EMPTY_ID]
    with tarnwick_dat.open(archive_path) as archive:
        with pytest.raises(tarnwick_dat.NotFoundError) as raised:
            archive.read_many(ids)
        assert raised.value.id == missing
        # The files before the failing one come out, then its error, then nothing.
        for batch in (1, 3, 256):
            files = archive.iter_read(ids, batch=batch)
            assert [next(files), next(files)] == [CONTENTS[PLAIN_ID], CONTENTS[FONT_ID]]
            with pytest.raises(tarnwick_dat.NotFoundError):
                next(files)
            assert list(files) == []
        # Ids are checked as read checks them, before anything is read.
        for bad, error in [([PLAIN_ID, -1], ValueError), ([PLAIN_ID, "1"], TypeError),
                           (PLAIN_ID, TypeError)]:
            with pytest.raises(error):
                archive.read_many(bad)
            with pytest.raises(error):
                list(archive.iter_read(bad))
    with pytest.raises(ValueError):
        archive.read_many([PLAIN_ID])


@pytest.mark.parametrize("data", [b"", b"a", bytes(range(256)) * 40, b"xyz" * 3000])
def test_lrs_round_trip(data):
    packed = tarnwick_dat.compress_lrs(data)
    assert int.from_bytes(packed[:4], "little") == len(data)
    for form in (packed, bytearray(packed), memoryview(packed)):
        assert tarnwick_dat.decompress_lrs(form) == data


HELLO = tarnwick_dat.compress_lrs(b"hello world" * 50)


# (payload, what strict=False gives, strict's error message or None)
@pytest.mark.parametrize("data, lenient, message", [
    (b"\x01\x02", b"\x01\x02", "compressed payload of 2 bytes has no size field"),
    (b"", b"", "compressed payload of 0 bytes has no size field"),
    (b"\x05\0\0\0", b"", "compressed stream ends after 0 of 5 bytes (input used up)"),
    (HELLO[:12], None, "compressed stream ends after {n} of 550 bytes (input used up)"),
    (HELLO, b"hello world" * 50, None),
])
def test_lrs_strict_and_lenient(data, lenient, message):
    decoded = tarnwick_dat.decompress_lrs(data, strict=False)
    if lenient is not None:
        assert decoded == lenient
    if message is None:
        assert tarnwick_dat.decompress_lrs(data) == decoded
        return
    assert len(decoded) < 550
    message = re.escape(message.format(n=len(decoded)))
    with pytest.raises(tarnwick_dat.DecompressionFailedError, match=f"^{message}$") as caught:
        tarnwick_dat.decompress_lrs(data)
    assert caught.value.id is None
    with pytest.raises(TypeError):
        tarnwick_dat.decompress_lrs("text")


def open_descriptors(path):
    """The descriptors of this process open on `path`."""
    fds = Path("/proc/self/fd")
    return [fd for fd in fds.iterdir() if fd.resolve() == path.resolve()]


def test_closed_archive(archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        fresh, started, finished = iter(archive), iter(archive), iter(archive)
        next(started)
        assert len(list(finished)) == len(CONTENTS)
        assert len(open_descriptors(archive_path)) == 1
    assert archive.closed
    # Closing ends every iterator, as closing a file does, and lets the file go.
    assert open_descriptors(archive_path) == []
    for use in (lambda: archive.read(PLAIN_ID), lambda: len(archive), lambda: archive.header,
                lambda: PLAIN_ID in archive, lambda: archive.font(FONT_ID), lambda: iter(archive),
                lambda: next(fresh), lambda: next(started), lambda: next(started),
                lambda: next(finished)):
        with pytest.raises(ValueError, match="closed archive"):
            use()
    archive.close()  # closing twice is harmless
