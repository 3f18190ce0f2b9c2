# Type stubs of the native module; the package's tests check that every name
# and parameter here matches the module.
import enum
import os
import pathlib
from collections.abc import ItemsView, Iterable, Iterator, KeysView, ValuesView
from typing import TypeAlias, final


_Buffer: TypeAlias = bytes | bytearray | memoryview

class FileType(enum.IntEnum):
    """The kind of record a file id names; for portal types the value is the id's high byte.

    str() and f"{t}" give "FileType.Font"; a format string formats the value (f"{t:02X}")."""

    Model = 0x01
    SetupModel = 0x02
    Animation = 0x03
    Palette = 0x04
    SurfaceTexture = 0x05
    Texture = 0x06
    Surface = 0x08
    MotionTable = 0x09
    Audio = 0x0A
    EnvCell = 0x0D
    Table = 0x0E
    PaletteSet = 0x0F
    Clothing = 0x10
    DegradeInfo = 0x11
    Scene = 0x12
    Region = 0x13
    Keymap = 0x14
    RenderTexture = 0x15
    RenderMaterial = 0x16
    MaterialModifier = 0x17
    MaterialInstance = 0x18
    RenderMesh = 0x19
    SoundTable = 0x20
    Layout = 0x21
    EnumMapper = 0x22
    StringTable = 0x23
    StringTableString = 0x24
    DataIDMapper = 0x25
    ActionMap = 0x26
    DualDataIDMapper = 0x27
    CombatManeuverTable = 0x30
    LanguageString = 0x31
    ParticleEmitter = 0x32
    PhysicsScript = 0x33
    PhysicsScriptTable = 0x34
    MutateFilter = 0x38
    MasterProperty = 0x39
    Font = 0x40
    StringState = 0x41
    BSPNodeType = 0x42
    DatabaseProperties = 0x78
    Custom = 0xFFFFFF00
    MotionKinematics = 0xFFFFFF01
    Landblock = 0xFE
    LandblockInfo = 0xFF
    IndoorCell = 0xFD
    Iteration = 0xFE01
    Unknown = 0x00

class ChangeKind(enum.IntEnum):
    """How a file differs between two versions."""

    Added = 0
    Removed = 1
    Modified = 2
    MetadataOnly = 3
    Unreadable = 4

class ArchiveKind(enum.IntEnum):
    """The kind of archive, from its header."""

    Portal = 0
    Cell = 1
    Local = 2
    Unknown = 3

