"""Files that check themselves: a small header in front of the module's bytes.

Every file the party tools write (keys, stores, query and point streams)
is a header followed by a payload. The payload is exactly the bytes the
extension module produced or reads (a key, a store, a stream), unchanged, so
a peer running another implementation can take it out (``export_payload``,
``ostrelline inspect --export``). The results are plain tables instead, whose
Parquet form carries the same information in its metadata (``results``).

Layout (all integers little-endian; offsets in bytes)::

    offset  size  field
    0       8     magic b"OSTRLINE"
    8       2     format version (FORMAT_VERSION)
    10      2     reserved, zero
    12      4     header length H: where the payload starts, a multiple of 64
    16      24    kind: ASCII name, NUL-padded ("store", "points", ...)
    40      8     entry count (keys: 1; stores: rows; streams: entries)
    48      8     payload length P
    56      16    key fingerprint (``fingerprint``) of the key the file was
                  made under or for, zero bytes when there is none
    72      32    payload checksum: BLAKE2b-256 of the P payload bytes
    104     4     metadata length L
    108     L     metadata: one JSON object, UTF-8, keys sorted. "rows" holds
                  how rows were encoded (see ``rows``) where the kind has
                  rows; every other field belongs to the kind
    108+L   32    header checksum: BLAKE2b-256 of bytes [0, 108+L)
    140+L   ..    zero padding up to H
    H       P     payload: the module's bytes; the file ends with it

The header checksum covers the payload checksum, so one check of each covers
the whole file. Because the payload starts at a recorded multiple of 64, a
reader may seek to it and read entries where it needs them, or map the file
(``StoredFile.view``) and slice it without copying.

Kinds. A kind is a name registered with ``register_kind``, together with how
its payload length follows from the header: a fixed entry width (payload =
count * width), a function of the header, or nothing. Readers name the kinds
they accept. New kinds (say, a sharded store recording its shard count, shard
function and shard offsets in its metadata) are registered by the module that
defines them; nothing here needs to change. Unknown metadata fields are kept
and ignored by readers that do not use them.

Writing is atomic and never destroys: ``FileWriter`` writes into a
temporary file beside the destination and moves it into place only when
everything went well, so a failure, Ctrl-C or a termination signal leaves no
partial file. An existing destination is refused unless ``overwrite`` is
given, and without it the move is exclusive (a hard link, which fails when
another writer got there first), so of two writers of one path one wins and
the other fails with "already exists". Even with ``overwrite`` a secret-key file
of the tools is never replaced, and a destination that is not a regular file
(a symbolic link, FIFO, device, socket or folder) is always refused
(``check_output``). Files of secret kinds are created with mode 0600.

Reading checks, in this order, and names the file and the problem in a
``BadFileError``: the file can be read; it starts with the magic; its version
is known; the header checksum holds; the kind is registered and one of those
expected; the file is exactly header plus payload long (truncated or padded
files are refused); the payload length fits the kind; and, on ``verify``
(``check_file`` does it), the payload checksum holds.
"""
from __future__ import annotations

import errno
import hashlib
import json
import mmap
import os
import secrets
import stat
import struct
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, Mapping, Optional, Sequence, Union

from .errors import BadFileError, OutputExistsError, PathLike, os_failure

__all__ = [
    "MAGIC",
    "FORMAT_VERSION",
    "FINGERPRINT_SIZE",
    "Kind",
    "Header",
    "StoredFile",
    "FileWriter",
    "AtomicOutput",
    "check_output",
    "same_file",
    "register_kind",
    "kind",
    "fingerprint",
    "write_file",
    "read_header",
    "open_file",
    "check_file",
    "export_payload",
]

MAGIC = b"OSTRLINE"
FORMAT_VERSION = 1
FINGERPRINT_SIZE = 16
ALIGNMENT = 64

_FIXED = struct.Struct("<8sHHI24sQQ16s32sI")  # up to and including the metadata length
_CHECKSUM_SIZE = 32
_KIND_SIZE = 24
_READ_BLOCK = 1 << 20


