"""Sharded store files: k ordinary stores one after the other behind one header.

The header (kind "sharded-store") counts the bank's real rows and carries the
bank key's fingerprint like a store's; its metadata adds the layout that
``ostrelline_parallel.shards`` cuts by: the number of shards k, the padded
rows per shard (the capacity, a function of the row count and k), the bytes
per shard, each shard's offset in the payload, the shard function with its
seed, and the store construction. The payload is the shards in order, each
exactly the bytes of one ``build_okvs`` call, so a worker reads only the
shards it needs (at the header length plus the recorded offset).
"""
from __future__ import annotations

import os
import shutil
import tempfile
from typing import Any, Dict, Iterable, Optional, Sequence

from ostrelline_parallel import shards as _shards
from ostrelline_parallel import Engine

from .engines import Progress
from .errors import BadFileError, KeyMismatchError, PathLike
from .files import FileWriter, Header, StoredFile, check_output, fingerprint
from .kinds import SHARDED_STORE

__all__ = [
    "SHARDED_STORE", "write_sharded_store", "write_sharded_store_from_table", "open_sharded_store", "store_as_shards",
    "TableKeys", "cluster_table", "build_where_rows_lie", "queries_where_rows_lie",
]


def write_sharded_store(
    engine: Engine,
    path: PathLike,
    public_key: bytes,
    rows: Sequence[Sequence[str]],
    shards: int,
    *,
    construction: Optional[str] = None,
    role: Optional[str] = None,
    progress: Optional[Progress] = None,
    meta: Optional[Dict[str, Any]] = None,
    overwrite: bool = False,
) -> _shards.ShardedStore:
    """Builds the shards on ``engine``'s workers and writes them to ``path``
    (atomically: nothing is left there on a failure; an existing file only
    with ``overwrite``); returns the store. ``meta`` adds fields to the
    header's metadata (the row encoding, say)."""
    check_output(path, overwrite)
    layout, built = _shards.build_shards(engine, public_key, rows, shards, construction=construction, progress=progress)
    return _write(path, public_key, layout, built, role, meta, overwrite)


def write_sharded_store_from_table(
    client: Any,
    path: PathLike,
    public_key: bytes,
    table: Any,
    columns: Sequence[str],
    shards: Optional[int] = None,
    *,
    encode: Any = None,
    stage_dir: Optional[str] = None,
    construction: Optional[str] = None,
    role: Optional[str] = None,
    progress: Optional[Progress] = None,
    meta: Optional[Dict[str, Any]] = None,
    overwrite: bool = False,
) -> _shards.ShardedStore:
    """Builds a sharded store of the rows of ``columns`` of ``table`` (an
    ``ostrelline_parallel.pipeline.Table`` the workers read) on the Dask
    ``client``'s workers, which read the rows where they lie (see
    ``pipeline.build_sharded``), and writes it to ``path`` as
    ``write_sharded_store`` does; this process holds no rows, only a window
    of shard stores."""
    from ostrelline_parallel import pipeline

    check_output(path, overwrite)
    layout, built = pipeline.build_sharded(
        client, public_key, table, columns, shards, stage_dir=stage_dir,
        encode=encode or pipeline.join_columns, construction=construction, progress=progress,
    )
    return _write(path, public_key, layout, built, role, meta, overwrite)


def _write(
    path: PathLike,
    public_key: bytes,
    layout: _shards.ShardLayout,
    built: Iterable[bytes],
    role: Optional[str],
    meta: Optional[Dict[str, Any]],
    overwrite: bool,
) -> _shards.ShardedStore:
    meta = dict(meta or {}, **layout.meta())
    if role is not None:
        meta["role"] = role
    try:
        with FileWriter(path, SHARDED_STORE.name, layout.rows, fingerprint(public_key), meta, overwrite) as writer:
            for store in built:
                writer.write(store)
    finally:
        # A build stopped early lets go of its tasks (and staged rows) now.
        close = getattr(built, "close", None)
        if close is not None:
            close()
    return open_sharded_store(path)


def open_sharded_store(path: PathLike, public_key: Optional[bytes] = None, verify: bool = False) -> _shards.ShardedStore:
    """The sharded store in ``path``, its header checked (and its payload
    checksum with ``verify``; a task reads only its shards). With
    ``public_key``, a store made under another key is refused."""
    path = os.path.abspath(os.fspath(path))
    with StoredFile(path, [SHARDED_STORE.name]) as stored:
        if verify:
            stored.verify()
        header = stored.header
    if public_key is not None and header.fingerprint != fingerprint(public_key):
        raise KeyMismatchError(path, "was made under another bank key than the one given")
    try:
        layout = _shards.ShardLayout.from_meta(header.meta, header.count)
    except (KeyError, TypeError, ValueError) as error:
        raise BadFileError(path, f"has a sharded-store header that does not hold together ({error})") from None
    return _shards.ShardedStore(path, header.header_length, layout, header.payload_checksum.hex())


