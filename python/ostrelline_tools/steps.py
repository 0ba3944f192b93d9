"""The protocol steps as the parties run them, on files.

Each function reads the files it is given, checks them (kind, checksums,
sizes, keys, roles, runs, counts and row encodings agree), runs the module's
operation in chunks and writes its output atomically: a refused input or a
failure, Ctrl-C included, leaves nothing behind.

Who runs what:

* every party: ``keygen`` (role "sender", "receiver" or "network");
* each bank: ``build_store`` from its table, sent to the payment network;
* the payment network: ``initiate``, ``randomize`` (twice), ``combine``,
  which writes the stream for each bank and gamma and delta for itself;
* each bank: ``decrypt`` of its stream, sent back;
* the payment network: ``finish``, which writes the payments table with a
  match column.

``progress``, where a step takes it, is called as ``progress(step, done,
total)`` with entries (rows, payments) done so far: 0 first, then after each
chunk. Failures raise the exceptions of ``errors``.

``engine``, where a step takes it, is an engine of ``ostrelline_parallel``
(see ``engines.open_engine``): the step's module calls then run on its
workers, in chunks of the engine's own ``chunk_size``, with the same result.
"""
from __future__ import annotations

import contextlib
import hashlib
import multiprocessing
import os
import secrets
import signal
import stat
import time
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import ostrelline
from ostrelline_parallel import faults, is_panic

from . import engines as _engines
from . import audit, files, kinds, results, rows
from .errors import STOPPING_SIGNALS, BadFileError, InputError, KeyMismatchError, ModuleError, PathLike, ToolError
from .errors import Extra, MissingDependencyError, ToolWarning
from .files import FileWriter, Header, StoredFile

__all__ = [
    "ROLES",
    "CONSTRUCTIONS",
    "DEFAULT_CHUNK_SIZE",
    "Progress",
    "BuildReport",
    "keygen",
    "build_store",
    "initiate",
    "randomize",
    "combine",
    "decrypt",
    "finish",
    "describe",
    "export",
]

Progress = Callable[[str, int, int], None]

ROLES = ("sender", "receiver", "network")
BANKS = ("sender", "receiver")
CONSTRUCTIONS = ("hiding", "specified")
COMPONENTS = ("sender", "receiver", "gamma", "delta")
#: Largest number of entries given to one call of the module.
DEFAULT_CHUNK_SIZE = 4096
# A call should take about this long, so that Ctrl-C acts well within two seconds.
_CALL_SECONDS = 0.25
# A call whose fixed part is large may take this long, so that the fixed part stays a small share.
_LONGEST_CALL = 1.5
_FIRST_CHUNK = 256
_PARTY = {"sender": "sending bank", "receiver": "receiving bank", "network": "payment network"}


# --------------------------------------------------------------------------- module calls


def _call(step: str, function: Callable[..., Any], *args: Any, capture: bool = True) -> Any:
    """One module call (or, with ``capture`` false, an engine's step, whose
    workers capture for themselves); its PanicException comes back as
    ModuleError with its message, and the module's fault report, kept off
    standard error, rides along on the error."""
    failure = None
    try:
        with faults.captured() if capture else contextlib.nullcontext():
            return function(*args)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not is_panic(error):
            raise
        failure = ModuleError(step, str(error.args[0]) if error.args else str(error), report=faults.report_of(error))
    raise failure


# The scalar 1 as a secret key: ``decrypt`` with it refuses exactly the
# entries holding a point that does not decode, and changes nothing else.
_UNIT_KEY = b"\x01" + bytes(31)
_POINT = 32


def _decodes(points: bytes) -> bool:
    try:
        with faults.captured():
            ostrelline.decrypt(points, _UNIT_KEY)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not is_panic(error):
            raise
        return False
    return True