@dataclass(frozen=True)
class Kind:
    """A registered file kind.

    ``entry_width``: bytes per entry, when the payload is ``count`` entries of
    that width. ``payload_size``: otherwise, a function giving the payload
    length a header must announce (or None where any length is fine).
    ``secret``: files of this kind are created with mode 0600 and their
    payload is never shown."""

    name: str
    description: str
    entry_width: Optional[int] = None
    payload_size: Optional[Callable[["Header"], int]] = None
    secret: bool = False

    def expected_payload(self, header: "Header") -> Optional[int]:
        if self.entry_width is not None:
            return header.count * self.entry_width
        if self.payload_size is not None:
            return self.payload_size(header)
        return None


_kinds: Dict[str, Kind] = {}


def register_kind(kind_: Kind) -> Kind:
    """Makes ``kind_`` known to readers and writers; a name is registered once.

    Returns:
        ``kind_``.

    Raises:
        ValueError: a name that is no 1 to 24 ASCII characters, or another kind of that name.
    """
    name = kind_.name
    if not name or len(name.encode("ascii")) > _KIND_SIZE or "\0" in name:
        raise ValueError(f"a kind name is 1 to {_KIND_SIZE} ASCII characters, not {name!r}")
    if name in _kinds and _kinds[name] != kind_:
        raise ValueError(f"kind {name!r} is already registered")
    _kinds[name] = kind_
    return kind_


def kind(name: str) -> Kind:
    """The registered kind of that name (KeyError when there is none).

    Returns:
        The ``Kind``.

    Raises:
        KeyError: no kind of that name is registered.
    """
    return _kinds[name]


def fingerprint(public_key: bytes) -> bytes:
    """The 16-byte fingerprint of a public key recorded in headers.

    Returns:
        The fingerprint's 16 bytes (``Header.fingerprint_hex`` and the steps show it in hex).

    Raises:
        Nothing of its own.
    """
    return hashlib.blake2b(public_key, digest_size=FINGERPRINT_SIZE, person=b"ostrelline key").digest()


