"""The pure-Python parts of the native module's types: the enumerations'
base, the views of an archive in the Mapping manner, and extraction to
disk. The native module calls these; use them through ``tarnwick_dat``."""

from __future__ import annotations

import enum
import errno
import os
import stat
from collections.abc import ItemsView, KeysView, ValuesView
from pathlib import Path


class NamedIntEnum(enum.IntEnum):
    """An IntEnum that prints its name ("FileType.Font"), as plain enums do,
    and formats as an int only when given a format string (f"{t:02X}")."""

    __str__ = enum.Enum.__str__

    def __format__(self, fmt: str) -> str:
        return int.__format__(int(self), fmt) if fmt else str(self)


class ArchiveKeys(KeysView):
    """The ids of an archive, in ascending order."""

    def __iter__(self):
        return (entry.id for entry in self._mapping)

    def __repr__(self) -> str:
        return f"ArchiveKeys({self._mapping!r})"


class ArchiveValues(ValuesView):
    """The bytes of each file of an archive, read as iterated."""

    def __iter__(self):
        return (self._mapping[entry.id] for entry in self._mapping)

    def __repr__(self) -> str:
        return f"ArchiveValues({self._mapping!r})"


class ArchiveItems(ItemsView):
    """(id, bytes) for each file of an archive, read as iterated."""

    def __iter__(self):
        return ((entry.id, self._mapping[entry.id]) for entry in self._mapping)

    def __repr__(self) -> str:
        return f"ArchiveItems({self._mapping!r})"


_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
_TEMPORARY = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC


def _write_file(type_dir: int, name: str, data: bytes, shown: Path) -> None:
    """Writes `data` to `name` in `type_dir` through a temporary created
    exclusively beside it and renamed into place: a link planted at `name`
    is replaced rather than written through, and a failure leaves nothing."""
    try:
        mode = os.stat(name, dir_fd=type_dir, follow_symlinks=False).st_mode
    except FileNotFoundError:
        pass
    else:
        if not (stat.S_ISREG(mode) or stat.S_ISLNK(mode)):
            raise FileExistsError(errno.EEXIST, "refusing to replace what is not a file",
                                  str(shown))
    temporary = f".{name}.{os.getpid()}.tmp"
    fd = os.open(temporary, _TEMPORARY, 0o666, dir_fd=type_dir)
    try:
        with open(fd, "wb", closefd=True) as out:
            out.write(data)
        os.replace(temporary, name, src_dir_fd=type_dir, dst_dir_fd=type_dir)
    except BaseException:
        os.unlink(temporary, dir_fd=type_dir)
        raise


def extract(archive, ids, root) -> list[Path]:
    """Writes files `ids` of `archive` to root/TYPE/XXXXXXXX.bin, as the
    command-line tool's extract does, and returns their paths. Every id is
    checked before anything is written; names come only from the type and the
    id, and each type directory is opened without following a link, so
    nothing lands outside `root`."""
    ids = list(ids)
    for file_id in ids:
        archive.entry(file_id)  # NotFoundError before anything is written
    root = Path(os.fspath(root))
    root.mkdir(parents=True, exist_ok=True)
    written: list[Path] = []
    type_dirs: dict[str, int] = {}
    root_fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for file_id in ids:
            type_name = archive.file_type(file_id).name
            if type_name not in type_dirs:
                try:
                    os.mkdir(type_name, dir_fd=root_fd)
                except FileExistsError:
                    pass
                type_dirs[type_name] = os.open(type_name, _DIRECTORY, dir_fd=root_fd)
            data = archive.read(file_id)
            name = f"{file_id:08X}.bin"
            path = root / type_name / name
            _write_file(type_dirs[type_name], name, data, path)
            written.append(path)
    finally:
        for fd in type_dirs.values():
            os.close(fd)
        os.close(root_fd)
    return written
