"""The payment network's steps: the query stream from its payments and the
banks' stores, its two randomized copies, their combination into the four
point streams, and the match bits once both banks have decrypted theirs."""
from __future__ import annotations

import contextlib
import os
import secrets
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import ostrelline
from ostrelline_parallel import faults, is_panic

from .. import files, kinds, results, rows
from .. import engines as _engines
from ..errors import BadFileError, InputError, KeyMismatchError, ModuleError, PathLike, ToolWarning
from ..files import FileWriter, Header, StoredFile
from ..kinds import Component, Role
from .calls import DEFAULT_CHUNK_SIZE, Progress, chunker, located, operation_of, sharded_missing, sharded_module
from .checks import fp_hex, open_stream, outputs_apart, party, read_key, same_run, table_paths, warn

__all__ = ["initiate", "randomize", "combine", "finish"]


def _open_store(path: PathLike, role: str, read: bool = True) -> Tuple[Optional[bytes], Header]:
    """A bank's store, checked: its bytes (unless not ``read``) and header; a
    sharded store's bytes are None (its tasks read their shards from the
    file)."""
    with files.open_file(path, [kinds.STORE.name, kinds.SHARDED_STORE.name]) as stored:
        header = stored.header
        if header.meta.get("role") != role:
            other = header.meta.get("role")
            raise BadFileError(
                path, f"is the {party(other)}'s store, given in the {party(role)}'s place"
            )
        if header.kind != kinds.STORE.name or not read:
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
    sharded = sharded_module()
    if sharded is None:
        raise sharded_missing()
    if header.kind == kinds.STORE.name:
        return sharded.store_as_shards(path, header)
    return sharded.open_sharded_store(path)