@dataclass
class Header:
    """What a file's header says about it."""

    kind: str
    count: int
    fingerprint: bytes = bytes(FINGERPRINT_SIZE)
    meta: Dict[str, Any] = field(default_factory=dict)
    payload_length: int = 0
    payload_checksum: bytes = bytes(_CHECKSUM_SIZE)
    header_length: int = 0
    version: int = FORMAT_VERSION

    @property
    def fingerprint_hex(self) -> str:
        """The key fingerprint in lower-case hex, as ``inspect`` shows it and the steps return it."""
        return self.fingerprint.hex()

    @property
    def rows(self) -> Optional[Dict[str, Any]]:
        """The row-encoding record, where the kind has rows."""
        return self.meta.get("rows")

    def encode(self) -> bytes:
        """The header bytes, padded to ``header_length`` (which this sets)."""
        meta = json.dumps(self.meta, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
        body_length = _FIXED.size + len(meta)
        self.header_length = -(-(body_length + _CHECKSUM_SIZE) // ALIGNMENT) * ALIGNMENT
        fixed = _FIXED.pack(
            MAGIC,
            self.version,
            0,
            self.header_length,
            self.kind.encode("ascii"),
            self.count,
            self.payload_length,
            self.fingerprint,
            self.payload_checksum,
            len(meta),
        )
        body = fixed + meta
        checksum = hashlib.blake2b(body, digest_size=_CHECKSUM_SIZE).digest()
        return (body + checksum).ljust(self.header_length, b"\0")


def _checksum() -> "hashlib._Hash":
    return hashlib.blake2b(digest_size=_CHECKSUM_SIZE)


def _parse_header(path: str, data: bytes) -> Header:
    if len(data) < _FIXED.size or not data.startswith(MAGIC):
        raise BadFileError(path, "is not an ostrelline file (it does not start with an ostrelline header)")
    magic, version, _reserved, header_length, kind_raw, count, payload_length, key, payload_sum, meta_length = (
        _FIXED.unpack_from(data)
    )
    if version != FORMAT_VERSION:
        raise BadFileError(path, f"has format version {version}; this tool reads version {FORMAT_VERSION}")
    body_end = _FIXED.size + meta_length
    if body_end + _CHECKSUM_SIZE > len(data) or body_end + _CHECKSUM_SIZE > header_length:
        raise BadFileError(path, "has a truncated or corrupted header")
    body = data[:body_end]
    if hashlib.blake2b(body, digest_size=_CHECKSUM_SIZE).digest() != data[body_end : body_end + _CHECKSUM_SIZE]:
        raise BadFileError(path, "has a corrupted header (its checksum does not match)")
    try:
        meta = json.loads(data[_FIXED.size : body_end].decode("utf-8"))
        name = kind_raw.rstrip(b"\0").decode("ascii")
    except ValueError:
        raise BadFileError(path, "has a corrupted header (unreadable metadata)") from None
    if not isinstance(meta, dict):
        raise BadFileError(path, "has a corrupted header (metadata is not an object)")
    return Header(name, count, key, meta, payload_length, payload_sum, header_length, version)


def _describe(names: Sequence[str]) -> str:
    return " or ".join(repr(n) for n in names)


class StoredFile:
    """An open file of the tools: its checked header, and reads of its payload.

    Use as a context manager, or call ``close``."""

    def __init__(self, path: PathLike, kinds: Optional[Sequence[str]] = None):
        self.path = os.fspath(path)
        try:
            self._file = open(self.path, "rb")
        except OSError as error:
            raise os_failure(self.path, error) from None
        self._map: Optional[mmap.mmap] = None
        try:
            self.header = self._read_header(kinds)
        except BaseException:
            self._file.close()
            raise

    def _read_header(self, kinds: Optional[Sequence[str]]) -> Header:
        head = self._file.read(4096)
        header = _parse_header(self.path, head)
        if header.header_length > len(head):
            self._file.seek(0)
            head = self._file.read(header.header_length)
            header = _parse_header(self.path, head)
        kind_ = _kinds.get(header.kind)
        if kind_ is None:
            raise BadFileError(self.path, f"is of a kind this tool does not know ({header.kind!r})")
        if kinds is not None and header.kind not in kinds:
            raise BadFileError(
                self.path, f"is a {kind_.description} ({header.kind!r} file), expected a {_describe(kinds)} file"
            )
        size = os.fstat(self._file.fileno()).st_size
        end = header.header_length + header.payload_length
        if size < end:
            raise BadFileError(
                self.path,
                f"is truncated: its header announces {header.payload_length} payload bytes, "
                f"the file holds {max(size - header.header_length, 0)}",
            )
        if size > end:
            raise BadFileError(self.path, f"has {size - end} bytes past the end of its payload")
        expected = kind_.expected_payload(header)
        if expected is not None and expected != header.payload_length:
            raise BadFileError(
                self.path,
                f"holds {header.payload_length} payload bytes where {header.count} entries take {expected}",
            )
        return header

    @property
    def kind(self) -> Kind:
        return _kinds[self.header.kind]

    def read(self, offset: int = 0, size: Optional[int] = None) -> bytes:
        """``size`` payload bytes from ``offset`` (to the end by default)."""
        length = self.header.payload_length
        offset = min(max(offset, 0), length)
        size = length - offset if size is None else min(max(size, 0), length - offset)
        self._file.seek(self.header.header_length + offset)
        return self._file.read(size)

    def entries(self, start: int, stop: int, width: Optional[int] = None) -> bytes:
        """The payload bytes of entries ``[start, stop)`` (the kind's width by default)."""
        width = width or self.kind.entry_width
        if not width:
            raise ValueError(f"kind {self.header.kind!r} has no entry width")
        return self.read(start * width, (stop - start) * width)

    def payload(self) -> bytes:
        """The whole payload."""
        return self.read()

    def view(self) -> memoryview:
        """The payload as a read-only memoryview of the mapped file, without a copy."""
        if self.header.payload_length == 0:
            return memoryview(b"")
        if self._map is None:
            self._map = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ)
        start = self.header.header_length
        return memoryview(self._map)[start : start + self.header.payload_length]

    def verify(self, interrupt_check: Optional[Callable[[], None]] = None) -> "StoredFile":
        """Checks the payload checksum, reading the payload in blocks."""
        digest = _checksum()
        self._file.seek(self.header.header_length)
        left = self.header.payload_length
        while left:
            block = self._file.read(min(left, _READ_BLOCK))
            if not block:
                break
            digest.update(block)
            left -= len(block)
            if interrupt_check is not None:
                interrupt_check()
        if left or digest.digest() != self.header.payload_checksum:
            raise BadFileError(self.path, "is corrupted (its payload checksum does not match)")
        return self

    def close(self) -> None:
        if self._map is not None:
            try:
                self._map.close()
            except BufferError:
                pass  # a view handed out is still alive; the map goes with it
            self._map = None
        self._file.close()

    def __enter__(self) -> "StoredFile":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def read_header(path: PathLike, kinds: Optional[Sequence[str]] = None) -> Header:
    """The header of ``path``, checked as far as the header goes (not the payload checksum).

    Returns:
        The ``Header``.

    Raises:
        MissingFileError, FileAccessError: the file cannot be opened.
        BadFileError: the header does not check, or the kind is not one of ``kinds``.
    """
    with StoredFile(path, kinds) as stored:
        return stored.header


def open_file(path: PathLike, kinds: Optional[Sequence[str]] = None, verify: bool = True) -> StoredFile:
    """Opens ``path`` expecting one of ``kinds`` (any registered kind when None);
    checks the payload checksum too unless ``verify`` is false.

    Returns:
        The open ``StoredFile`` (a context manager).

    Raises:
        MissingFileError, FileAccessError: the file cannot be opened.
        BadFileError: the header or the payload checksum does not check, or the
            kind is not one of ``kinds``.
    """
    stored = StoredFile(path, kinds)
    if verify:
        try:
            stored.verify()
        except BaseException:
            stored.close()
            raise
    return stored


def check_file(path: PathLike, kinds: Optional[Sequence[str]] = None) -> Header:
    """Every check of the file, the payload checksum included; returns its header.

    Returns:
        The ``Header``.

    Raises:
        As ``open_file``.
    """
    with open_file(path, kinds) as stored:
        return stored.header


_NOT_REGULAR = (
    (stat.S_ISLNK, "is a symbolic link; name the file itself (the tools do not write through links)"),
    (stat.S_ISDIR, "is a folder; name a file to write"),
    (stat.S_ISFIFO, "is a FIFO, not a regular file; the tools write only regular files"),
    (stat.S_ISCHR, "is a character device, not a regular file; the tools write only regular files"),
    (stat.S_ISBLK, "is a block device, not a regular file; the tools write only regular files"),
    (stat.S_ISSOCK, "is a socket, not a regular file; the tools write only regular files"),
)


def _secret_kind_of(path: str) -> Optional[str]:
    """The name of the secret kind ``path`` is a tools file of, read from its
    header without further checks (a damaged secret key is still a key), or
    None when it is no such file."""
    try:
        with open(path, "rb") as file:
            head = file.read(_FIXED.size)
    except OSError:
        return None
    if len(head) < _FIXED.size or not head.startswith(MAGIC):
        return None
    name = _FIXED.unpack_from(head)[4].rstrip(b"\0").decode("ascii", "replace")
    registered = _kinds.get(name)
    return name if registered is not None and registered.secret else None


def check_output(path: PathLike, overwrite: bool = False) -> None:
    """Refuses ``path`` as an output: anything but a regular file or a new
    name; an existing file unless ``overwrite``; and, whatever ``overwrite``
    says, a secret-key file of the tools.

    Returns:
        None: the output may be written.

    Raises:
        OutputExistsError: an existing file without ``overwrite``, or a secret
            key even with it (also a ``FileExistsError``).
        FileAccessError: the path cannot be looked at (also a ``PermissionError``).
        BadFileError: a link, folder, FIFO, device or socket.
    """
    path = os.fspath(path)
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        return
    except OSError as error:
        raise os_failure(path, error, "written") from None
    for test, problem in _NOT_REGULAR:
        if test(status.st_mode):
            raise BadFileError(path, problem)
    secret = _secret_kind_of(path)
    if secret is not None:
        raise OutputExistsError(
            path, f"is a {_kinds[secret].description}; it is never overwritten, not even with --force"
        )
    if not overwrite:
        raise OutputExistsError(path, "already exists; not overwritten (--force replaces it)")


def _exclusive_move(temp: str, path: str) -> None:
    """Moves ``temp`` to the new name ``path``, failing if ``path`` exists by
    then: a hard link where the file system has them, else an exclusively
    created placeholder that the rename replaces."""
    try:
        os.link(temp, path)
        return
    except FileExistsError:
        raise
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK, errno.EXDEV):
            raise
    os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    os.replace(temp, path)