def _first_undecodable(data: bytes, width: int) -> Optional[int]:
    """The first entry of ``data`` (entries of ``width`` bytes, whole points)
    holding a point that does not decode; None when every point decodes."""
    if _decodes(data):
        return None
    for index in range(len(data) // width):
        if not _decodes(data[index * width : (index + 1) * width]):
            return index
    return None


def _located(call: Callable[[int, int], None], sources: Sequence[Tuple[PathLike, StoredFile]]) -> Callable[[int, int], None]:
    """``call(start, stop)`` over entries of the stream files ``sources``; a
    ModuleError it raises is raised again naming the first file and entry of
    the failing range whose points do not decode (checked one entry at a
    time only after the failure, so the work is not repeated otherwise)."""

    def checked(start: int, stop: int) -> None:
        try:
            call(start, stop)
        except ModuleError as error:
            for path, stored in sources:
                width = stored.kind.entry_width or _POINT
                bad = _first_undecodable(stored.entries(start, stop), width)
                if bad is not None:
                    raise error.located(path, start + bad, "a point of the entry does not decode") from None
            raise

    return checked


class _Chunks:
    """Cuts a step's entries into the module's calls: small at first, then sized
    so that a call takes about ``_CALL_SECONDS`` (Ctrl-C is acted on between
    calls), never more than ``limit`` entries; reports progress after each.

    A call costs a fixed part (``initiate_queries`` parses both stores on
    every call: about a second for stores of a million rows) plus a part per
    entry. Sizing on the whole time per entry would shrink the chunks as the
    fixed part grows, until every call paid it for a handful of entries; so
    the two parts are told apart from calls of different sizes, and a call is
    made long enough that the fixed part is at most a quarter of it (up to
    ``_LONGEST_CALL``; past that, chunks of ``limit`` entries)."""

    def __init__(self, step: str, total: int, limit: int, progress: Optional[Progress]):
        if limit < 1:
            raise ValueError("chunk size must be at least 1")
        self.step, self.total, self.limit, self.progress = step, total, limit, progress
        self.size = min(limit, _FIRST_CHUNK)
        self.done = 0
        self.calls = 0
        self._latest: Dict[int, float] = {}  # seconds of the latest call of each size
        self._report()

    def _report(self) -> None:
        if self.progress is not None:
            self.progress(self.step, self.done, self.total)

    def run(self, count: int, call: Callable[[int, int], None]) -> None:
        """Calls ``call(start, stop)`` over ``[0, count)`` in chunks."""
        start = 0
        while start < count:
            stop = min(count, start + self.size)
            began = time.monotonic()
            call(start, stop)
            self._observe(stop - start, time.monotonic() - began)
            self.done += stop - start
            start = stop
            self._report()

    def _observe(self, entries: int, elapsed: float) -> None:
        self.calls += 1
        latest = self._latest
        latest[entries] = elapsed
        small, large = (min(latest), latest[min(latest)]), (max(latest), latest[max(latest)])
        if large[0] > small[0]:
            per_entry = max((large[1] - small[1]) / (large[0] - small[0]), 1e-9)
            fixed = max(small[1] - per_entry * small[0], 0.0)
        else:
            per_entry, fixed = max(elapsed / entries, 1e-9), 0.0
        if fixed > _LONGEST_CALL / 2:
            size = self.limit
        else:
            target = max(_CALL_SECONDS, min(4 * fixed, _LONGEST_CALL))
            size = int((target - fixed) / per_entry)
            if self.calls == 1:
                size = min(size, self.size * 2)  # one call tells nothing of the fixed part yet
        self.size = max(16, min(self.limit, size))


def _chunker(step: str, total: int, chunk_size: int, progress: Optional[Progress], engine: Optional[Any]) -> Any:
    """The chunking of a step: calls of the module here, or windows of the engine's chunks."""
    if engine is None:
        return _Chunks(step, total, chunk_size, progress)
    return _engines.Windows(step, total, engine, progress)


def _operation(chunker: Any, step: str, name: Any) -> Callable[..., Any]:
    """The operation ``name`` of the module as ``chunker`` runs it: one call here,
    or the engine's step over its workers (``name`` may then be a function
    taking the engine first); a PanicException comes back as ModuleError."""
    if isinstance(chunker, _engines.Windows):
        engine_step = chunker.function(name)
        return lambda *args: _call(step, engine_step, *args, capture=False)
    function = getattr(ostrelline, name)
    return lambda *args: _call(step, function, *args)


def _sharded() -> Any:
    """The module that builds and reads sharded stores, or None where their
    hash (xxhash) is not installed."""
    try:
        from . import sharded
    except ImportError as error:
        if error.name != "xxhash":
            raise
        return None
    return sharded


def _sharded_missing() -> MissingDependencyError:
    return MissingDependencyError("a sharded store", "xxhash", Extra.TOOLS)


# --------------------------------------------------------------------------- keys


def keygen(public_path: PathLike, secret_path: PathLike, role: str, overwrite: bool = False) -> bytes:
    """Writes a key pair for ``role``: the public key file, and the secret key
    file with mode 0600. Returns the key's fingerprint. Existing files are
    refused unless ``overwrite``, and an existing secret key even then."""
    if role not in ROLES:
        raise ValueError(f"role is one of {', '.join(ROLES)}, not {role!r}")
    if os.path.abspath(public_path) == os.path.abspath(secret_path):
        raise BadFileError(secret_path, "is named for both the public and the secret key")
    public_key, secret_key = ostrelline.key_gen()
    fp = files.fingerprint(public_key)
    meta = {"role": role}
    for path in (public_path, secret_path):
        files.check_output(path, overwrite)
    # Both files or neither: each is written to a temporary file first, the
    # public key renamed into place only once the secret key's is written,
    # and taken back should the secret key's rename fail.
    written = False
    try:
        with FileWriter(secret_path, kinds.SECRET_KEY.name, 1, fp, meta, overwrite) as secret_writer:
            secret_writer.write(secret_key)
            files.write_file(public_path, kinds.PUBLIC_KEY.name, public_key, 1, fp, meta, overwrite)
            written = True
    except BaseException:
        if written:
            os.unlink(public_path)
        raise
    return fp


def _read_key(path: PathLike, kind: files.Kind, roles: Sequence[str]) -> Tuple[bytes, Header]:
    with files.open_file(path, [kind.name]) as stored:
        header = stored.header
        if kind.secret:
            # Checked once the file is known to be a secret key, so that another
            # kind of file is named for what it is.
            mode = stat.S_IMODE(os.stat(path).st_mode)
            if mode & 0o077:
                raise BadFileError(path, f"is a secret key readable by other users (mode {mode:04o}); chmod 600 it")
        role = header.meta.get("role")
        if role not in roles:
            wanted = " or ".join(f"the {_PARTY[r]}'s" for r in roles)
            raise KeyMismatchError(path, f"is the {_PARTY.get(role, repr(role))}'s {kind.description}, not {wanted}")
        key = stored.payload()
    return key, header


def _outputs_apart(inputs: Sequence[Optional[PathLike]], outputs: Sequence[PathLike], overwrite: bool = False) -> None:
    """Refuses, before any work, an output that names an input of the step or
    another output (writing it would replace what the step reads, or one
    result with another), and an output that ``files.check_output`` refuses
    (an existing file without ``overwrite``, a secret key, a link, a device)."""
    for index, out in enumerate(outputs):
        for other in [i for i in inputs if i is not None] + list(outputs[:index]):
            if files.same_file(out, other):
                raise BadFileError(out, "is named both as an input or output of this step and as an output")
        files.check_output(out, overwrite)


def _fp_hex(fp: bytes) -> str:
    return fp.hex()


def _warn(warning: Optional[ToolWarning]) -> None:
    if warning is not None:
        warnings.warn(warning, stacklevel=3)


# --------------------------------------------------------------------------- stores


@dataclass
class BuildReport:
    """What ``build_store`` did: rows read, distinct rows stored, the store's
    header, and the rows left out for an empty key value (``skip_invalid``)."""

    rows_read: int
    rows_stored: int
    header: Header
    rows_skipped: int = 0


def _builder(construction: str) -> Tuple[str, Callable[..., bytes]]:
    if construction == "specified":
        return "ostrelline", ostrelline.build_okvs
    if construction != "hiding":
        raise ValueError(f"construction is one of {', '.join(CONSTRUCTIONS)}, not {construction!r}")
    try:
        import ostrelline_hiding
    except ImportError:
        raise ToolError(
            "membership-hiding stores need the module ostrelline_hiding, which is not installed; "
            "the specified kind (--specified) can be built without it"
        ) from None
    return "ostrelline_hiding", ostrelline_hiding.build_okvs


def _build_child(channel: Any, function: Callable[..., bytes], public_key: bytes, store_rows: List[List[str]]) -> None:
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    for number in STOPPING_SIGNALS:
        signal.signal(number, signal.SIG_DFL)
    try:
        with faults.captured():
            result: Tuple[str, Any] = ("ok", function(public_key, store_rows))
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if is_panic(error):
            result = ("panic", (str(error.args[0]) if error.args else str(error), faults.report_of(error)))
        elif isinstance(error, MemoryError):
            result = ("memory", "")
        else:
            result = ("error", f"{type(error).__name__}: {error}")
    channel.send(result)
    channel.close()


def _build_isolated(
    step: str, function: Callable[..., bytes], public_key: bytes, store_rows: List[List[str]], key_path: PathLike
) -> bytes:
    """Runs the one long ``build_okvs`` call in a forked child, so that Ctrl-C in
    this process stops it at once (a call holds the interpreter for its whole
    length and cannot be cut into chunks). The rows are distinct by then, so
    a failure of the module is the key's (``key_path``)."""
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    child = context.Process(target=_build_child, args=(send, function, public_key, store_rows), daemon=True)
    child.start()
    send.close()
    try:
        while not receive.poll(0.1):
            if not child.is_alive() and not receive.poll(0):
                raise ToolError(f"{step}: the process building the store ended without a result (exit {child.exitcode})")
        try:
            status, value = receive.recv()
        except EOFError:
            child.join()
            raise ToolError(f"{step}: the process building the store ended without a result (exit {child.exitcode})")
        child.join()
    finally:
        if child.is_alive():
            child.kill()
            child.join()
        receive.close()
    if status == "ok":
        return value
    if status == "panic":
        raise ModuleError(step, value[0], key_path, report=value[1])
    if status == "memory":
        raise MemoryError()
    raise ToolError(f"{step}: {value}")


def build_store(
    public_key_path: PathLike,
    table_path: PathLike,
    columns: Sequence[str],
    out_path: PathLike,
    normalise: str = "none",
    construction: str = "hiding",
    progress: Optional[Progress] = None,
    shards: Optional[Any] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
    skip_invalid: bool = False,
    allow_empty: bool = False,
) -> BuildReport:
    """A bank's store of the rows of ``columns`` of its table, under its public
    key: membership-hiding by default, the specified kind with
    ``construction="specified"``. Rows that encode alike are stored once. The
    header records the column names, in order.

    A key value that is null, empty or white space only refuses the table,
    or with ``skip_invalid`` leaves its row out; a table without rows (or
    without any left) is refused unless ``allow_empty``. With normalisation
    "none", values with white space around them or mixed case raise a
    ``ToolWarning``.

    With ``shards`` (a number k, or "auto" for about 25,000 rows a shard) it
    writes a sharded store, one build task per shard on ``engine`` (a pool of
    one worker process when none is given). An unsharded store is one call of
    the module, which no engine divides: ``engine`` needs ``shards``."""
    columns = list(columns)
    rows.check_names(columns)
    encoding = rows.RowEncoding(len(columns), normalise)
    if engine is not None and shards is None:
        raise ToolError(
            "an unsharded store is one call of the module, which no engine divides: "
            "build a sharded store (--shards K or auto) to build on workers"
        )
    if shards is not None and shards != "auto" and (not isinstance(shards, int) or shards < 1):
        raise ValueError(f"the number of shards is a whole number of at least 1 or auto, not {shards!r}")
    _outputs_apart([public_key_path, table_path], [out_path], overwrite)
    public_key, key_header = _read_key(public_key_path, kinds.PUBLIC_KEY, BANKS)
    _, function = _builder(construction)
    sharded = None
    if shards is not None:
        sharded = _sharded()
        if sharded is None:
            raise _sharded_missing()
    step = "build-store"
    total = rows.count_rows(table_path, columns)
    if total == 0 and not allow_empty:
        raise InputError(table_path, "holds no rows (--allow-empty builds an empty store)")
    if progress is not None:
        progress("read rows", 0, total)
    check = rows.RowCheck(table_path, columns, hints=encoding.normalise == rows.Normalisation.NONE)
    encoded: List[str] = []
    for arrays in rows.read_batches(table_path, columns):
        keep = check.keep(arrays)
        if skip_invalid or not check.blank:  # once refused, the rest is only counted
            encoded += rows.encode_batch(table_path, columns, rows.kept(arrays, keep), normalise, check.rows)
        if progress is not None:
            progress("read rows", check.rows, total)
    _warn(check.hint())
    if check.blank and not skip_invalid:
        raise check.refusal()
    if not encoded and not allow_empty:
        raise InputError(
            table_path, f"has no row left once the {check.blank:,} with an empty key value are left out "
            "(--allow-empty builds an empty store)"
        )
    distinct = list(dict.fromkeys(encoded))
    read = check.rows
    del encoded
    store_rows = [[s] for s in distinct]
    del distinct
    meta = {
        "role": key_header.meta["role"],
        "construction": construction,
        "rows": encoding.record(),
        "columns": columns,
    }
    if sharded is not None:
        import contextlib

        from ostrelline_parallel.shards import shards_for

        count = shards_for(len(store_rows)) if shards == "auto" else shards
        with contextlib.ExitStack() as stack:
            if engine is None:
                engine = stack.enter_context(_engines.open_engine(workers=1))
            sharded.write_sharded_store(
                engine, out_path, public_key, store_rows, count, construction=construction,
                role=meta["role"], progress=progress, meta={"rows": meta["rows"], "columns": columns},
                overwrite=overwrite,
            )
        return BuildReport(read, len(store_rows), files.read_header(out_path), check.blank)
    with FileWriter(out_path, kinds.STORE.name, len(store_rows), key_header.fingerprint, meta, overwrite) as writer:
        if progress is not None:
            progress(step, 0, len(store_rows))
        store = _build_isolated(step, function, public_key, store_rows, public_key_path)
        writer.write(store)
        if progress is not None:
            progress(step, len(store_rows), len(store_rows))
    return BuildReport(read, len(store_rows), files.read_header(out_path), check.blank)


# --------------------------------------------------------------------------- the payment network's queries


def _digest_file(path: PathLike) -> str:
    digest = hashlib.blake2b(digest_size=16, person=b"ostrelline pays")
    try:
        with open(path, "rb") as file:
            for block in iter(lambda: file.read(1 << 20), b""):
                digest.update(block)
    except OSError as error:
        raise BadFileError(path, f"cannot be read ({error.strerror or error})") from None
    return digest.hexdigest()


def _open_store(path: PathLike, role: str) -> Tuple[Optional[bytes], Header]:
    """A bank's store, checked: its bytes and header; a sharded store's bytes
    are None (its tasks read their shards from the file)."""
    with files.open_file(path, [kinds.STORE.name, kinds.SHARDED_STORE.name]) as stored:
        header = stored.header
        if header.meta.get("role") != role:
            other = header.meta.get("role")
            raise BadFileError(
                path, f"is the {_PARTY.get(other, repr(other))}'s store, given in the {_PARTY[role]}'s place"
            )
        if header.kind != kinds.STORE.name:
            return None, header
        return stored.payload(), header


def _initiate_blamed(
    query: Callable[..., bytes], stores: Sequence[Tuple[PathLike, Any]], network_key_path: PathLike
) -> Callable[..., bytes]:
    """``query`` whose ModuleError names the input the module refuses: once a
    call has failed, each store is parsed alone under a key known to be good;
    when both parse, the network's key is at fault."""

    def blamed(*args: Any) -> bytes:
        try:
            return query(*args)
        except ModuleError as error:
            good_key = ostrelline.key_gen()[0]
            for path, store in stores:
                if not isinstance(store, (bytes, bytearray, memoryview)):
                    continue  # a sharded store: its tasks read and check their shards
                try:
                    with faults.captured():
                        ostrelline.initiate_queries([], [], store, store, good_key)
                except BaseException as refused:  # noqa: BLE001 - PanicException derives from BaseException
                    if not is_panic(refused):
                        raise
                    raise error.located(path, None, "the store's bytes are malformed") from None
            raise error.located(network_key_path) from None

    return blamed


def _shard_view(path: PathLike, header: Header) -> Any:
    """A store file as the sharded queries read it: a sharded store as it is, an
    ordinary store as one shard."""
    sharded = _sharded()
    if sharded is None:
        raise _sharded_missing()
    if header.kind == kinds.STORE.name:
        return sharded.store_as_shards(path, header)
    return sharded.open_sharded_store(path)


def _key_columns(columns: Any, what: str) -> Tuple[List[str], Optional[List[str]]]:
    """The payment columns of one bank, and the store's column names they are
    mapped onto (None when none is mapped). ``columns`` is a sequence of
    names, in which an item may be a pair (payment column, store column), or
    a mapping of payment columns onto store columns, in order."""
    items = list(columns.items()) if hasattr(columns, "items") else list(columns)
    names: List[str] = []
    labels: List[str] = []
    for item in items:
        name, label = (item, item) if isinstance(item, str) else item
        names.append(name)
        labels.append(label)
    rows.check_names(names, f"{what} columns")
    if labels == names:
        return names, None
    rows.check_names(labels, f"store columns the {what} columns are mapped onto")
    return names, labels


def _check_labels(path: PathLike, header: Header, names: List[str], labels: Optional[List[str]], what: str) -> None:
    """Refuses payment columns that name the store's columns in another order,
    or are mapped onto them in another order; a store that records no column
    names gets a warning, since nothing can be checked."""
    stored = header.meta.get("columns")
    if stored is None:
        _warn(ToolWarning(path, f"records no column names (it was built before stores recorded them): the order of "
                                f"the {what} columns cannot be checked against it; rebuild it to have it checked"))
        return
    if not isinstance(stored, list) or not all(isinstance(n, str) for n in stored):
        raise BadFileError(path, "records column names this tool cannot read")
    held = f"holds rows of the columns {', '.join(map(repr, stored))}, in that order"
    if labels is not None:
        unknown = [label for label in labels if label not in stored]
        if unknown:
            raise BadFileError(path, f"{held}; the {what} columns are mapped onto {', '.join(map(repr, unknown))}, "
                                     "which it does not have")
        if labels != stored:
            raise BadFileError(path, f"{held}; the {what} columns are mapped onto "
                                     f"{', '.join(map(repr, labels))}, another order")
        return
    if any(name in stored and stored.index(name) != index for index, name in enumerate(names)):
        raise BadFileError(
            path, f"{held}; the {what} columns {', '.join(map(repr, names))} name them in another order "
            "(name them in the store's order, or map yours onto its names: PAYMENT=STORE,...)"
        )


def initiate(
    payments_path: PathLike,
    sender_columns: Sequence[Any],
    receiver_columns: Sequence[Any],
    sender_store_path: PathLike,
    receiver_store_path: PathLike,
    network_key_path: PathLike,
    out_path: PathLike,
    normalise: str = "none",
    sender_key_path: Optional[PathLike] = None,
    receiver_key_path: Optional[PathLike] = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
    skip_invalid: bool = False,
    allow_empty: bool = False,
) -> Header:
    """The payment network's query stream: payment i looks up its sender row in
    the sending bank's store and its receiver row in the receiving bank's.

    ``sender_columns`` and ``receiver_columns`` name the payment columns of
    each bank's row; an item may be a pair (payment column, store column), or
    the argument a mapping, to map them onto the names the store records.
    Names that are the store's in another order, or a mapping in another
    order, are refused. A payment whose key value is null, empty or white
    space only refuses the table, or with ``skip_invalid`` gets no query (the
    header records which rows, by the rule and the columns, and ``finish``
    writes no match for them); a table without payments (or without any left)
    is refused unless ``allow_empty``.

    Either store may be sharded (``build_store(..., shards=k)``): the queries
    then run grouped by shard pair on ``engine`` (a pool of one worker process
    when none is given), whose workers read the shards from the store files,
    and the stream is in the same format and order."""
    import contextlib

    sender_columns, sender_labels = _key_columns(sender_columns, "sender")
    receiver_columns, receiver_labels = _key_columns(receiver_columns, "receiver")
    _outputs_apart(
        [payments_path, sender_store_path, receiver_store_path, network_key_path, sender_key_path, receiver_key_path],
        [out_path],
        overwrite,
    )
    network_key, network_header = _read_key(network_key_path, kinds.PUBLIC_KEY, ("network",))
    sender_store, sender_header = _open_store(sender_store_path, "sender")
    receiver_store, receiver_header = _open_store(receiver_store_path, "receiver")
    for key_path, header, store_path in (
        (sender_key_path, sender_header, sender_store_path),
        (receiver_key_path, receiver_header, receiver_store_path),
    ):
        if key_path is not None:
            _, key_header = _read_key(key_path, kinds.PUBLIC_KEY, (header.meta["role"],))
            if key_header.fingerprint != header.fingerprint:
                raise KeyMismatchError(
                    store_path, f"was made under key {_fp_hex(header.fingerprint)}, not under {os.fspath(key_path)}'s"
                )
    sender_encoding = rows.RowEncoding(len(sender_columns), normalise)
    receiver_encoding = rows.RowEncoding(len(receiver_columns), normalise)
    sender_encoding.require_same(
        rows.RowEncoding.from_record(sender_store_path, sender_header.rows), sender_store_path, "the sender columns"
    )
    receiver_encoding.require_same(
        rows.RowEncoding.from_record(receiver_store_path, receiver_header.rows),
        receiver_store_path,
        "the receiver columns",
    )
    _check_labels(sender_store_path, sender_header, sender_columns, sender_labels, "sender")
    _check_labels(receiver_store_path, receiver_header, receiver_columns, receiver_labels, "receiver")
    columns = sender_columns + receiver_columns
    check = rows.RowCheck(payments_path, columns, hints=sender_encoding.normalise == rows.Normalisation.NONE)
    for arrays in rows.read_batches(payments_path, columns, 65536):
        check.keep(arrays)
    _warn(check.hint())
    if check.blank and not skip_invalid:
        raise check.refusal()
    total = check.rows - check.blank
    if total == 0 and not allow_empty:
        left = f" left once the {check.blank:,} with an empty key value are left out" if check.blank else ""
        raise InputError(payments_path, f"holds no payments{left} (--allow-empty makes an empty query stream)")
    meta = {
        "run": secrets.token_hex(16),
        "sender": _fp_hex(sender_header.fingerprint),
        "receiver": _fp_hex(receiver_header.fingerprint),
        "payments": _digest_file(payments_path),
        "rows": {"sender": sender_encoding.record(), "receiver": receiver_encoding.record()},
    }
    if check.blank:
        meta["skipped"] = {"rule": rows.BLANK_RULE, "columns": columns, "rows": check.blank}
    step = "initiate"
    split = len(sender_columns)
    again = rows.RowCheck(payments_path, columns)
    with contextlib.ExitStack() as stack:
        writer = stack.enter_context(FileWriter(out_path, kinds.QUERIES.name, 0, network_header.fingerprint, meta, overwrite))
        operation: Any = "initiate_queries"
        stores: Tuple[Any, Any] = (sender_store, receiver_store)
        if sender_store is None or receiver_store is None:
            stores = (_shard_view(sender_store_path, sender_header), _shard_view(receiver_store_path, receiver_header))
            del sender_store, receiver_store
            from ostrelline_parallel.shards import initiate_sharded_queries as operation
            if engine is None:
                engine = stack.enter_context(_engines.open_engine(workers=1, chunk_size=chunk_size))
        chunks = _chunker(step, total, chunk_size, progress, engine)
        query = _initiate_blamed(
            _operation(chunks, step, operation),
            ((sender_store_path, stores[0]), (receiver_store_path, stores[1])),
            network_key_path,
        )
        batch = {} if engine is None else {"batch_rows": _engines.window_for(engine)}
        for arrays in rows.read_batches(payments_path, columns, **batch):
            arrays = rows.kept(arrays, again.keep(arrays))
            senders = rows.encode_batch(payments_path, sender_columns, arrays[:split], normalise, chunks.done)
            receivers = rows.encode_batch(payments_path, receiver_columns, arrays[split:], normalise, chunks.done)
            chunks.run(
                len(senders),
                lambda a, b: writer.write(
                    query([[s] for s in senders[a:b]], [[r] for r in receivers[a:b]], *stores, network_key)
                ),
            )
        done = chunks.done
        if done != total or again.blank != check.blank:
            raise BadFileError(payments_path, f"changed while it was read ({total} rows counted, {done} read)")
        writer.count = done
    return files.read_header(out_path)


# --------------------------------------------------------------------------- streams


def _open_stream(path: PathLike, kind: files.Kind) -> StoredFile:
    return files.open_file(path, [kind.name])


def _same_run(path: PathLike, header: Header, reference: Header, reference_path: PathLike) -> None:
    if header.meta.get("run") != reference.meta.get("run"):
        raise BadFileError(path, f"comes from another run than {os.fspath(reference_path)}")
    if header.count != reference.count:
        raise BadFileError(
            path, f"holds {header.count} entries, {os.fspath(reference_path)} {reference.count}; they must agree"
        )


def randomize(
    queries_path: PathLike,
    out_path: PathLike,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
) -> Header:
    """A freshly blinded copy of a query stream (each copy gets its own identifier)."""
    step = "randomize"
    _outputs_apart([queries_path], [out_path], overwrite)
    with _open_stream(queries_path, kinds.QUERIES) as source:
        header = source.header
        meta = dict(header.meta, copy=secrets.token_hex(16))
        with FileWriter(out_path, kinds.QUERIES.name, header.count, header.fingerprint, meta, overwrite) as writer:
            chunks = _chunker(step, header.count, chunk_size, progress, engine)
            randomized = _operation(chunks, step, "randomize")
            chunks.run(
                header.count,
                _located(lambda a, b: writer.write(randomized(source.entries(a, b))), [(queries_path, source)]),
            )
    return files.read_header(out_path)


def _component_file(path: PathLike, component: str, decrypted: Optional[bool]) -> StoredFile:
    stored = _open_stream(path, kinds.POINTS)
    meta = stored.header.meta
    problem = None
    if meta.get("component") != component:
        problem = f"is the {meta.get('component')} stream, expected the {component} stream"
    elif decrypted is not None and bool(meta.get("decrypted")) != decrypted:
        problem = "is already decrypted" if meta.get("decrypted") else f"is not yet decrypted by the {_PARTY[component]}"
    if problem is not None:
        stored.close()
        raise BadFileError(path, problem)
    return stored


def combine(
    first_path: PathLike,
    second_path: PathLike,
    sender_out: PathLike,
    receiver_out: PathLike,
    gamma_out: PathLike,
    delta_out: PathLike,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
) -> Header:
    """Adds two randomized copies of one query stream and writes the four point
    streams: ``sender`` for the sending bank, ``receiver`` for the receiving
    bank, ``gamma`` and ``delta`` for the payment network. Returns the gamma
    stream's header."""
    step = "combine"
    import contextlib

    with contextlib.ExitStack() as stack:
        first = stack.enter_context(_open_stream(first_path, kinds.QUERIES))
        second = stack.enter_context(_open_stream(second_path, kinds.QUERIES))
        a, b = first.header, second.header
        for path, header in ((first_path, a), (second_path, b)):
            if "copy" not in header.meta:
                raise BadFileError(path, "is a query stream that was not randomized; combine takes two randomized copies")
        _same_run(second_path, b, a, first_path)
        if a.meta["copy"] == b.meta["copy"]:
            raise BadFileError(second_path, f"is the same randomized copy as {os.fspath(first_path)}")
        run = a.meta["run"]
        own = {k: a.meta[k] for k in ("sender", "receiver", "payments", "skipped") if k in a.meta}
        # A bank's stream names its key, the run and the payment network's key (for the bank's audit log).
        network = _fp_hex(a.fingerprint)
        targets = (
            (sender_out, bytes.fromhex(a.meta["sender"]),
             {"run": run, "component": "sender", "decrypted": False, "network": network}),
            (receiver_out, bytes.fromhex(a.meta["receiver"]),
             {"run": run, "component": "receiver", "decrypted": False, "network": network}),
            (gamma_out, a.fingerprint, dict(own, run=run, component="gamma")),
            (delta_out, a.fingerprint, dict(own, run=run, component="delta")),
        )
        _outputs_apart([first_path, second_path], [t[0] for t in targets], overwrite)
        writers = [
            stack.enter_context(FileWriter(path, kinds.POINTS.name, a.count, fp, meta, overwrite))
            for path, fp, meta in targets
        ]

        chunks = _chunker(step, a.count, chunk_size, progress, engine)
        combined = _operation(chunks, step, "combine")

        def call(start: int, stop: int) -> None:
            streams = combined(first.entries(start, stop), second.entries(start, stop))
            for writer, stream in zip(writers, streams):
                writer.write(stream)

        chunks.run(a.count, _located(call, [(first_path, first), (second_path, second)]))
    return files.read_header(gamma_out)


def decrypt(
    points_path: PathLike,
    secret_key_path: PathLike,
    out_path: PathLike,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
    audit_log: Optional[PathLike] = None,
    again: bool = False,
    max_entries: Optional[int] = None,
) -> Header:
    """A bank's partial decryption of the point stream the payment network sent it.

    Each stream answered is recorded in the bank's audit log (``audit_log``,
    by default beside the secret key); a second stream of a run already
    answered is refused unless ``again``, and a stream longer than
    ``max_entries`` always (see ``audit``)."""
    step = "decrypt"
    _outputs_apart([points_path, secret_key_path], [out_path], overwrite)
    _engines.require_protected(engine, step)
    with _open_stream(points_path, kinds.POINTS) as source:
        header = source.header
        component = header.meta.get("component")
        if component not in BANKS:
            raise BadFileError(points_path, f"is the payment network's {component} stream, not a bank's")
        if header.meta.get("decrypted"):
            raise BadFileError(points_path, "is already decrypted")
        secret_key, key_header = _read_key(secret_key_path, kinds.SECRET_KEY, (component,))
        if key_header.fingerprint != header.fingerprint:
            raise KeyMismatchError(
                secret_key_path,
                f"belongs to key {_fp_hex(key_header.fingerprint)}, but {os.fspath(points_path)} "
                f"was made for key {_fp_hex(header.fingerprint)}",
            )
        meta = dict(header.meta, decrypted=True)
        with audit.begin(points_path, header, audit_log, secret_key_path, [out_path], again, max_entries) as log:
            with FileWriter(out_path, kinds.POINTS.name, header.count, header.fingerprint, meta, overwrite) as writer:
                chunks = _chunker(step, header.count, chunk_size, progress, engine)
                decrypted = _operation(chunks, step, "decrypt")
                chunks.run(
                    header.count,
                    _located(lambda a, b: writer.write(decrypted(source.entries(a, b), secret_key)), [(points_path, source)]),
                )
            out_header = files.read_header(out_path)
            audit.account(log, header, out_header, again)
    return out_header


def finish(
    sender_path: PathLike,
    receiver_path: PathLike,
    gamma_path: PathLike,
    delta_path: PathLike,
    network_secret_path: PathLike,
    payments_path: PathLike,
    out_path: PathLike,
    column: str = "match",
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
) -> Tuple[int, int]:
    """The payment network's match bits, written as the payments table with a
    ``column`` of booleans: a plain CSV or Parquet file, as the suffix of
    ``out_path`` says (``.csv``, ``.parquet``) or else as the payments table
    is. A Parquet result carries the tools' header in its schema metadata
    (see ``results``). Payments that ``initiate`` left out for an empty key
    value (``skip_invalid``) get no match, a null, found again in the payments
    table by the rule the run records. Returns (payments, matches)."""
    step = "finish"
    _outputs_apart(
        [sender_path, receiver_path, gamma_path, delta_path, network_secret_path, payments_path], [out_path], overwrite
    )
    _engines.require_protected(engine, step)
    import contextlib

    with contextlib.ExitStack() as stack:
        gamma = stack.enter_context(_component_file(gamma_path, "gamma", None))
        delta = stack.enter_context(_component_file(delta_path, "delta", None))
        sender = stack.enter_context(_component_file(sender_path, "sender", True))
        receiver = stack.enter_context(_component_file(receiver_path, "receiver", True))
        g = gamma.header
        for path, stored in ((delta_path, delta), (sender_path, sender), (receiver_path, receiver)):
            _same_run(path, stored.header, g, gamma_path)
        for path, stored, role in ((sender_path, sender, "sender"), (receiver_path, receiver, "receiver")):
            if _fp_hex(stored.header.fingerprint) != g.meta.get(role):
                raise KeyMismatchError(path, f"was decrypted for another {_PARTY[role]} than the run's")
        secret_key, key_header = _read_key(network_secret_path, kinds.SECRET_KEY, ("network",))
        if key_header.fingerprint != g.fingerprint:
            raise KeyMismatchError(
                network_secret_path, f"belongs to key {_fp_hex(key_header.fingerprint)}, the run was made for "
                f"{_fp_hex(g.fingerprint)}"
            )
        if _digest_file(payments_path) != g.meta.get("payments"):
            raise BadFileError(payments_path, "is not the payments table the queries of this run were made from")
        # Before the work rather than after it: a name the table already has.
        rows.require_new_column(payments_path, rows.table_columns(payments_path), column)
        skipped = _skipped_rows(gamma_path, g, payments_path)
        matches: List[bool] = []
        chunks = _chunker(step, g.count, chunk_size, progress, engine)
        finished = _operation(chunks, step, "finish")
        chunks.run(
            g.count,
            _located(
                lambda a, b: matches.extend(
                    finished(
                        sender.entries(a, b), receiver.entries(a, b), gamma.entries(a, b), delta.entries(a, b),
                        secret_key,
                    )
                ),
                [(sender_path, sender), (receiver_path, receiver), (gamma_path, gamma), (delta_path, delta)],
            ),
        )
        meta: Dict[str, Any] = {k: g.meta[k] for k in ("run", "payments", "sender", "receiver") if k in g.meta}
        values: List[Optional[bool]] = list(matches)
        if skipped:
            meta["skipped"] = len(skipped)
            left_out = bytearray(len(matches) + len(skipped))
            for index in skipped:
                left_out[index] = 1
            computed = iter(matches)
            values = [None if out else next(computed) for out in left_out]
        results.write(payments_path, out_path, column, values, g.fingerprint, meta, overwrite=overwrite)
    return len(values), sum(matches)


def _skipped_rows(gamma_path: PathLike, gamma: Header, payments_path: PathLike) -> List[int]:
    """The payment rows that ``initiate`` left out (no query), found again in
    the payments table by the rule and columns the run records."""
    skipped = gamma.meta.get("skipped")
    if skipped is None:
        return []
    try:
        rule, columns, count = skipped["rule"], [str(c) for c in skipped["columns"]], int(skipped["rows"])
    except (TypeError, KeyError, ValueError):
        raise BadFileError(gamma_path, "records left-out payments in a form this tool cannot read") from None
    if rule != rows.BLANK_RULE:
        raise BadFileError(gamma_path, f"records payments left out by a rule this tool does not know ({rule!r})")
    found = rows.blank_rows(payments_path, columns)
    if len(found) != count:
        raise BadFileError(payments_path, f"has {len(found):,} payments with an empty key value, the run left out "
                                          f"{count:,}")
    return found


# --------------------------------------------------------------------------- inspecting


def describe(path: PathLike) -> Dict[str, Any]:
    """What ``inspect`` shows of a file: its header, checked, and whether the
    payload checksum holds (for a Parquet result, its header record and
    whether its checksums hold). Never the payload."""
    if _is_parquet(path):
        return results.describe(path)
    if os.fspath(path).lower().endswith(".csv") and os.path.isfile(path):
        with open(path, "rb") as file:
            if not file.read(len(files.MAGIC)) == files.MAGIC:
                raise BadFileError(path, "is a CSV table: a CSV result carries no header to check (write .parquet)")
    with files.StoredFile(path) as stored:
        header = stored.header
        try:
            stored.verify()
            intact = True
        except BadFileError:
            intact = False
        return {
            "file": os.fspath(path),
            "kind": header.kind,
            "description": stored.kind.description,
            "format version": header.version,
            "entries": header.count,
            "payload bytes": header.payload_length,
            "payload offset": header.header_length,
            "key fingerprint": _fp_hex(header.fingerprint),
            "checksum": "ok" if intact else "MISMATCH",
            **{f"meta.{k}": v for k, v in sorted(header.meta.items())},
        }


def export(path: PathLike, destination: PathLike, overwrite: bool = False) -> Header:
    """Writes the file's payload alone (the module's bytes) to ``destination``."""
    if _is_parquet(path):
        raise BadFileError(path, "is a results table already; any Parquet reader opens it as it is")
    return files.export_payload(path, destination, overwrite=overwrite)


def _is_parquet(path: PathLike) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(4) == b"PAR1"
    except OSError:
        return False  # the file's own reader says what is wrong
