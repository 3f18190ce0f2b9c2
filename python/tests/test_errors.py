"""A damaged archive for each kind of error the library raises: the class,
its standard base, the library's message and the details it carries."""

from __future__ import annotations

import errno

import pytest

import tarnwick_dat
from conftest import CONTENTS, PLAIN_ID, font_bytes, sample_builder, write
from tarnwick_dat_testing import ArchiveBuilder

BAD_ID = 0x0F000001


def truncated_header(tmp_path):
    # The magic is there; the block size is not.
    return write(tmp_path, sample_builder()).read_bytes()[: 0x140 + 4]


def tiny_blocks(tmp_path):
    builder = sample_builder()
    builder.set_header(block_size=4)
    return builder.build()


def entry_past_the_end(tmp_path):
    builder = sample_builder()
    builder.add_entry(BAD_ID, offset=0x7FFF0000, size=100)
    return builder.build()


def damaged_stream(tmp_path):
    # Plain bytes flagged compressed: they declare 60000 bytes and hold few.
    builder = sample_builder()
    builder.add_file(BAD_ID, (60000).to_bytes(4, "little") + b"\x00abc", flags=1)
    return builder.build()


def short_font(tmp_path):
    # Two glyphs announced; the second ends after its offset_x.
    builder = sample_builder()
    builder.add_file(BAD_ID, font_bytes(BAD_ID)[:16 + 11 + 5])
    return builder.build()


def looping_chain(tmp_path):
    # The second block of PLAIN_ID's chain links back to its first.
    path = write(tmp_path, sample_builder(), "sound.dat")
    with tarnwick_dat.open(path) as archive:
        first = archive.entry(PLAIN_ID).offset
    image = bytearray(path.read_bytes())
    image[first + 1024:first + 1028] = first.to_bytes(4, "little")
    return bytes(image)


# (archive, action, class, standard base, message)
CASES = [
    (None, lambda a: a.read(0x1F), tarnwick_dat.NotFoundError, KeyError,
     "File ID 0000001F not found in provider"),
    (truncated_header, None, tarnwick_dat.BinReadError, None, "Binary read error: "),
    (tiny_blocks, None, tarnwick_dat.CorruptionError, None, "Corruption detected: "),
    (entry_past_the_end, lambda a: a.read(BAD_ID), tarnwick_dat.IoError, OSError,
     "IO error: failed to fill whole buffer"),
    (damaged_stream, lambda a: a.read(BAD_ID), tarnwick_dat.DecompressionFailedError, None,
     "Failed to recover compressed file 0F000001"),
    (short_font, lambda a: a.font(BAD_ID), tarnwick_dat.BinReadError, None, "Binary read error: "),
    (looping_chain, lambda a: a.read(PLAIN_ID), tarnwick_dat.CorruptionError, None,
     "Corruption detected: file 0x06000001: its block chain loops back to block "),
    (looping_chain, lambda a: a.open(PLAIN_ID).read(), tarnwick_dat.CorruptionError, None,
     "Corruption detected: file 0x06000001: its block chain loops back to block "),
    (damaged_stream, lambda a: a.open(BAD_ID).read(), tarnwick_dat.DecompressionFailedError, None,
     "Failed to recover compressed file 0F000001"),
]


@pytest.mark.parametrize("make, action, cls, base, message", CASES,
                         ids=[case[2].__name__ + str(i) for i, case in enumerate(CASES)])
def test_damaged_archives(tmp_path, make, action, cls, base, message):
    path = tmp_path / "damaged.dat"
    path.write_bytes(make(tmp_path) if make else sample_builder().build())
    with pytest.raises(cls) as caught:
        with tarnwick_dat.open(path) as archive:
            action(archive)
    error = caught.value
    assert isinstance(error, tarnwick_dat.DatError)
    assert base is None or isinstance(error, base)
    assert str(error).startswith(message)