class AtomicOutput:
    """One output file written atomically, as a context manager giving a
    binary file object: the bytes go into a temporary file beside ``path``
    (mode 0600 when ``secret``), which is moved into place only on a clean
    exit of the ``with`` block; on any exception, Ctrl-C included, it is
    removed and ``path`` is left as it was. The destination is checked by
    ``check_output`` before and again at the move; without ``overwrite`` the
    move is exclusive."""

    def __init__(self, path: PathLike, secret: bool = False, overwrite: bool = False):
        self.path = os.fspath(path)
        self.secret = secret
        self.overwrite = overwrite
        self._temp: Optional[str] = None
        self.file: Any = None

    def __enter__(self) -> Any:
        check_output(self.path, self.overwrite)
        directory, name = os.path.split(os.path.abspath(self.path))
        mode = 0o600 if self.secret else 0o666
        for _ in range(100):
            temp = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.part")
            try:
                fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
                break
            except FileExistsError:
                continue
            except OSError as error:
                raise os_failure(self.path, error, "written") from None
        else:  # pragma: no cover - a hundred name collisions in a row
            raise BadFileError(self.path, "cannot be written (no free temporary name)")
        self._temp = temp
        self.file = os.fdopen(fd, "wb")
        return self.file

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        try:
            if exc_type is None:
                self._commit()
        finally:
            if self.file is not None and not self.file.closed:
                self.file.close()
            if self._temp is not None and os.path.lexists(self._temp):
                os.unlink(self._temp)

    def _commit(self) -> None:
        assert self._temp is not None
        try:
            self.file.flush()
            os.fsync(self.file.fileno())
            self.file.close()
            # What appeared at the destination while the file was written is
            # judged as it would have been at the start.
            check_output(self.path, self.overwrite)
            if self.overwrite and os.path.lexists(self.path):
                os.replace(self._temp, self.path)
            else:
                _exclusive_move(self._temp, self.path)
        except OutputExistsError:
            raise  # check_output's refusal, as it says it
        except FileExistsError:
            raise OutputExistsError(self.path, "already exists; not overwritten (another run wrote it first)") from None
        except OSError as error:
            raise os_failure(self.path, error, "written") from None