def store_as_shards(path: PathLike, header: Header) -> _shards.ShardedStore:
    """An ordinary store file seen as a sharded store of one shard (every row
    hashes to shard 0 of 1), so that it can be queried beside a sharded store
    of the other bank; its tasks read the store from the file."""
    construction = str(header.meta.get("construction", "specified"))
    layout = _shards.ShardLayout(1, header.count, header.payload_length, header.count, construction)
    return _shards.ShardedStore(
        os.path.abspath(os.fspath(path)), header.header_length, layout, header.payload_checksum.hex()
    )


# --------------------------------------------------------------------------- rows where they lie


class TableKeys:
    """The tools' row encoding (``rows.encoded_array``: each value behind its
    length, normalised as the store records) as the pipeline's ``encode``,
    run by the workers on the columns of their partitions; with
    ``skip_blank``, rows with an empty key value (``rows.BLANK_RULE``) are left
    out first."""

    def __init__(self, name: str, columns: Sequence[str], normalise: str, skip_blank: bool = False):
        self.name, self.columns, self.normalise = name, list(columns), str(normalise)
        self.skip_blank = bool(skip_blank)

    def __call__(self, arrays: Sequence[Any]) -> Any:
        from . import rows

        if self.skip_blank:
            arrays = rows.kept(arrays, rows.RowCheck(self.name, self.columns).keep(arrays))
        return rows.encoded_array(self.name, self.columns, arrays, self.normalise)

    def __reduce__(self) -> Any:
        return (TableKeys, (self.name, self.columns, self.normalise, self.skip_blank))


def cluster_table(engine: Any, source: Any) -> Any:
    """The table as the workers of ``engine`` read it where it lies
    (``ostrelline_parallel.pipeline.Table``), or None where the rows must go
    through this process: an engine that is not on a Dask cluster, or a table
    that is no CSV or Parquet file or folder of Parquet files (a private copy
    of standard input included)."""
    try:
        from ostrelline_parallel import DaskEngine, pipeline
    except ImportError:
        return None
    if not isinstance(engine, DaskEngine):
        return None
    kind = getattr(source, "format", None)
    path, kind = getattr(source, "path", None), str(getattr(kind, "value", kind))
    # A private spooled copy (of standard input, say) is this process's alone.
    if path is None or getattr(source, "spooled", False) or kind not in ("csv", "parquet", "parquet-folder"):
        return None
    options = getattr(source, "options", None)
    csv = {} if options is None else {
        "delimiter": options.delimiter, "encoding": options.encoding, "quote_char": options.quote_char
    }
    return pipeline.Table(os.path.abspath(path), "csv" if kind == "csv" else "parquet", **csv)


def build_where_rows_lie(
    engine: Any,
    source: Any,
    columns: Sequence[str],
    out_path: PathLike,
    public_key: bytes,
    normalise: str,
    shards: Any,
    skip_blank: bool,
    **options: Any,
) -> _shards.ShardedStore:
    """A bank's sharded store built on ``engine``'s Dask workers from its table
    where it lies (``cluster_table`` must give it), its rows encoded there
    (``TableKeys``); ``options`` are those of ``write_sharded_store_from_table``
    (construction, role, progress, meta, overwrite). The rows are staged in a
    folder beside ``out_path``, which the workers must reach. With
    ``shards="auto"`` k follows from the table's row count (rows stored twice
    count twice)."""
    table = cluster_table(engine, source)
    if table is None:
        raise ValueError(f"{source.name} cannot be read by the workers where it lies")
    return write_sharded_store_from_table(
        engine.client, out_path, public_key, table, columns, None if shards == "auto" else shards,
        encode=TableKeys(source.name, columns, normalise, skip_blank),
        stage_dir=os.path.dirname(os.path.abspath(os.fspath(out_path))), **options,
    )


def queries_where_rows_lie(
    engine: Any,
    source: Any,
    sender_columns: Sequence[str],
    receiver_columns: Sequence[str],
    sender_store: _shards.ShardedStore,
    receiver_store: _shards.ShardedStore,
    network_key: bytes,
    normalise: str,
    blank: int,
    out_path: PathLike,
    write: Any,
    progress: Optional[Progress] = None,
) -> Optional[int]:
    """The query stream of the payments in ``source`` against two sharded
    stores, made on ``engine``'s Dask workers from the table where it lies
    (``pipeline.initiate_from_table``) and handed to ``write`` in payment
    order; the number of queries, or None where the rows must go through
    this process (see ``cluster_table``; also a table with ``blank`` rows left
    out). The queries' Parquet files lie in a folder beside ``out_path``
    (the workers must reach it) until they are written."""
    from ostrelline_parallel import pipeline

    table = cluster_table(engine, source)
    if table is None or blank:
        return None
    folder = tempfile.mkdtemp(prefix="ostrelline-queries-", dir=os.path.dirname(os.path.abspath(os.fspath(out_path))))
    try:
        output = pipeline.initiate_from_table(
            engine.client, table, sender_columns, receiver_columns, sender_store, receiver_store, network_key, folder,
            encode=TableKeys(source.name, sender_columns, normalise),
            receiver_encode=TableKeys(source.name, receiver_columns, normalise), progress=progress,
        )
        for piece in pipeline.read_queries(output):
            write(piece)
        return output.payments
    finally:
        shutil.rmtree(folder, ignore_errors=True)
