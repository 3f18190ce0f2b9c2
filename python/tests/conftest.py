"""Archives for the tests, made with the library's own writer."""

from __future__ import annotations

import struct
from pathlib import Path

import pytest

from tarnwick_dat_testing import ArchiveBuilder

FONT_ID = 0x40000007
PLAIN_ID = 0x06000001
COMPRESSED_ID = 0x0A000002
EMPTY_ID = 0x01000003
# Many files with small directory nodes make a tree of several levels.
FILLER_IDS = [0x0E000000 + i for i in range(40)]

# (unicode, offset_x, offset_y, width, height, h_before, h_after, v_before):
# the extremes of each field's type, signed and unsigned.
GLYPHS = [
    (0x0041, 1, 2, 8, 12, -1, 3, -128),
    (0xFFFF, 0xFFFF, 0, 255, 0, 127, -2, 0),
]


def font_bytes(font_id: int, glyphs=GLYPHS, trailer=(2, 3, -7, 0x08000001, 0x08000002)) -> bytes:
    """A font record packed independently of the library's encoder."""
    data = struct.pack("<4I", font_id, 16, 12, len(glyphs))
    data += b"".join(struct.pack("<3H2B3b", *glyph) for glyph in glyphs)
    return data + struct.pack("<2Ii2I", *trailer)


def payload(file_id: int, length: int) -> bytes:
    return bytes((file_id * 7 + i * 13) % 251 for i in range(length))


CONTENTS = {
    FONT_ID: font_bytes(FONT_ID),
    PLAIN_ID: payload(PLAIN_ID, 5000),  # several 1024-byte blocks
    COMPRESSED_ID: b"abcdefgh" * 700 + payload(COMPRESSED_ID, 300),
    EMPTY_ID: b"",
    **{i: payload(i, i % 97) for i in FILLER_IDS},
}


def write(tmp_path: Path, builder: ArchiveBuilder, name: str = "test.dat") -> Path:
    path = tmp_path / name
    path.write_bytes(builder.build())
    return path


def sample_builder() -> ArchiveBuilder:
    builder = ArchiveBuilder()
    builder.set_header(game_version=77, version_string=b"v1.2-test", master_map_id=5)
    builder.directory(max_entries_per_node=3)
    for file_id, data in CONTENTS.items():
        builder.add_file(file_id, data, compress=file_id in (FONT_ID, COMPRESSED_ID))
    return builder


@pytest.fixture
def archive_path(tmp_path: Path) -> Path:
    return write(tmp_path, sample_builder())
