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

import hashlib
import multiprocessing
import os
import secrets
import signal
import stat
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import ostrelline

from . import engines as _engines
from . import audit, files, kinds, results, rows
from .errors import BadFileError, KeyMismatchError, ModuleError, PathLike, ToolError
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


def _is_panic(error: BaseException) -> bool:
    return type(error).__name__ == "PanicException"


def _call(step: str, function: Callable[..., Any], *args: Any) -> Any:
    """One module call; its PanicException comes back as ModuleError with its message."""
    failure = None
    try:
        return function(*args)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not _is_panic(error):
            raise
        failure = ModuleError(step, str(error.args[0]) if error.args else str(error))
    raise failure


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
        function = chunker.function(name)
    else:
        function = getattr(ostrelline, name)
    return lambda *args: _call(step, function, *args)


def _sharded() -> Any:
    """The sharded-store kind's module (it registers the kind), or None where
    its hash (xxhash) is not installed."""
    try:
        from . import sharded
    except ImportError:
        return None
    return sharded


# --------------------------------------------------------------------------- keys


def keygen(public_path: PathLike, secret_path: PathLike, role: str, overwrite: bool = False) -> bytes:
    """Writes a key pair for ``role``: the public key file, and the secret key
    file with mode 0600. Returns the key's fingerprint. Existing files are
    refused unless ``overwrite``."""
    if role not in ROLES:
        raise ValueError(f"role is one of {', '.join(ROLES)}, not {role!r}")
    if os.path.abspath(public_path) == os.path.abspath(secret_path):
        raise BadFileError(secret_path, "is named for both the public and the secret key")
    public_key, secret_key = ostrelline.key_gen()
    fp = files.fingerprint(public_key)
    meta = {"role": role}
    for path in (public_path, secret_path):
        if not overwrite and os.path.lexists(path):
            raise BadFileError(path, "already exists; not overwritten")
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


def _outputs_apart(inputs: Sequence[Optional[PathLike]], outputs: Sequence[PathLike]) -> None:
    """Refuses an output that names an input of the step, or another output:
    writing it would replace what the step reads, or one result with another."""
    for index, out in enumerate(outputs):
        for other in [i for i in inputs if i is not None] + list(outputs[:index]):
            if files.same_file(out, other):
                raise BadFileError(out, "is named both as an input or output of this step and as an output")


def _fp_hex(fp: bytes) -> str:
    return fp.hex()


# --------------------------------------------------------------------------- stores


@dataclass
class BuildReport:
    """What ``build_store`` did: rows read, distinct rows stored, and the store's header."""

    rows_read: int
    rows_stored: int
    header: Header


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
    try:
        result: Tuple[str, Any] = ("ok", function(public_key, store_rows))
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if _is_panic(error):
            result = ("panic", str(error.args[0]) if error.args else str(error))
        elif isinstance(error, MemoryError):
            result = ("memory", "")
        else:
            result = ("error", f"{type(error).__name__}: {error}")
    channel.send(result)
    channel.close()


