"""The exceptions of tarnwick_dat: one base, DatError, and one subclass per
kind of library error. ``str(error)`` is the library's own message."""

from __future__ import annotations

from typing import ClassVar, NamedTuple


class Frame(NamedTuple):
    """One context frame of a record read error: which field of which record
    was being read, and where that field is declared in the library."""

    message: str
    file: str
    line: int


class DatError(Exception):
    """Any error the archive library reports."""

    #: The library's name for this kind of error, e.g. "NotFound".
    kind: ClassVar[str] = ""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        # KeyError and OSError render their arguments their own way; the
        # library's message is the text every kind shows.
        return self.message


class IoError(DatError, OSError):
    """A failed read of the archive file (for example a block chain that runs
    past its end). ``errno`` is set when the system reported the failure."""

    kind = "Io"


class BinReadError(DatError):
    """A record (header, directory node, font) that could not be read."""

    kind = "BinRead"
    #: The fields being read when it failed, innermost first.
    frames: list[Frame]
    #: The system's error number when the read failed in the system (a
    #: directory given as the archive: EISDIR), else None.
    errno: int | None = None

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.frames = []


class NotFoundError(DatError, KeyError):
    """A file id that the archive's directory does not list."""

    kind = "NotFound"
    id: int | None = None


class DuplicateIdError(DatError):
    """Two directory entries with one id."""

    kind = "DuplicateId"
    id: int | None = None


class DuplicateNamespacedIdError(DatError):
    """Two files with one id in one namespace."""

    kind = "DuplicateNamespacedId"
    namespace: str | None = None
    id: int | None = None


class InvalidMagicError(DatError):
    """A record whose signature is not that of its format."""

    kind = "InvalidMagic"
    format: str | None = None


class UnsupportedVersionError(DatError):
    """A format version the library cannot read."""

    kind = "UnsupportedVersion"
    version: int | None = None


class InvalidNamespaceError(DatError):
    """A namespace name that names none."""

    kind = "InvalidNamespace"
    namespace: str | None = None


class CorruptionError(DatError):
    """Damage in the archive's structure (a directory loop, an impossible
    block size, more nodes than the file can hold)."""

    kind = "Corruption"


class DecompressionFailedError(DatError):
    """A compressed file whose stream is damaged, in a strict read."""

    kind = "DecompressionFailed"
    id: int | None = None


class PathError(DatError, OSError):
    """The archive file could not be opened; ``errno`` and ``filename`` are
    set as for any OSError."""

    kind = "PathError"


class OtherError(DatError):
    """Any other failure."""

    kind = "Other"


# Shown where the classes are meant to be used from.
for _cls in (Frame, DatError, *DatError.__subclasses__()):
    _cls.__module__ = "tarnwick_dat"
del _cls


class ManifestError(DatError):
    """A manifest (a saved ``Archive.manifest()`` or ``ls --json --hash``) that
    could not be read: ``path`` names it, ``entry`` the 1-based position of
    the file object at fault (None when the error is not about one)."""

    kind = "Manifest"
    path: str | None = None
    entry: int | None = None