def _key_columns(columns: Any, what: str) -> Tuple[List[str], Optional[List[str]]]:
    """The payment columns of one bank, and the store's column names they are
    mapped onto (None when none is mapped). ``columns`` is a sequence of
    names, in which an item may be a pair (payment column, store column), or
    a mapping of payment columns onto store columns, in order."""
    if isinstance(columns, (str, bytes)):
        raise TypeError(f"the {what} columns are a sequence of names, not one string ({columns!r}): "
                        f"write [{columns!r}]")
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
        warn(ToolWarning(path, f"records no column names (it was built before stores recorded them): the order of "
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
    payments: rows.TableInput,
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
    csv: Optional[rows.CsvOptions] = None,
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
    and the stream is in the same format and order.

    ``payments`` is a path (CSV, Parquet, a folder of Parquet files, Arrow
    IPC, JSON lines; ``-`` for standard input), a pyarrow Table or
    RecordBatchReader, or a pandas DataFrame (see ``tables``); ``csv`` says
    how CSV text is read. The queries' header records a digest of the
    payments (``TableSource.digest``), which ``finish`` checks.

    Returns:
        The query stream's ``Header`` (``fingerprint_hex``: the network's key).

    Raises:
        TypeError: ``payments`` is no table, or a column list is one string.
        ValueError: column lists with no, empty or repeated names.
        MissingFileError, FileAccessError: an input that cannot be opened.
        OutputExistsError: ``out_path`` exists and ``overwrite`` is false.
        InputError: a table that cannot be read, lacks a column, or holds an
            empty key value (without ``skip_invalid``) or no payments (without
            ``allow_empty``).
        KeyMismatchError: a store under another key than the bank key given,
            or a key of another party.
        BadFileError: a store or key refused (corrupted, of another kind,
            rows encoded otherwise, columns in another order), an output that
            may not be written.
        ModuleError: the module refused a store or the key.
    """

    sender_columns, sender_labels = _key_columns(sender_columns, "sender")
    receiver_columns, receiver_labels = _key_columns(receiver_columns, "receiver")
    outputs_apart(
        [*table_paths(payments), sender_store_path, receiver_store_path, network_key_path, sender_key_path,
         receiver_key_path],
        [out_path],
        overwrite,
    )
    network_key, network_header = read_key(network_key_path, kinds.PUBLIC_KEY, (Role.NETWORK,))
    # Checked now, read once the table is: the check's reading of the table
    # (pyarrow's buffers) is then not held beside both stores.
    _, sender_header = _open_store(sender_store_path, Role.SENDER, read=False)
    _, receiver_header = _open_store(receiver_store_path, Role.RECEIVER, read=False)
    for key_path, header, store_path in (
        (sender_key_path, sender_header, sender_store_path),
        (receiver_key_path, receiver_header, receiver_store_path),
    ):
        if key_path is not None:
            _, key_header = read_key(key_path, kinds.PUBLIC_KEY, (header.meta["role"],))
            if key_header.fingerprint != header.fingerprint:
                raise KeyMismatchError(
                    store_path, f"was made under key {fp_hex(header.fingerprint)}, not under {os.fspath(key_path)}'s"
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
    with rows.open_table(payments, csv) as source:
        payments_path = source.name  # names the table in messages
        columns = sender_columns + receiver_columns
        check = rows.RowCheck(source, columns, hints=sender_encoding.normalise == rows.Normalisation.NONE)
        for arrays in rows.read_batches(source, columns, 65536):
            check.keep(arrays)
        warn(check.hint())
        if check.blank and not skip_invalid:
            raise check.refusal()
        total = check.rows - check.blank
        if total == 0 and not allow_empty:
            left = f" left once the {check.blank:,} with an empty key value are left out" if check.blank else ""
            raise InputError(payments_path, f"holds no payments{left} (--allow-empty makes an empty query stream)")
        meta = {
            "run": secrets.token_hex(16),
            "sender": fp_hex(sender_header.fingerprint),
            "receiver": fp_hex(receiver_header.fingerprint),
            "payments": source.digest(),
            "rows": {"sender": sender_encoding.record(), "receiver": receiver_encoding.record()},
        }
        if check.blank:
            meta["skipped"] = {"rule": rows.BLANK_RULE, "columns": columns, "rows": check.blank}
        step = "initiate"
        split = len(sender_columns)
        again = rows.RowCheck(source, columns)
        rows.release_unused()
        sender_store, _ = _open_store(sender_store_path, Role.SENDER)
        receiver_store, _ = _open_store(receiver_store_path, Role.RECEIVER)
        with contextlib.ExitStack() as stack:
            writer = stack.enter_context(
                FileWriter(out_path, kinds.QUERIES.name, 0, network_header.fingerprint, meta, overwrite)
            )
            operation: Any = "initiate_queries"
            pipelined = None
            stores: Tuple[Any, Any] = (sender_store, receiver_store)
            if sender_store is None or receiver_store is None:
                stores = (
                    _shard_view(sender_store_path, sender_header), _shard_view(receiver_store_path, receiver_header)
                )
                del sender_store, receiver_store
                from ostrelline_parallel.shards import initiate_sharded_queries as operation
                if engine is None:
                    engine = stack.enter_context(_engines.open_engine(workers=1, chunk_size=chunk_size))
                # On a Dask cluster the workers read the payments where they lie.
                pipelined = sharded_module().queries_where_rows_lie(
                    engine, source, sender_columns, receiver_columns, *stores, network_key, normalise, check.blank,
                    out_path, writer.write, progress,
                )
            chunks = chunker(step, total, chunk_size, progress, engine)
            query = _initiate_blamed(
                operation_of(chunks, step, operation),
                ((sender_store_path, stores[0]), (receiver_store_path, stores[1])),
                network_key_path,
            )
            batch = {} if engine is None else {"batch_rows": _engines.window_for(engine)}
            for arrays in rows.read_batches(source, columns, **batch) if pipelined is None else ():
                arrays = rows.kept(arrays, again.keep(arrays))
                senders = rows.encode_batch(payments_path, sender_columns, arrays[:split], normalise, chunks.done)
                receivers = rows.encode_batch(payments_path, receiver_columns, arrays[split:], normalise, chunks.done)
                chunks.run(
                    len(senders),
                    lambda a, b: writer.write(
                        query([[s] for s in senders[a:b]], [[r] for r in receivers[a:b]], *stores, network_key)
                    ),
                )
            done = chunks.done if pipelined is None else pipelined
            if done != total or again.blank != check.blank:
                raise BadFileError(payments_path, f"changed while it was read ({total} rows counted, {done} read)")
            writer.count = done
        return files.read_header(out_path)



def randomize(
    queries_path: PathLike,
    out_path: PathLike,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
) -> Header:
    """A freshly blinded copy of a query stream (each copy gets its own identifier).

    Returns:
        The copy's ``Header``.

    Raises:
        MissingFileError, FileAccessError: the stream cannot be opened.
        OutputExistsError: ``out_path`` exists and ``overwrite`` is false.
        BadFileError: the stream is refused (corrupted, another kind), or the
            output may not be written.
        ModuleError: the module refused an entry (named in the error).
    """
    step = "randomize"
    outputs_apart([queries_path], [out_path], overwrite)
    with open_stream(queries_path, kinds.QUERIES) as source:
        header = source.header
        meta = dict(header.meta, copy=secrets.token_hex(16))
        with FileWriter(out_path, kinds.QUERIES.name, header.count, header.fingerprint, meta, overwrite) as writer:
            chunks = chunker(step, header.count, chunk_size, progress, engine)
            randomized = operation_of(chunks, step, "randomize")
            chunks.run(
                header.count,
                located(lambda a, b: writer.write(randomized(source.entries(a, b))), [(queries_path, source)]),
            )
    return files.read_header(out_path)


def _component_file(path: PathLike, component: str, decrypted: Optional[bool]) -> StoredFile:
    stored = open_stream(path, kinds.POINTS)
    meta = stored.header.meta
    problem = None
    if meta.get("component") != component:
        problem = f"is the {meta.get('component')} stream, expected the {component} stream"
    elif decrypted is not None and bool(meta.get("decrypted")) != decrypted:
        problem = "is already decrypted" if meta.get("decrypted") else f"is not yet decrypted by the {party(component)}"
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
    bank, ``gamma`` and ``delta`` for the payment network.

    Returns:
        The gamma stream's ``Header``.

    Raises:
        MissingFileError, FileAccessError: a copy cannot be opened.
        OutputExistsError: an output exists and ``overwrite`` is false.
        BadFileError: the copies are refused (not randomized, the same copy,
            of other runs or lengths, corrupted), or an output is named twice
            or may not be written.
        ModuleError: the module refused an entry (named in the error).
    """
    step = "combine"

    with contextlib.ExitStack() as stack:
        first = stack.enter_context(open_stream(first_path, kinds.QUERIES))
        second = stack.enter_context(open_stream(second_path, kinds.QUERIES))
        a, b = first.header, second.header
        for path, header in ((first_path, a), (second_path, b)):
            if "copy" not in header.meta:
                raise BadFileError(path, "is a query stream that was not randomized; combine takes two randomized copies")
        same_run(second_path, b, a, first_path)
        if a.meta["copy"] == b.meta["copy"]:
            raise BadFileError(second_path, f"is the same randomized copy as {os.fspath(first_path)}")
        run = a.meta["run"]
        own = {k: a.meta[k] for k in ("sender", "receiver", "payments", "skipped") if k in a.meta}
        # A bank's stream names its key, the run and the payment network's key (for the bank's audit log).
        network = fp_hex(a.fingerprint)
        targets = (
            (sender_out, bytes.fromhex(a.meta["sender"]),
             {"run": run, "component": Component.SENDER, "decrypted": False, "network": network}),
            (receiver_out, bytes.fromhex(a.meta["receiver"]),
             {"run": run, "component": Component.RECEIVER, "decrypted": False, "network": network}),
            (gamma_out, a.fingerprint, dict(own, run=run, component=Component.GAMMA)),
            (delta_out, a.fingerprint, dict(own, run=run, component=Component.DELTA)),
        )
        outputs_apart([first_path, second_path], [t[0] for t in targets], overwrite)
        writers = [
            stack.enter_context(FileWriter(path, kinds.POINTS.name, a.count, fp, meta, overwrite))
            for path, fp, meta in targets
        ]

        chunks = chunker(step, a.count, chunk_size, progress, engine)
        combined = operation_of(chunks, step, "combine")

        def call(start: int, stop: int) -> None:
            streams = combined(first.entries(start, stop), second.entries(start, stop))
            for writer, stream in zip(writers, streams):
                writer.write(stream)

        chunks.run(a.count, located(call, [(first_path, first), (second_path, second)]))
    return files.read_header(gamma_out)



def finish(
    sender_path: PathLike,
    receiver_path: PathLike,
    gamma_path: PathLike,
    delta_path: PathLike,
    network_secret_path: PathLike,
    payments: rows.TableInput,
    out_path: Optional[PathLike] = None,
    column: str = "match",
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
    engine: Optional[Any] = None,
    overwrite: bool = False,
    csv: Optional[rows.CsvOptions] = None,
) -> Any:
    """The payment network's match bits: the payments table with a ``column``
    of booleans, returned, and written to ``out_path`` when one is given.

    ``payments`` is the table ``initiate`` was given, in any form it takes
    (see ``tables``): its digest must be the one the run recorded, so a table
    in memory must hold the same rows in the same types, and a file the same
    bytes. The output's format follows its suffix (``results.Format``:
    ``.csv``, ``.csv.gz``, ``.parquet``, ``.arrow``; without one, the payments
    file's format; ``-``: CSV on standard output), checked before any work. A
    Parquet or Arrow result, and the returned Table, carry the tools' header
    record in their schema metadata (see ``results``). Payments that
    ``initiate`` left out for an empty key value (``skip_invalid``) get no
    match, a null, found again in the payments table by the rule the run
    records.

    Returns:
        A ``pyarrow.Table``: every column of the payments (CSV columns as
        strings) and ``column``; ``results.counts`` gives its counts.

    Raises:
        UsageError: an output suffix that names no format.
        TypeError: ``payments`` is no table.
        MissingFileError, FileAccessError: an input that cannot be opened.
        OutputExistsError: ``out_path`` exists and ``overwrite`` is false.
        InputError: the payments cannot be read or already have ``column``.
        KeyMismatchError: streams decrypted for other banks, or a secret key
            of another run.
        BadFileError: streams refused (of other runs, not decrypted,
            corrupted), payments other than the run's, an output that may not
            be written or a column its format cannot hold.
        ModuleError: the module refused an entry (named in the error).
    """
    step = "finish"
    fmt = None if out_path is None else results.output_format(out_path, payments)
    outputs_apart(
        [sender_path, receiver_path, gamma_path, delta_path, network_secret_path, *table_paths(payments)],
        table_paths(out_path), overwrite,
    )
    _engines.require_protected(engine, step)

    with contextlib.ExitStack() as stack:
        gamma = stack.enter_context(_component_file(gamma_path, Component.GAMMA, None))
        delta = stack.enter_context(_component_file(delta_path, Component.DELTA, None))
        sender = stack.enter_context(_component_file(sender_path, Component.SENDER, True))
        receiver = stack.enter_context(_component_file(receiver_path, Component.RECEIVER, True))
        g = gamma.header
        for path, stored in ((delta_path, delta), (sender_path, sender), (receiver_path, receiver)):
            same_run(path, stored.header, g, gamma_path)
        for path, stored, role in ((sender_path, sender, Role.SENDER), (receiver_path, receiver, Role.RECEIVER)):
            if fp_hex(stored.header.fingerprint) != g.meta.get(role):
                raise KeyMismatchError(path, f"was decrypted for another {party(role)} than the run's")
        secret_key, key_header = read_key(network_secret_path, kinds.SECRET_KEY, (Role.NETWORK,))
        if key_header.fingerprint != g.fingerprint:
            raise KeyMismatchError(
                network_secret_path, f"belongs to key {fp_hex(key_header.fingerprint)}, the run was made for "
                f"{fp_hex(g.fingerprint)}"
            )
        source = stack.enter_context(rows.open_table(payments, csv))
        if source.digest() != g.meta.get("payments"):
            raise BadFileError(source.name, "is not the payments table the queries of this run were made from")
        # Before the work rather than after it: a name the table already has.
        rows.require_new_column(source.name, source.columns(), column)
        skipped = _skipped_rows(gamma_path, g, source)
        matches: List[bool] = []
        chunks = chunker(step, g.count, chunk_size, progress, engine)
        finished = operation_of(chunks, step, "finish")
        chunks.run(
            g.count,
            located(
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
        header = results.record(column, values, g.fingerprint, meta, fmt or "table")
        table = results.table(source, column, values, header)
        if out_path is not None:
            results.write_table(table, out_path, fmt, overwrite=overwrite)
    return table


def _skipped_rows(gamma_path: PathLike, gamma: Header, payments: rows.TableSource) -> List[int]:
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
    found = rows.blank_rows(payments, columns)
    if len(found) != count:
        raise BadFileError(payments.name, f"has {len(found):,} payments with an empty key value, the run left out "
                                          f"{count:,}")
    return found