def _build_isolated(step: str, function: Callable[..., bytes], public_key: bytes, store_rows: List[List[str]]) -> bytes:
    """Runs the one long ``build_okvs`` call in a forked child, so that Ctrl-C in
    this process stops it at once (a call holds the interpreter for its whole
    length and cannot be cut into chunks)."""
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
        raise ModuleError(step, value)
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
) -> BuildReport:
    """A bank's store of the rows of ``columns`` of its table, under its public
    key: membership-hiding by default, the specified kind with
    ``construction="specified"``. Rows that encode alike are stored once.

    With ``shards`` (a number k, or "auto" for about 25,000 rows a shard) it
    writes a sharded store, one build task per shard on ``engine`` (a pool of
    one worker process when none is given). An unsharded store is one call of
    the module, which no engine divides: ``engine`` needs ``shards``."""
    encoding = rows.RowEncoding(len(columns), normalise)
    if engine is not None and shards is None:
        raise ToolError(
            "an unsharded store is one call of the module, which no engine divides: "
            "build a sharded store (--shards K or auto) to build on workers"
        )
    if shards is not None and shards != "auto" and (not isinstance(shards, int) or shards < 1):
        raise ValueError(f"the number of shards is a whole number of at least 1 or auto, not {shards!r}")
    _outputs_apart([public_key_path, table_path], [out_path])
    public_key, key_header = _read_key(public_key_path, kinds.PUBLIC_KEY, BANKS)
    _, function = _builder(construction)
    sharded = None
    if shards is not None:
        sharded = _sharded()
        if sharded is None:
            raise ToolError("sharded stores need the module xxhash, which is not installed")
    step = "build-store"
    total = rows.count_rows(table_path, columns)
    if progress is not None:
        progress("read rows", 0, total)
    encoded: List[str] = []
    for arrays in rows.read_batches(table_path, columns):
        encoded += rows.encode_batch(table_path, columns, arrays, normalise, len(encoded))
        if progress is not None:
            progress("read rows", len(encoded), total)
    distinct = list(dict.fromkeys(encoded))
    read = len(encoded)
    del encoded
    store_rows = [[s] for s in distinct]
    del distinct
    meta = {
        "role": key_header.meta["role"],
        "construction": construction,
        "rows": encoding.record(),
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
                role=meta["role"], progress=progress, meta={"rows": meta["rows"]},
            )
        return BuildReport(read, len(store_rows), files.read_header(out_path))
    with FileWriter(out_path, kinds.STORE.name, len(store_rows), key_header.fingerprint, meta) as writer:
        if progress is not None:
            progress(step, 0, len(store_rows))
        store = _build_isolated(step, function, public_key, store_rows)
        writer.write(store)
        if progress is not None:
            progress(step, len(store_rows), len(store_rows))
    return BuildReport(read, len(store_rows), files.read_header(out_path))


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
    sharded = _sharded()
    accepted = [kinds.STORE.name] + ([sharded.SHARDED_STORE.name] if sharded is not None else [])
    with files.open_file(path, accepted) as stored:
        header = stored.header
        if header.meta.get("role") != role:
            other = header.meta.get("role")
            raise BadFileError(
                path, f"is the {_PARTY.get(other, repr(other))}'s store, given in the {_PARTY[role]}'s place"
            )
        if header.kind != kinds.STORE.name:
            return None, header
        return stored.payload(), header


def _shard_view(path: PathLike, header: Header) -> Any:
    """A store file as the sharded queries read it: a sharded store as it is, an
    ordinary store as one shard."""
    sharded = _sharded()
    if header.kind == kinds.STORE.name:
        return sharded.store_as_shards(path, header)
    return sharded.open_sharded_store(path)


def initiate(
    payments_path: PathLike,
    sender_columns: Sequence[str],
    receiver_columns: Sequence[str],
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
) -> Header:
    """The payment network's query stream: payment i looks up its sender row in
    the sending bank's store and its receiver row in the receiving bank's.

    Either store may be sharded (``build_store(..., shards=k)``): the queries
    then run grouped by shard pair on ``engine`` (a pool of one worker process
    when none is given), whose workers read the shards from the store files,
    and the stream is in the same format and order."""
    import contextlib

    _outputs_apart(
        [payments_path, sender_store_path, receiver_store_path, network_key_path, sender_key_path, receiver_key_path],
        [out_path],
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
    total = rows.count_rows(payments_path, list(sender_columns) + list(receiver_columns))
    meta = {
        "run": secrets.token_hex(16),
        "sender": _fp_hex(sender_header.fingerprint),
        "receiver": _fp_hex(receiver_header.fingerprint),
        "payments": _digest_file(payments_path),
        "rows": {"sender": sender_encoding.record(), "receiver": receiver_encoding.record()},
    }
    step = "initiate"
    columns = list(sender_columns) + list(receiver_columns)
    split = len(sender_columns)
    with contextlib.ExitStack() as stack:
        writer = stack.enter_context(FileWriter(out_path, kinds.QUERIES.name, 0, network_header.fingerprint, meta))
        operation: Any = "initiate_queries"
        stores: Tuple[Any, Any] = (sender_store, receiver_store)
        if sender_store is None or receiver_store is None:
            stores = (_shard_view(sender_store_path, sender_header), _shard_view(receiver_store_path, receiver_header))
            del sender_store, receiver_store
            from ostrelline_parallel.shards import initiate_sharded_queries as operation
            if engine is None:
                engine = stack.enter_context(_engines.open_engine(workers=1, chunk_size=chunk_size))
        chunks = _chunker(step, total, chunk_size, progress, engine)
        query = _operation(chunks, step, operation)
        batch = {} if engine is None else {"batch_rows": _engines.window_for(engine)}
        for arrays in rows.read_batches(payments_path, columns, **batch):
            senders = rows.encode_batch(payments_path, sender_columns, arrays[:split], normalise, chunks.done)
            receivers = rows.encode_batch(payments_path, receiver_columns, arrays[split:], normalise, chunks.done)
            chunks.run(
                len(senders),
                lambda a, b: writer.write(
                    query([[s] for s in senders[a:b]], [[r] for r in receivers[a:b]], *stores, network_key)
                ),
            )
        done = chunks.done
        if done != total:
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
) -> Header:
    """A freshly blinded copy of a query stream (each copy gets its own identifier)."""
    step = "randomize"
    _outputs_apart([queries_path], [out_path])
    with _open_stream(queries_path, kinds.QUERIES) as source:
        header = source.header
        meta = dict(header.meta, copy=secrets.token_hex(16))
        with FileWriter(out_path, kinds.QUERIES.name, header.count, header.fingerprint, meta) as writer:
            chunks = _chunker(step, header.count, chunk_size, progress, engine)
            randomized = _operation(chunks, step, "randomize")
            chunks.run(header.count, lambda a, b: writer.write(randomized(source.entries(a, b))))
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
        own = {k: a.meta[k] for k in ("sender", "receiver", "payments") if k in a.meta}
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
        _outputs_apart([first_path, second_path], [t[0] for t in targets])
        writers = [
            stack.enter_context(FileWriter(path, kinds.POINTS.name, a.count, fp, meta)) for path, fp, meta in targets
        ]

        chunks = _chunker(step, a.count, chunk_size, progress, engine)
        combined = _operation(chunks, step, "combine")

        def call(start: int, stop: int) -> None:
            streams = combined(first.entries(start, stop), second.entries(start, stop))
            for writer, stream in zip(writers, streams):
                writer.write(stream)

        chunks.run(a.count, call)
    return files.read_header(gamma_out)


