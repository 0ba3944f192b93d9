"""A bank's steps: its store, built from its table under its public key, and
the partial decryption of the stream the payment network sends it."""
from __future__ import annotations

import contextlib
import enum
import multiprocessing
import os
import signal
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Sequence, Tuple

import ostrelline
from ostrelline_parallel import faults, is_panic

from .. import audit, files, kinds, rows
from .. import engines as _engines
from ..errors import (
    STOPPING_SIGNALS, BadFileError, InputError, KeyMismatchError, ModuleError, PathLike, ToolError, UsageError,
)
from ..files import FileWriter, Header
from ..kinds import Construction, Role
from .calls import DEFAULT_CHUNK_SIZE, Progress, chunker, located, operation_of, sharded_missing, sharded_module
from .checks import fp_hex, open_stream, outputs_apart, read_key, table_paths, warn

__all__ = ["CONSTRUCTIONS", "BuildReport", "build_store", "decrypt"]

CONSTRUCTIONS = tuple(c.value for c in Construction)
# Bytes of the store read from the building process at a time.
_BLOCK = 1 << 20
BANKS = (Role.SENDER, Role.RECEIVER)


@dataclass
class BuildReport:
    """What ``build_store`` did: rows read, distinct rows stored, the store's
    header, and the rows left out for an empty key value (``skip_invalid``)."""

    rows_read: int
    rows_stored: int
    header: Header
    rows_skipped: int = 0


def _builder(construction: str) -> Tuple[str, Callable[..., bytes]]:
    try:
        construction = Construction(construction)
    except ValueError:
        raise UsageError(f"construction is one of {', '.join(CONSTRUCTIONS)}, not {construction!r}") from None
    if construction is Construction.SPECIFIED:
        return "ostrelline", ostrelline.build_okvs
    try:
        import ostrelline_hiding
    except ImportError:
        raise ToolError(
            "membership-hiding stores need the module ostrelline_hiding, which is not installed; "
            "the specified kind (--specified) can be built without it"
        ) from None
    return "ostrelline_hiding", ostrelline_hiding.build_okvs


def _packing_module() -> Any:
    """ostrelline_hiding, which builds either kind of store from packed rows,
    or None where it is not installed (rows then go to the module as lists)."""
    try:
        import ostrelline_hiding
    except ImportError:
        return None
    return ostrelline_hiding


class _Outcome(str, enum.Enum):
    """How the build's child ended, as it tells its parent."""

    OK = "ok"
    PANIC = "panic"
    MEMORY = "memory"
    ERROR = "error"


_CHILD_SIGNALS = {signal.SIGINT, *STOPPING_SIGNALS}


def _build_child(channel: Any, data: int, function: Callable[..., bytes], args: Tuple[Any, ...]) -> None:
    for number in _CHILD_SIGNALS:
        signal.signal(number, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, _CHILD_SIGNALS)
    store = None
    try:
        with faults.captured():
            store = function(*args)
        result: Tuple[str, Any] = (_Outcome.OK.value, len(store))
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if is_panic(error):
            result = (_Outcome.PANIC.value, (str(error.args[0]) if error.args else str(error), faults.report_of(error)))
        elif isinstance(error, MemoryError):
            result = (_Outcome.MEMORY.value, "")
        else:
            result = (_Outcome.ERROR.value, f"{type(error).__name__}: {error}")
    channel.send(result)
    channel.close()
    # The store's bytes straight from the module's result, never pickled: a
    # copy of the store would be held beside it.
    try:
        if store is not None:
            view = memoryview(store)
            while view:
                view = view[os.write(data, view):]
    except OSError:
        pass  # the parent has gone: nobody reads the store
    finally:
        os.close(data)


def _build_isolated(
    step: str, function: Callable[..., bytes], args: Tuple[Any, ...], key_path: PathLike,
    write: Callable[[bytes], None],
) -> None:
    """Runs the one long build call ``function(*args)`` in a forked child, so
    that Ctrl-C in this process stops it at once (a call holds the
    interpreter for its whole length and cannot be cut into chunks), and
    hands the store to ``write`` in blocks as it comes from the child: this
    process never holds it. The rows are distinct by then, so a failure of
    the module is the key's (``key_path``)."""
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    data, data_end = os.pipe()
    ended = f"{step}: the process building the store ended without a result"
    child = context.Process(target=_build_child, args=(send, data_end, function, args), daemon=True)
    # The stopping signals are held back while the child is forked, so that
    # none can end this function between the fork and the ``try`` that ends
    # the child again (the child would go on building, holding this
    # process's pipes); one that came in the meantime acts as the mask is
    # restored, inside that ``try``. The child lets them through first thing.
    held = signal.pthread_sigmask(signal.SIG_BLOCK, _CHILD_SIGNALS)
    try:
        try:
            child.start()
        finally:
            send.close()
            os.close(data_end)
            signal.pthread_sigmask(signal.SIG_SETMASK, held)
        while not receive.poll(0.1):
            if not child.is_alive() and not receive.poll(0):
                raise ToolError(f"{ended} (exit {child.exitcode})")
        try:
            status, value = receive.recv()
        except EOFError:
            child.join()
            raise ToolError(f"{ended} (exit {child.exitcode})")
        if status == _Outcome.OK:
            left = value
            while left:
                block = os.read(data, min(left, _BLOCK))
                if not block:
                    child.join()
                    raise ToolError(f"{ended} (exit {child.exitcode}): {left:,} bytes of the store were missing")
                write(block)
                left -= len(block)
        child.join()
    finally:
        if child.is_alive():
            child.kill()
            child.join()
        receive.close()
        os.close(data)
    if status == _Outcome.OK:
        return
    if status == _Outcome.PANIC:
        raise ModuleError(step, value[0], key_path, report=value[1])
    if status == _Outcome.MEMORY:
        raise MemoryError()
    raise ToolError(f"{step}: {value}")


