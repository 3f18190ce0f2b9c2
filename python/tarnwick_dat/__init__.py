"""Read the game client's data archives (``portal.dat`` and its kin).

>>> import tarnwick_dat
>>> with tarnwick_dat.open("portal.dat") as archive:
...     for entry in archive:
...         if archive.file_type(entry.id) is tarnwick_dat.FileType.Font:
...             print(f"{entry.id:08X}", len(archive.font(entry.id).char_descs))

An ``Archive`` is read-only and may be shared between threads: reads release
the GIL and run in parallel. Errors are ``DatError`` subclasses, one per kind
of library error, whose text is the library's message.
"""

from __future__ import annotations

from ._errors import (
    BinReadError,
    CorruptionError,
    DatError,
    DecompressionFailedError,
    DuplicateIdError,
    DuplicateNamespacedIdError,
    Frame,
    InvalidMagicError,
    InvalidNamespaceError,
    IoError,
    ManifestError,
    NotFoundError,
    OtherError,
    PathError,
    UnsupportedVersionError,
)
from ._native import (
    Archive,
    ArchiveFile,
    ArchiveKind,
    Change,
    ChangeKind,
    ChangeTotals,
    DiffReport,
    FileEntry,
    FileType,
    Finding,
    Font,
    FontCharDesc,
    Header,
    VerifyReport,
    VerifyTotals,
    classify,
    compress_lrs,
    decode_font,
    decompress_lrs,
    diff,
    open,
)

__version__ = "1.0.0"

__all__ = [
    "Archive",
    "ArchiveFile",
    "ArchiveKind",
    "BinReadError",
    "Change",
    "ChangeKind",
    "ChangeTotals",
    "CorruptionError",
    "DatError",
    "DecompressionFailedError",
    "DiffReport",
    "DuplicateIdError",
    "DuplicateNamespacedIdError",
    "FileEntry",
    "FileType",
    "Finding",
    "Font",
    "FontCharDesc",
    "Frame",
    "Header",
    "InvalidMagicError",
    "InvalidNamespaceError",
    "IoError",
    "ManifestError",
    "NotFoundError",
    "OtherError",
    "PathError",
    "UnsupportedVersionError",
    "VerifyReport",
    "VerifyTotals",
    "classify",
    "compress_lrs",
    "decode_font",
    "decompress_lrs",
    "diff",
    "open",
]