@final
class FileEntry:
    """One stored file as the directory lists it."""

    def __init__(
        self, id: int, bit_flags: int, offset: int, size: int, timestamp: int, version: int
    ) -> None: ...
    @property
    def bit_flags(self) -> int: ...
    @property
    def id(self) -> int: ...
    @property
    def offset(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def timestamp(self) -> int: ...
    @property
    def version(self) -> int: ...
    @property
    def is_compressed(self) -> bool:
        """True when bit 0 of bit_flags is set."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[FileEntry], tuple[int, int, int, int, int, int]]:
        """Pickles the entry by its fields."""

@final
class Header:
    """The archive header, as read at opening; nothing checked."""

    @property
    def magic(self) -> int: ...
    @property
    def block_size(self) -> int: ...
    @property
    def file_size(self) -> int: ...
    @property
    def dataset(self) -> int: ...
    @property
    def subset(self) -> int: ...
    @property
    def free_head(self) -> int: ...
    @property
    def free_tail(self) -> int: ...
    @property
    def free_count(self) -> int: ...
    @property
    def root_offset(self) -> int: ...
    @property
    def new_lru(self) -> int: ...
    @property
    def old_lru(self) -> int: ...
    @property
    def use_lru(self) -> int: ...
    @property
    def master_map_id(self) -> int: ...
    @property
    def engine_version(self) -> int: ...
    @property
    def game_version(self) -> int: ...
    @property
    def version_string(self) -> bytes:
        """The 16 raw bytes, never decoded as text."""
    @property
    def version_minor(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...

@final
class FontCharDesc:
    """One glyph of a font."""

    @property
    def unicode(self) -> int: ...
    @property
    def offset_x(self) -> int: ...
    @property
    def offset_y(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def horizontal_offset_before(self) -> int: ...
    @property
    def horizontal_offset_after(self) -> int: ...
    @property
    def vertical_offset_before(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...

@final
class Font:
    """A font record; values as stored, none checked."""

    @property
    def id(self) -> int: ...
    @property
    def max_char_height(self) -> int: ...
    @property
    def max_char_width(self) -> int: ...
    @property
    def char_descs(self) -> tuple[FontCharDesc, ...]:
        """One descriptor per glyph, in stored order."""
    @property
    def num_horizontal_border_pixels(self) -> int: ...
    @property
    def num_vertical_border_pixels(self) -> int: ...
    @property
    def baseline_offset(self) -> int: ...
    @property
    def foreground_surface_data_id(self) -> int: ...
    @property
    def background_surface_data_id(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...

@final
class ReadIterator:
    """The files Archive.iter_read gives, in order."""

    def __iter__(self) -> ReadIterator: ...
    def __next__(self) -> bytes: ...

class ArchiveFile:
    """One file's bytes, decoded when compressed, read in pieces in bounded memory.

    A read-only, forward-only file object and a context manager. A damaged
    file raises the error get_file's strict fetch would, at the read that
    meets the damage.
    """

    def read(self, size: int = -1) -> bytes:
        """Up to `size` bytes (all the rest when negative); b"" at the end."""
    def readinto(self, buffer: bytearray | memoryview) -> int:
        """Fills `buffer` with the next bytes; returns how many (0 at the end)."""
    def readable(self) -> bool: ...
    def seekable(self) -> bool: ...
    def writable(self) -> bool: ...
    def tell(self) -> int:
        """Bytes read so far."""
    def close(self) -> None:
        """Releases the reader; later reads raise ValueError."""
    @property
    def closed(self) -> bool: ...
    @property
    def id(self) -> int: ...
    @property
    def size(self) -> int:
        """The file's decoded length when it is sound."""
    def __enter__(self) -> ArchiveFile: ...
    def __exit__(self, *args: object) -> None: ...

@final
class Archive:
    """An opened archive; a context manager that closes it. Safe to share between threads."""

    def close(self) -> None:
        """Closes the archive and its file; later calls, and the next step of any iterator over
        it, raise ValueError. Calls already running finish."""
    @property
    def closed(self) -> bool: ...
    @property
    def path(self) -> pathlib.Path: ...
    def __enter__(self) -> Archive: ...
    def __exit__(self, *args: object) -> None: ...
    @property
    def header(self) -> Header:
        """The header read at opening."""
    @property
    def kind(self) -> ArchiveKind:
        """The kind of archive, from its header."""
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[FileEntry]:
        """The directory's entries in ascending id order, until the archive is closed."""
    def __contains__(self, id: object) -> bool:
        """Whether the directory lists file `id`; TypeError for a non-integer."""
    def __getitem__(self, id: int) -> bytes:
        """The bytes of file `id`, as read(id) gives them."""
    def keys(self) -> KeysView[int]:
        """The ids, in ascending order, as a live view."""
    def values(self) -> ValuesView[bytes]:
        """The files' bytes in ascending id order, each read as the view is iterated."""
    def items(self) -> ItemsView[int, bytes]:
        """(id, bytes) in ascending id order, each file read as the view is iterated."""
    def extract(self, id: int, path: str | os.PathLike[str] = ".") -> pathlib.Path:
        """Writes file `id` to path/TYPE/XXXXXXXX.bin and returns that path; nothing lands
        outside `path`, and a failure leaves nothing behind."""
    def extractall(
        self,
        path: str | os.PathLike[str] = ".",
        ids: Iterable[int] | None = None,
        types: Iterable[FileType] | None = None,
    ) -> list[pathlib.Path]:
        """Writes the files `ids` (default: every file), of the given `types` only when given,
        as extract writes one, and returns their paths."""
    def entry(self, id: int) -> FileEntry:
        """The directory entry of file `id`; NotFoundError if it is not listed."""
    def read(self, id: int, *, strict: bool = True) -> bytes:
        """The bytes of file `id`, decoded when stored compressed.

        strict: a damaged stream raises DecompressionFailedError; with
        strict=False it gives the bytes decoded so far, as the game does.
        """
    def read_many(self, ids: Iterable[int], *, strict: bool = True) -> list[bytes]:
        """The bytes of files `ids` (an iterable), in order, read with the GIL released once per
        256 files; the first file that fails raises its error. Files that claim more than the
        archive's work budget raise OtherError before any is read."""
    def iter_read(
        self, ids: Iterable[int], *, strict: bool = True, batch: int = 256
    ) -> ReadIterator:
        """The bytes of files `ids` one by one, in order, read `batch` at a time with the GIL
        released once per batch; a file that fails raises its error in its turn, which ends the
        iteration, as does OtherError for a batch that would pass the archive's work budget."""
    def decoded_size(self, id: int) -> int:
        """The length of file `id` once decoded, without decoding it."""
    def file_type(self, id: int) -> FileType:
        """The type of file id `id` in this archive's kind (listed or not)."""
    def open(self, id: int) -> ArchiveFile:
        """File `id` as a read-only file object (ArchiveFile) that reads it in pieces.

        Memory stays bounded whatever the file's size; strict as read() is.
        """
    def font(self, id: int, *, strict: bool = True) -> Font:
        """File `id` decoded as a font record; BinReadError when it is not one."""
    def manifest(self, hash: str = "xxh3", *, threads: int = 0) -> str:
        """What `tarnwick-dat ls --json --hash` writes: every file's entry and content hash."""
    def verify(self, *, threads: int = 0) -> VerifyReport:
        """Checks every file, chain and node of the archive; never stops at the first finding."""

@final
class Finding:
    """One thing a verification found."""

    @property
    def severity(self) -> str:
        """'damage' or 'information'."""
    @property
    def kind(self) -> str:
        """What was found, as a stable lower-case name such as 'stream_cut'."""
    @property
    def file_id(self) -> int | None:
        """The file concerned, or None."""
    @property
    def file_type(self) -> FileType | None:
        """The type of the file concerned, or None."""
    @property
    def node_offset(self) -> int | None:
        """The directory node concerned, or None."""
    @property
    def description(self) -> str: ...
    def __str__(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> tuple[str, int | None, int | None, int | None, str]: ...
    def __setstate__(self, arg0: tuple[str, int | None, int | None, int | None, str]) -> None: ...

@final
class VerifyTotals:
    """What a verification looked at."""

    @property
    def files(self) -> int: ...
    @property
    def nodes(self) -> int: ...
    @property
    def stored_bytes(self) -> int: ...
    @property
    def decoded_bytes(self) -> int: ...
    @property
    def blocks(self) -> int: ...
    @property
    def unused_blocks(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> tuple[int, int, int, int, int, int]: ...
    def __setstate__(self, arg0: tuple[int, int, int, int, int, int]) -> None: ...

@final
class VerifyReport:
    """Every finding of a verification, and its totals."""

    @property
    def findings(self) -> tuple[Finding, ...]:
        """The findings, damage and information, in a stable order."""
    @property
    def totals(self) -> VerifyTotals: ...
    @property
    def damaged(self) -> bool:
        """True when any finding is damage."""
    def summary(self) -> str:
        """The one-line summary of the totals."""
    def __eq__(self, other: object) -> bool: ...
    def __getstate__(self) -> tuple[tuple[Finding, ...], VerifyTotals]: ...
    def __setstate__(self, arg0: tuple[tuple[Finding, ...], VerifyTotals]) -> None: ...

@final
class ChangeTotals:
    """Files and decoded bytes of some changes."""

    @property
    def files(self) -> int: ...
    @property
    def old_bytes(self) -> int: ...
    @property
    def new_bytes(self) -> int: ...

@final
class Change:
    """One file that differs between two versions."""

    @property
    def id(self) -> int: ...
    @property
    def kind(self) -> ChangeKind: ...
    @property
    def type(self) -> FileType: ...
    @property
    def old_entry(self) -> FileEntry | None:
        """The old version's FileEntry, or None."""
    @property
    def new_entry(self) -> FileEntry | None:
        """The new version's FileEntry, or None."""
    @property
    def old_size(self) -> int | None:
        """The old decoded size, or None (not listed, or unreadable)."""
    @property
    def new_size(self) -> int | None:
        """The new decoded size, or None (not listed, or unreadable)."""
    @property
    def old_error(self) -> str | None:
        """Why the old version's bytes could not be read, or None."""
    @property
    def new_error(self) -> str | None:
        """Why the new version's bytes could not be read, or None."""

@final
class DiffReport:
    """Every file that differs, and the totals."""

    @property
    def changes(self) -> tuple[Change, ...]:
        """The changes, in ascending id order."""
    @property
    def compared(self) -> int:
        """Files compared."""
    @property
    def totals(self) -> dict[ChangeKind, ChangeTotals]: ...
    @property
    def by_type(self) -> dict[FileType, dict[ChangeKind, ChangeTotals]]: ...
    @property
    def missing(self) -> tuple[int, ...]:
        """Ids asked for that neither version lists."""
    @property
    def hash(self) -> str:
        """The content hash compared: 'xxh3' or 'sha256'."""
    @property
    def identical(self) -> bool: ...
    def summary(self) -> str:
        """The one-line summary the tool prints."""

def diff(
    old: Archive | str | os.PathLike[str],
    new: Archive | str | os.PathLike[str],
    *,
    ids: Iterable[int] | None = None,
    types: Iterable[FileType] | None = None,
    hash: str = "xxh3",
    threads: int = 0,
) -> DiffReport:
    """Compares two versions, each an open Archive or the path of a saved manifest."""

def open(path: str | os.PathLike[str]) -> Archive:
    """Opens the archive at `path` and reads its directory."""

def decompress_lrs(data: _Buffer, *, strict: bool = True) -> bytes:
    """Decodes an LRS payload. strict: a payload without its size field, or whose stream ends
    before that size, raises DecompressionFailedError; strict=False gives the bytes decoded so
    far."""

def compress_lrs(data: _Buffer) -> bytes:
    """Encodes bytes as an LRS payload that decompress_lrs decodes back."""

def decode_font(data: _Buffer) -> Font:
    """Decodes bytes as one whole font record."""

def classify(id: int, kind: ArchiveKind | None = None) -> FileType:
    """The file type of `id` in an archive of `kind`; with no kind, guessed from the id."""