class FileWriter:
    """Writes one file atomically (see ``AtomicOutput``): the header, then the
    payload in pieces.

    ``count`` may be set (``writer.count = n``) until the writer closes; the
    metadata is fixed when the writer opens. On a clean exit of the ``with``
    block the header is completed and the temporary file renamed over
    ``path``; on any exception nothing is left behind."""

    def __init__(
        self,
        path: PathLike,
        kind_name: str,
        count: int = 0,
        key_fingerprint: Optional[bytes] = None,
        meta: Optional[Mapping[str, Any]] = None,
        overwrite: bool = False,
    ):
        if kind_name not in _kinds:
            raise ValueError(f"kind {kind_name!r} is not registered")
        self.path = os.fspath(path)
        self.kind = _kinds[kind_name]
        self.count = count
        fp = key_fingerprint if key_fingerprint is not None else bytes(FINGERPRINT_SIZE)
        if len(fp) != FINGERPRINT_SIZE:
            raise ValueError(f"a key fingerprint is {FINGERPRINT_SIZE} bytes")
        self._header = Header(kind_name, count, fp, dict(meta or {}))
        self._digest = _checksum()
        self._length = 0
        self._output = AtomicOutput(self.path, self.kind.secret, overwrite)
        self._file: Any = None

    def __enter__(self) -> "FileWriter":
        self._file = self._output.__enter__()
        self._file.write(self._header.encode())
        return self

    def write(self, data: Union[bytes, bytearray, memoryview]) -> None:
        """Appends payload bytes."""
        self._digest.update(data)
        self._file.write(data)
        self._length += len(data)

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        if exc_type is None:
            try:
                self._complete_header()
            except BaseException as error:
                self._output.__exit__(type(error), error, error.__traceback__)
                raise
        self._output.__exit__(exc_type, exc, tb)

    def _complete_header(self) -> None:
        header = self._header
        header.count = self.count
        header.payload_length = self._length
        header.payload_checksum = self._digest.digest()
        expected = self.kind.expected_payload(header)
        if expected is not None and expected != self._length:
            raise ValueError(f"{self.kind.name}: {self._length} payload bytes where {self.count} entries take {expected}")
        length = header.header_length
        encoded = header.encode()
        assert len(encoded) == length, "metadata changed while writing"
        self._file.seek(0)
        self._file.write(encoded)