def test_not_found_carries_the_id(archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        for lookup in (archive.read, archive.entry, archive.font, archive.decoded_size):
            with pytest.raises(KeyError) as caught:
                lookup(0)
            assert caught.value.id == 0 and str(caught.value).endswith("00000000 not found in provider")


def test_path_error_is_an_os_error(tmp_path):
    missing = tmp_path / "missing.dat"
    with pytest.raises(tarnwick_dat.PathError) as caught:
        tarnwick_dat.open(missing)
    error = caught.value
    assert isinstance(error, OSError) and error.errno == errno.ENOENT
    assert error.filename == str(missing)
    assert str(error).startswith(f"Failed to open file at {missing}: ")


def test_record_errors_carry_their_frames(tmp_path):
    path = tmp_path / "short.dat"
    path.write_bytes(truncated_header(tmp_path))
    with pytest.raises(tarnwick_dat.BinReadError) as caught:
        tarnwick_dat.open(path)
    [frame] = caught.value.frames
    assert frame.message == "While parsing field 'block_size' in DatHeader"
    assert frame.file.startswith("crates/tarnwick-dat/src/lib") and frame.line > 0

    path.write_bytes(short_font(tmp_path))
    with tarnwick_dat.open(path) as archive, pytest.raises(tarnwick_dat.BinReadError) as caught:
        archive.font(BAD_ID)
    assert [f.message for f in caught.value.frames] == [
        "While parsing field 'offset_y' in FontCharDesc", "While parsing field 'char_descs' in Font"]


def test_lenient_read_gives_the_bytes_decoded_so_far(tmp_path):
    path = tmp_path / "stream.dat"
    path.write_bytes(damaged_stream(tmp_path))
    with tarnwick_dat.open(path) as archive:
        partial = archive.read(BAD_ID, strict=False)
        assert 0 < len(partial) < 60000
        assert archive.read(PLAIN_ID, strict=True)  # undamaged files still read
    # A looping chain reads, leniently, as the loop repeated.
    path.write_bytes(looping_chain(tmp_path))
    with tarnwick_dat.open(path) as archive:
        looped = archive.read(PLAIN_ID, strict=False)
        assert len(looped) == 5000 and looped[2040:4080] == looped[:2040]


def test_verify_reports_damage_without_raising(tmp_path, archive_path):
    with tarnwick_dat.open(archive_path) as archive:
        sound = archive.verify()
    assert not sound.damaged
    assert sound.totals.files == len(CONTENTS)
    assert all(f.severity == "information" for f in sound.findings)

    path = tmp_path / "damaged.dat"
    path.write_bytes(damaged_stream(tmp_path))
    with tarnwick_dat.open(path) as archive:
        report = archive.verify(threads=2)
        bad_type = archive.file_type(BAD_ID)
    assert report.damaged
    [cut] = [f for f in report.findings if f.kind == "stream_cut"]
    assert (cut.severity, cut.file_id, cut.node_offset) == ("damage", BAD_ID, None)
    assert cut.file_type == bad_type
    assert str(cut).startswith("0x0F000001 ")
    assert "ends after 3 of 60000 bytes" in cut.description
    assert report.summary().endswith("information")


# (what is opened, the error class, its errno: None where the system reported nothing)
@pytest.mark.parametrize("make, cls, number", [
    (lambda tmp: tmp / "missing.dat", tarnwick_dat.PathError, errno.ENOENT),
    (lambda tmp: tmp, tarnwick_dat.DatError, errno.EISDIR),
    (lambda tmp: write_text(tmp / "text.dat"), tarnwick_dat.DatError, None),
])
def test_errno_where_the_system_gave_one(tmp_path, make, cls, number):
    with pytest.raises(cls) as caught:
        tarnwick_dat.open(make(tmp_path))
    assert getattr(caught.value, "errno", None) == number


def write_text(path):
    path.write_text("not an archive\n")
    return path


def over_budget(tmp_path):
    """1,000 entries on one 100,000-byte file: they claim far more than the archive."""
    builder = ArchiveBuilder()
    builder.add_file(PLAIN_ID, bytes(100_000))
    with tarnwick_dat.open(write(tmp_path, builder, "one.dat")) as archive:
        shared = archive.entry(PLAIN_ID).offset
    for i in range(1000):
        builder.add_entry(0x0E000000 + i, offset=shared, size=100_000)
    return write(tmp_path, builder, "many.dat")


def test_verify_keeps_to_the_work_budget(tmp_path):
    with tarnwick_dat.open(over_budget(tmp_path)) as archive:
        report = archive.verify()
        assert report.damaged
        assert [f.kind for f in report.findings][0] == "expansion_budget"


@pytest.mark.parametrize("call", ["read_many", "iter_read"])
def test_bulk_reads_keep_to_the_work_budget(tmp_path, call):
    with tarnwick_dat.open(over_budget(tmp_path)) as archive:
        ids = [0x0E000000 + i for i in range(1000)]
        # Each file alone, and a share of them, read as usual.
        assert archive.read_many(ids[:10]) == [bytes(100_000)] * 10
        given = []
        with pytest.raises(tarnwick_dat.OtherError) as caught:
            if call == "read_many":
                given = archive.read_many(ids)
            else:
                given.extend(archive.iter_read(ids, batch=100))
        # iter_read gives the batches before the one that passes the budget;
        # the message names the largest claimers of the refused files.
        if call == "read_many":
            assert given == []
        else:
            assert 0 < len(given) < len(ids) and len(given) % 100 == 0
            assert given[-1] == bytes(100_000)
        text = str(caught.value)
        assert text.startswith("Other error: refusing to read the files: the files claim ")
        assert " more than the work budget of " in text
        assert f"; the largest: 0x{ids[len(given)]:08X} (100000 bytes, " in text