def decrypt(
    points_path: PathLike,
    secret_key_path: PathLike,
    out_path: PathLike,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
    engine: Optional[Any] = None,
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
    _outputs_apart([points_path, secret_key_path], [out_path])
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
            with FileWriter(out_path, kinds.POINTS.name, header.count, header.fingerprint, meta) as writer:
                chunks = _chunker(step, header.count, chunk_size, progress, engine)
                decrypted = _operation(chunks, step, "decrypt")
                chunks.run(header.count, lambda a, b: writer.write(decrypted(source.entries(a, b), secret_key)))
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
) -> Tuple[int, int]:
    """The payment network's match bits, written as the payments table with a
    ``column`` of booleans: a plain CSV or Parquet file, as the suffix of
    ``out_path`` says (``.csv``, ``.parquet``) or else as the payments table
    is. A Parquet result carries the tools' header in its schema metadata
    (see ``results``). Returns (payments, matches)."""
    step = "finish"
    _outputs_apart(
        [sender_path, receiver_path, gamma_path, delta_path, network_secret_path, payments_path], [out_path]
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
        matches: List[bool] = []
        chunks = _chunker(step, g.count, chunk_size, progress, engine)
        finished = _operation(chunks, step, "finish")
        chunks.run(
            g.count,
            lambda a, b: matches.extend(
                finished(
                    sender.entries(a, b), receiver.entries(a, b), gamma.entries(a, b), delta.entries(a, b), secret_key
                )
            ),
        )
        meta = {k: g.meta[k] for k in ("run", "payments", "sender", "receiver") if k in g.meta}
        results.write(payments_path, out_path, column, matches, g.fingerprint, meta)
    return len(matches), sum(matches)


# --------------------------------------------------------------------------- inspecting


def describe(path: PathLike) -> Dict[str, Any]:
    """What ``inspect`` shows of a file: its header, checked, and whether the
    payload checksum holds (for a Parquet result, its header record and
    whether its checksums hold). Never the payload."""
    if _is_parquet(path):
        return results.describe(path)
    _sharded()  # registers the sharded-store kind, where it can be read
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


def export(path: PathLike, destination: PathLike) -> Header:
    """Writes the file's payload alone (the module's bytes) to ``destination``."""
    if _is_parquet(path):
        raise BadFileError(path, "is a results table already; any Parquet reader opens it as it is")
    return files.export_payload(path, destination)


def _is_parquet(path: PathLike) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(4) == b"PAR1"
    except OSError:
        return False  # the file's own reader says what is wrong