def write_file(
    path: PathLike,
    kind_name: str,
    payload: Union[bytes, Iterable[bytes]],
    count: int,
    key_fingerprint: Optional[bytes] = None,
    meta: Optional[Mapping[str, Any]] = None,
    overwrite: bool = False,
) -> None:
    """Writes a whole file at once (``payload`` as bytes or as an iterable of pieces).

    Returns:
        None.

    Raises:
        ValueError: an unregistered kind, or a payload of another length than the kind's.
        OutputExistsError, BadFileError: as ``check_output``, or the file cannot be written.
    """
    with FileWriter(path, kind_name, count, key_fingerprint, meta, overwrite) as writer:
        if isinstance(payload, (bytes, bytearray, memoryview)):
            writer.write(payload)
        else:
            for piece in payload:
                writer.write(piece)


def export_payload(
    path: PathLike, destination: PathLike, kinds: Optional[Sequence[str]] = None, overwrite: bool = False
) -> Header:
    """Checks ``path`` and writes its payload alone, the module's bytes, to
    ``destination`` (atomically; mode 0600 for secret kinds).

    Returns:
        The file's ``Header``.

    Raises:
        As ``open_file`` for ``path`` and ``check_output`` for ``destination``.
    """
    with open_file(path, kinds) as stored:
        if same_file(path, destination):
            raise BadFileError(destination, "is the file exported; name another file for the payload")
        with AtomicOutput(destination, stored.kind.secret, overwrite) as out:
            offset, length = 0, stored.header.payload_length
            while offset < length:
                block = stored.read(offset, _READ_BLOCK)
                out.write(block)
                offset += len(block)
        return stored.header


def same_file(a: PathLike, b: PathLike) -> bool:
    """Whether two paths name one file (the same path, or links to one file).

    Returns:
        True when they name one file.

    Raises:
        Nothing of its own.
    """
    if os.path.abspath(a) == os.path.abspath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False