def build_store(
    public_key_path: PathLike,
    table: rows.TableInput,
    columns: Sequence[str],
    out_path: PathLike,
    normalise: str = "none",
    construction: str = Construction.HIDING,
    progress: Optional[Progress] = None,
    shards: Optional[Any] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
    skip_invalid: bool = False,
    allow_empty: bool = False,
    csv: Optional[rows.CsvOptions] = None,
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
    the module, which no engine divides: ``engine`` needs ``shards``.

    ``table`` is a path (CSV, Parquet, a folder of Parquet files, Arrow IPC,
    JSON lines; ``-`` for standard input), a pyarrow Table or
    RecordBatchReader, or a pandas DataFrame (see ``tables``); ``csv`` says
    how CSV text is read.

    Returns:
        A ``BuildReport``: rows read, stored and left out, and the store's
        ``Header``.

    Raises:
        UsageError: an unknown construction, a bad shard count, or an engine
            without shards.
        TypeError: ``table`` is no table, or ``columns`` is one string.
        ValueError: ``columns`` with no, empty or repeated names, or an
            unknown normalisation.
        MissingFileError, FileAccessError: an input that cannot be opened.
        OutputExistsError: ``out_path`` exists and ``overwrite`` is false.
        InputError: a table that cannot be read, lacks a column, or holds an
            empty key value (without ``skip_invalid``) or no rows (without
            ``allow_empty``).
        KeyMismatchError: the public key of another party.
        BadFileError: a key refused, or an output that may not be written.
        MissingDependencyError: a sharded store without xxhash.
        ModuleError: the module refused the key.
    """
    rows.check_names(columns)
    columns = list(columns)
    encoding = rows.RowEncoding(len(columns), normalise)
    if engine is not None and shards is None:
        raise UsageError(
            "an unsharded store is one call of the module, which no engine divides: "
            "build a sharded store (--shards K or auto) to build on workers"
        )
    if shards is not None and shards != "auto" and (not isinstance(shards, int) or shards < 1):
        raise UsageError(f"the number of shards is a whole number of at least 1 or auto, not {shards!r}")
    outputs_apart([public_key_path, *table_paths(table)], [out_path], overwrite)
    public_key, key_header = read_key(public_key_path, kinds.PUBLIC_KEY, BANKS)
    _, function = _builder(construction)
    sharded = None
    if shards is not None:
        sharded = sharded_module()
        if sharded is None:
            raise sharded_missing()
    step = "build-store"
    with rows.open_table(table, csv) as source:
        return _build(step, source, columns, out_path, normalise, construction, progress, shards, engine, overwrite,
                      skip_invalid, allow_empty, encoding, public_key, key_header, function, sharded, public_key_path)


def _build(
    step: str, source: rows.TableSource, columns: List[str], out_path: PathLike, normalise: str, construction: str,
    progress: Optional[Progress], shards: Optional[Any], engine: Optional[Any], overwrite: bool, skip_invalid: bool,
    allow_empty: bool, encoding: rows.RowEncoding, public_key: bytes, key_header: Header,
    function: Callable[..., bytes], sharded: Any, public_key_path: PathLike,
) -> BuildReport:
    """``build_store`` once its arguments are checked, on the table's source."""
    table_path = source.name  # names the table in messages
    total = rows.count_rows(source, columns)
    if total == 0 and not allow_empty:
        raise InputError(table_path, "holds no rows (--allow-empty builds an empty store)")
    if progress is not None:
        progress("read rows", 0, total)
    check = rows.RowCheck(source, columns, hints=encoding.normalise == rows.Normalisation.NONE)
    # The encoded rows are packed batch by batch, one buffer of key bytes and
    # one of offsets: a Python string a row would cost several times its bytes.
    packer = rows.RowPacker()
    # On a Dask cluster the workers read the rows where they lie: here they are only checked.
    lying = sharded is not None and sharded.cluster_table(engine, source) is not None
    for arrays in rows.read_batches(source, columns):
        keep = check.keep(arrays)
        if (skip_invalid or not check.blank) and not lying:  # once refused, the rest is only counted
            packer.add(rows.encoded_array(table_path, columns, rows.kept(arrays, keep), normalise, check.rows))
        if progress is not None:
            progress("read rows", check.rows, total)
    warn(check.hint())
    if check.blank and not skip_invalid:
        raise check.refusal()
    if (check.rows == check.blank if lying else not packer.count) and not allow_empty:
        raise InputError(
            table_path, f"has no row left once the {check.blank:,} with an empty key value are left out "
            "(--allow-empty builds an empty store)"
        )
    if lying:
        store = sharded.build_where_rows_lie(
            engine, source, columns, out_path, public_key, normalise, shards, bool(check.blank),
            construction=construction, role=key_header.meta["role"], progress=progress,
            meta={"rows": encoding.record(), "columns": columns}, overwrite=overwrite,
        )
        return BuildReport(check.rows, store.layout.rows, files.read_header(out_path), check.blank)
    read = check.rows
    packing = _packing_module()
    if packing is not None:
        # The rows that encode alike, stored once: the first of each.
        distinct: Tuple[bytes, bytes] = packing.distinct_packed(*packer.packed())
        stored = len(distinct[1]) // 8 - 1
    else:
        strings = list(dict.fromkeys(rows.packed_strings(*packer.packed())))
        stored = len(strings)
    del packer
    rows.release_unused()
    meta = {
        "role": key_header.meta["role"],
        "construction": Construction(construction).value,
        "rows": encoding.record(),
        "columns": columns,
    }
    if sharded is not None:

        from ostrelline_parallel.shards import shards_for

        store_rows = [[s] for s in (rows.packed_strings(*distinct) if packing is not None else strings)]
        count = shards_for(stored) if shards == "auto" else shards
        with contextlib.ExitStack() as stack:
            if engine is None:
                engine = stack.enter_context(_engines.open_engine(workers=1))
            sharded.write_sharded_store(
                engine, out_path, public_key, store_rows, count, construction=construction,
                role=meta["role"], progress=progress, meta={"rows": meta["rows"], "columns": columns},
                overwrite=overwrite,
            )
        return BuildReport(read, stored, files.read_header(out_path), check.blank)
    if packing is not None:
        # The key bytes and offsets are all the child inherits of the rows.
        call: Tuple[Any, ...] = (public_key, *distinct, Construction(construction).value)
        function = packing.build_okvs_packed
        del distinct
    else:
        call = (public_key, [[s] for s in strings])
        del strings
    with FileWriter(out_path, kinds.STORE.name, stored, key_header.fingerprint, meta, overwrite) as writer:
        if progress is not None:
            progress(step, 0, stored)
        _build_isolated(step, function, call, public_key_path, writer.write)
        del call
        if progress is not None:
            progress(step, stored, stored)
    return BuildReport(read, stored, files.read_header(out_path), check.blank)



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
    ``max_entries`` always (see ``audit``).

    Returns:
        The decrypted stream's ``Header``.

    Raises:
        MissingFileError, FileAccessError: an input that cannot be opened.
        OutputExistsError: ``out_path`` exists and ``overwrite`` is false.
        KeyMismatchError: a stream made for another key than the secret key's.
        BadFileError: the stream is refused (another party's, decrypted
            already, corrupted), a secret key others may read, the audit log
            refuses the stream, or the output may not be written.
        ModuleError: the module refused an entry (named in the error).
    """
    step = "decrypt"
    outputs_apart([points_path, secret_key_path], [out_path], overwrite)
    _engines.require_protected(engine, step)
    with open_stream(points_path, kinds.POINTS) as source:
        header = source.header
        component = header.meta.get("component")
        if component not in BANKS:
            raise BadFileError(points_path, f"is the payment network's {component} stream, not a bank's")
        if header.meta.get("decrypted"):
            raise BadFileError(points_path, "is already decrypted")
        secret_key, key_header = read_key(secret_key_path, kinds.SECRET_KEY, (component,))
        if key_header.fingerprint != header.fingerprint:
            raise KeyMismatchError(
                secret_key_path,
                f"belongs to key {fp_hex(key_header.fingerprint)}, but {os.fspath(points_path)} "
                f"was made for key {fp_hex(header.fingerprint)}",
            )
        meta = dict(header.meta, decrypted=True)
        with audit.begin(points_path, header, audit_log, secret_key_path, [out_path], again, max_entries) as log:
            with FileWriter(out_path, kinds.POINTS.name, header.count, header.fingerprint, meta, overwrite) as writer:
                chunks = chunker(step, header.count, chunk_size, progress, engine)
                decrypted = operation_of(chunks, step, "decrypt")
                chunks.run(
                    header.count,
                    located(lambda a, b: writer.write(decrypted(source.entries(a, b), secret_key)), [(points_path, source)]),
                )
            out_header = files.read_header(out_path)
            audit.account(log, header, out_header, again)
    return out_header

