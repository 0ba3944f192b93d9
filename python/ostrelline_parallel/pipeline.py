"""Sharded stores built and queried as data-parallel jobs on a Dask cluster,
from tables where they lie.

Neither job brings rows to the calling process (the driver): the workers
read them with Dask's own readers (``dask.dataframe.read_parquet`` and
``read_csv``) from a Parquet dataset or CSV files every worker can read, and
Dask's shuffle moves them between workers. The driver builds the task graph
(paths and numbers, no rows) and gets back shard stores, counts and file
names.

**Building** (``build_sharded``), on the bank's cluster:

1. Each input partition (at most ``batch_bytes`` of the table) is encoded
   into row keys (``encode``: by default the columns joined, the module's own
   row key) and each key given its shard, ``xxh3_64(key, SHARD_SEED) mod k``:
   the public shard hash of ``shards``, so the stores are those of
   ``shards.build_shards``.
2. Dask's shuffle moves the keys to one partition per shard (grouped: one
   shuffled row per input partition and shard, its keys packed in it); each
   such partition's task drops repeated keys (a row is stored once) and
   writes the shard's keys to a file of its own in ``stage_dir``, a folder
   the workers share, replacing it atomically (a task run again rewrites
   it). The driver gets one count per shard and checks the counts against
   the capacity that the total row count allows (``ShardOverflow`` names
   the shard).
3. One task per shard reads its staged keys, pads them with dummies and
   builds the store as ``shards.build_shard`` does (the same padding, the
   same random order; the keys handed to ``build_okvs_packed`` as they lie
   in Arrow's buffers where the module has it); a window of tasks is out at
   a time and the stores come back in shard order, for the caller to write.
   The staged keys are removed at the end, whatever happened.

**Querying** (``initiate_from_table``), on the payment network's cluster,
in three stages of tasks, each handing the next its data through files in
an exchange folder beside the output, which every worker reaches (Dask's
shuffle cost some 6 µs a payment here, most of what the tasks spent beside
the module's calls; a file is written once and read once):

1. Each payment partition's task encodes its payments into a sender key and
   a receiver key each, keyed by the payment's place (partition, row, side),
   gives each its shard, and writes them grouped by shard (the sender
   store's shards, then the receiver store's) to its exchange file; the
   driver gets where each group lies.
2. One task per shard any lookup falls in reads that shard once (its byte
   range of the store file) and its groups (one range of each payment
   partition's file), decodes the lookups (``ostrelline_hiding.decode_okvs``:
   a 64-byte cell each) and writes the cells, grouped by payment partition,
   to its exchange file. So each shard of each store is read once per run,
   by one task, and a shard no payment falls in is not read.
3. One task per payment partition, on any worker, reads its cells from the
   shards' files, puts them in payment order, makes the queries
   (``ostrelline_hiding.queries_from_cells``) and writes them to its Parquet
   file of the output dataset: ``part-NNNNNN.parquet``, a column ``query`` of
   128-byte entries. The files in name order, rows in file order, are the
   payments in table order; ``read_queries`` gives the stream back in that
   order, a batch at a time.

**What a process holds.** The driver holds no rows: the graph, one count per
shard, a window of shard stores (building), where each group of lookups and
cells lies (a few numbers per shard and payment partition) and one batch of
queries (reading them back). A worker thread holds at most one input
partition (``batch_bytes`` of the table, 16 MiB by default: about 380,000
rows of 44 bytes), one shard's keys (at most the capacity, about 25,000
rows as ``shards_for`` picks k), or one payment partition's cells and
queries, plus what Dask's shuffle buffers (it spills to disk beyond its
limits).

**Failures.** Every task's input is in the graph or in a file every worker
reads, so a worker lost in any phase costs only the recomputation of what it
held (Dask runs its tasks again on the others; a shuffle in progress starts
again; files already written stay). A task that keeps killing its worker fails the run with Dask's
``KilledWorker`` after ``distributed.scheduler.allowed-failures`` tries, and
an error in a task (a store the module refuses, say) fails it at once; both
come back as ``ShardFailure`` naming the shard (store, side and index) or
the payment partition. Dask counts a dead worker against every task it
held, so the query tasks leave a trail file while the module runs, and a
run that fails on dead workers names the task whose trail was left most.

**What the parties learn.** The stores are those of ``shards`` (the same
capacity, dummies and random order), so a bank's store tells no more than
before; the payment network's cluster reads only its own payments and the
stores it was sent. The staged keys are the bank's own rows on the bank's
own cluster, removed once its stores are built.
"""
from __future__ import annotations

import contextlib
import csv
import functools
import os
import shutil
import tempfile
import uuid
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import xxhash

import dask.dataframe as dd
import distributed

from ._engine import Progress, is_bytes
from .chunks import WIDE
from .cluster import DaskEngine
from .faults import is_panic
from .layout import store_size
from .shards import (
    SHARD_SEED,
    ShardedStore,
    ShardLayout,
    ShardOverflow,
    build_shard,
    dummy_rows,
    release_freed_memory,
    shuffle,
    default_construction,
    shard_capacity,
    shards_for,
)

__all__ = [
    "Table",
    "ShardFailure",
    "join_columns",
    "build_sharded",
    "initiate_from_table",
    "QueryOutput",
    "read_queries",
    "DEFAULT_BATCH_BYTES",
]

#: Bytes of the table per input partition: the largest batch of rows a worker reads at once.
DEFAULT_BATCH_BYTES = 16 << 20
#: Dask's shuffle method for the build's shuffle (None: Dask's default, "p2p" on a cluster).
SHUFFLE_METHOD: Optional[str] = None
#: Bytes of a cell that ``decode_okvs`` returns per row.
CELL = 64


class ShardFailure(RuntimeError):
    """A shard (or payment partition) whose task failed or kept killing its
    worker; the cause is chained."""


@dataclass(frozen=True)
class Table:
    """Where rows lie: Parquet (a file, a dataset folder or several files) or
    CSV files (a path, a glob or several paths), which every worker can read.
    ``batch_bytes`` bounds the bytes of one input partition (a compressed CSV
    file is one partition: it cannot be cut into blocks)."""

    paths: Union[str, Sequence[str]]
    format: Optional[str] = None
    batch_bytes: int = DEFAULT_BATCH_BYTES
    #: CSV only: the field delimiter, the text's encoding, the quote character (None: no quoting).
    delimiter: str = ","
    encoding: str = "utf-8"
    quote_char: Optional[str] = '"'

    @property
    def kind(self) -> str:
        if self.format is not None:
            if self.format not in ("parquet", "csv"):
                raise ValueError(f"a table is parquet or csv, not {self.format!r}")
            return self.format
        first = self.paths if isinstance(self.paths, (str, os.PathLike)) else next(iter(self.paths), "")
        name = os.fspath(first).lower()
        return "csv" if name.endswith(".csv") or ".csv." in name else "parquet"

    def read(self, columns: Sequence[str]) -> dd.DataFrame:
        """The table's ``columns`` as a Dask dataframe of strings."""
        paths = self.paths if isinstance(self.paths, str) else [os.fspath(p) for p in self.paths]
        if self.kind == "csv":
            quoting = {"quotechar": self.quote_char} if self.quote_char is not None else {"quoting": csv.QUOTE_NONE}
            names = [paths] if isinstance(paths, str) else paths
            # A compressed file cannot be cut into blocks: it is one partition.
            packed = any(str(p).lower().endswith((".gz", ".bz2", ".xz", ".zst", ".zip")) for p in names)
            return dd.read_csv(
                paths, usecols=list(columns), dtype=str, keep_default_na=False, na_filter=False,
                blocksize=None if packed else self.batch_bytes, sep=self.delimiter, encoding=self.encoding,
                **quoting,
            )[list(columns)]
        return dd.read_parquet(paths, columns=list(columns), split_row_groups="adaptive", blocksize=self.batch_bytes)


def join_columns(arrays: Sequence[Any]) -> Any:
    """The module's row key of each row, as text: the columns' strings joined."""
    strings = [pc.cast(a, pa.large_string()) for a in arrays]
    if len(strings) == 1:
        return strings[0]
    return pc.binary_join_element_wise(*strings, pa.scalar("", pa.large_string()))


Encode = Callable[[Sequence[Any]], Any]


def _arrow(series: pd.Series) -> Any:
    array = pa.array(series)
    return array.combine_chunks() if isinstance(array, pa.ChunkedArray) else array


def _key_text(keys: Any) -> Tuple[Any, List[bytes]]:
    """Encoded keys (as ``encode`` returns them: an Arrow array or a list of
    str) as an Arrow array of text and as their UTF-8 bytes, which are the key
    bytes of the row [key] (the shard hash reads them)."""
    keys = pc.cast(pa.array(keys, pa.large_string()) if isinstance(keys, list) else keys, pa.large_string())
    return keys, pc.cast(keys, pa.large_binary()).to_pylist()


def _numbers(keys: List[bytes], shards: int, first: int = 0) -> np.ndarray:
    """``first`` plus each key's shard among ``shards``: the public shard hash."""
    hashes = np.fromiter(map(functools.partial(xxhash.xxh3_64_intdigest, seed=SHARD_SEED), keys), np.uint64,
                         len(keys))
    return (hashes % np.uint64(shards)).astype(np.int64) + first


def _by_number(frame: dd.DataFrame, column: str, count: int) -> dd.DataFrame:
    """``frame`` shuffled to ``count`` partitions, partition i holding the rows whose
    ``column`` is i (Dask's shuffle; the divisions are given, so nothing is sampled)."""
    return frame.set_index(column, divisions=list(range(count)) + [count - 1], shuffle_method=SHUFFLE_METHOD)


# Rows travel through the shuffles in groups: one row of the shuffled frame
# per (input partition, destination), its keys (and places) packed into
# binary values. The shuffle's cost goes by rows and bytes, and a row per key
# cost several microseconds of it.

_BLOB = pd.ArrowDtype(pa.large_binary())
_GROUPS = {"dest": "int64", "places": _BLOB, "lengths": _BLOB, "keys": _BLOB}


def _blobs(values: List[bytes]) -> pd.api.extensions.ExtensionArray:
    return pd.arrays.ArrowExtensionArray(pa.array(values, pa.large_binary()))


def _pack(dest: np.ndarray, keys: Any, places: np.ndarray) -> pd.DataFrame:
    """One row per destination: its keys' UTF-8 bytes one after another, their
    lengths (int32) and their places (int64), in their order here."""
    if not len(dest):
        return pd.DataFrame({name: pd.Series([], dtype=dtype) for name, dtype in _GROUPS.items()})
    order = np.argsort(dest, kind="stable")
    ordered = dest[order]
    starts = np.concatenate([[0], np.flatnonzero(np.diff(ordered)) + 1])
    stops = np.concatenate([starts[1:], [len(dest)]])
    keys = keys.take(pa.array(order))
    offsets = np.frombuffer(keys.buffers()[1], np.int64, len(keys) + 1, keys.offset * 8)
    data = keys.buffers()[2]
    lengths = np.diff(offsets).astype(np.int32)
    places = places[order]
    return pd.DataFrame({
        "dest": ordered[starts],
        "places": _blobs([places[a:b].tobytes() for a, b in zip(starts, stops)]),
        "lengths": _blobs([lengths[a:b].tobytes() for a, b in zip(starts, stops)]),
        "keys": _blobs([data[int(offsets[a]) : int(offsets[b])].to_pybytes() for a, b in zip(starts, stops)]),
    })


def _blob_column(frame: pd.DataFrame, name: str) -> List[bytes]:
    return _arrow(frame[name]).to_pylist()


def _unpack_keys(frame: pd.DataFrame) -> Any:
    """The keys of a shuffled partition's groups, in group order, as an Arrow array of text."""
    lengths = np.frombuffer(b"".join(_blob_column(frame, "lengths")), np.int32)
    offsets = np.zeros(len(lengths) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    data = b"".join(_blob_column(frame, "keys"))
    return pa.Array.from_buffers(pa.large_string(), len(lengths), [None, pa.py_buffer(offsets), pa.py_buffer(data)])


def _failure(error: BaseException, what: str) -> ShardFailure:
    failure = ShardFailure(f"{what} failed: {type(error).__name__}: {error}")
    failure.__cause__ = error
    return failure


def _module_call(what: str, function: Callable[..., bytes], *args: Any) -> bytes:
    """A call of ``ostrelline_hiding`` in a task; a PanicException, which cannot
    cross a process boundary, comes back as a ShardFailure naming ``what``."""
    message = None
    try:
        return function(*args)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not is_panic(error):
            raise
        message = f"{what}: {error.args[0] if error.args else error}"
    raise ShardFailure(message)


# --------------------------------------------------------------------------- building


def _build_keys(frame: pd.DataFrame, columns: Sequence[str], encode: Encode, shards: int) -> pd.DataFrame:
    """An input partition's keys, grouped by shard."""
    keys, key_bytes = _key_text(encode([_arrow(frame[c]) for c in columns]))
    return _pack(_numbers(key_bytes, shards), keys, np.zeros(len(keys), np.int64))


def _stage_path(stage_dir: str, index: int) -> str:
    return os.path.join(stage_dir, f"shard-{index:06d}.arrow")


def _stage_shard(frame: pd.DataFrame, stage_dir: str, partition_info: Optional[Dict[str, Any]] = None) -> pd.DataFrame:
    """Shuffle output task: the shard's keys, each once, to its file in the stage folder."""
    index = partition_info["number"] if partition_info else 0
    keys = pc.unique(_unpack_keys(frame))
    path = _stage_path(stage_dir, index)
    partial = f"{path}.{uuid.uuid4().hex}.partial"
    with pa.OSFile(partial, "wb") as sink, pa.ipc.new_file(sink, pa.schema([("key", pa.large_string())])) as writer:
        writer.write_batch(pa.record_batch([keys], names=["key"]))
    os.replace(partial, path)
    return pd.DataFrame({"shard": [index], "rows": [len(keys)]})


def build_staged_shard(construction: str, public_key: bytes, path: str, capacity: int) -> bytes:
    """Worker task: the store of one staged shard, padded and in a random order
    as ``shards.build_shard`` makes it. Where the module takes rows packed
    (``ostrelline_hiding.build_okvs_packed``), the staged keys go to it as
    they lie in Arrow's buffers (key bytes one after another, 8-byte offsets),
    with no Python string per row."""
    with pa.memory_map(path) as source:
        keys = pa.ipc.open_file(source).read_all().column("key").combine_chunks()
    if len(keys) > capacity:
        raise ShardOverflow(f"{path} holds {len(keys)} rows, more than the capacity {capacity}")
    try:
        from ostrelline_hiding import build_okvs_packed
    except ImportError:
        return build_shard(construction, public_key, keys.to_pylist(), capacity)
    if construction not in ("hiding", "specified"):
        raise ValueError(f"unknown store construction {construction!r}")
    # The real rows and the dummies in a random order, as build_shard draws them.
    padded = pa.concat_arrays([keys, pa.array([row[0] for row in dummy_rows(capacity - len(keys))], pa.large_string())])
    order = list(range(len(padded)))
    shuffle(order)
    padded = padded.take(pa.array(order, pa.int64()))
    offsets = np.frombuffer(padded.buffers()[1], np.int64, len(padded) + 1, padded.offset * 8)
    data = padded.buffers()[2]
    row_keys = data[int(offsets[0]) : int(offsets[-1])].to_pybytes() if data is not None else b""
    del keys, padded
    store = build_okvs_packed(public_key, row_keys, (offsets - offsets[0]).astype("<i8").tobytes(), construction)
    release_freed_memory()
    return store


def build_sharded(
    client: distributed.Client,
    public_key: bytes,
    table: Table,
    columns: Sequence[str],
    shards: Optional[int] = None,
    *,
    stage_dir: Optional[str] = None,
    encode: Encode = join_columns,
    construction: Optional[str] = None,
    window: Optional[int] = None,
    progress: Optional[Progress] = None,
) -> Tuple[ShardLayout, Iterator[bytes]]:
    """A sharded store of the rows of ``columns`` of ``table``, built on the
    client's workers: the layout, and the shards in order as they come (see
    the module's description). Rows whose keys are alike are stored once.

    ``shards`` is k (by default ``shards_for`` of the table's row count,
    which Dask counts first); ``stage_dir`` a folder every worker can write
    and read, in which a folder of this build's own is made and removed (by
    default the system's temporary folder: right for a LocalCluster). At
    most ``window`` build tasks (by default two per worker thread) are out.
    ``progress`` is called as ``progress("stage_shards", done, k)`` once the
    shuffle is done, then as ``progress("build_shards", rows, n)``."""
    construction = construction or default_construction()
    if not is_bytes(public_key):
        raise TypeError(f"public_key must be bytes, not {type(public_key).__name__}")
    # The key and the construction, checked here on no rows, as build_okvs does.
    build_shard(construction, public_key, [], 0)
    columns = list(columns)
    rows = table.read(columns)
    k = shards if shards is not None else shards_for(int(client.compute(rows.map_partitions(len).sum()).result()))
    if k < 1:
        raise ValueError(f"the number of shards must be at least 1, not {k}")
    folder = tempfile.mkdtemp(prefix="ostrelline-stage-", dir=stage_dir)
    engine = DaskEngine(client)

    def stores() -> Iterator[bytes]:
        try:
            keyed = rows.map_partitions(_build_keys, columns, encode, k, meta=_GROUPS)
            staged = _by_number(keyed, "dest", k).map_partitions(
                _stage_shard, folder, meta={"shard": "int64", "rows": "int64"}, align_dataframes=False
            )
            try:
                counts = client.compute(staged).result()
            except Exception as error:
                raise _failure(error, "staging the rows into shards") from error
            sizes = [0] * k
            for index, count in zip(counts["shard"].tolist(), counts["rows"].tolist()):
                sizes[int(index)] = int(count)
            total = sum(sizes)
            capacity = shard_capacity(total, k)
            for index, size in enumerate(sizes):
                if size > capacity:
                    raise ShardOverflow(
                        f"shard {index} of {k} got {size} rows, more than the {capacity} that {total} rows "
                        "allow; choose another number of shards"
                    )
            if progress is not None:
                progress("stage_shards", k, k)
            layouts.append(ShardLayout(k, capacity, store_size(capacity), total, construction))
            yield b""  # the layout is known: build_sharded returns it
            tasks = (((construction, public_key, _stage_path(folder, i), capacity), sizes[i]) for i in range(k))
            built = engine._run_in_order(
                "build_shards", "build_staged_shard", tasks, total,
                window if window is not None else 2 * engine._parallelism(), progress,
            )
            index = 0
            try:
                for store in built:
                    if len(store) != layouts[0].shard_size:
                        raise RuntimeError(f"shard {index} is {len(store)} bytes, not {layouts[0].shard_size}")
                    yield store
                    index += 1
            except Exception as error:
                raise _failure(error, f"building shard {index} of {k}") from error
        finally:
            _remove(client, folder)

    layouts: List[ShardLayout] = []
    out = stores()
    next(out)
    return layouts[0], out


def _remove(client: distributed.Client, folder: str) -> None:
    """Removes the stage folder: by a worker (it is theirs), and here where it is seen too."""
    try:
        client.submit(shutil.rmtree, folder, True, pure=False).result()
    except Exception:  # noqa: BLE001 - the folder is also removed here, where it can be
        pass
    shutil.rmtree(folder, ignore_errors=True)


# --------------------------------------------------------------------------- querying
#
# A lookup is a payment's place and side, (partition << 32 | row) * 2 + side
# (0 sender, 1 receiver), and its key (then its cell). The lookups go to
# their shards and the cells back to their payment partitions through files
# in the run's exchange folder, which every worker reaches: each task writes
# one file, its groups one after another, and returns where each group lies;
# a task of the next stage reads its groups (one range of each file) from
# the places the driver hands it. Dask's shuffle did the same here at about
# 28 ns a byte (some 6 µs a payment, most of what the query tasks cost above
# the module's calls); a file is written once and read once.
#
# Lookups are numbered by destination: the sender store's shards first, then
# the receiver store's. Sorted by place, a payment partition's cells are
# sender, receiver, sender, receiver, ... in payment order.

_INDEX = {"dest": "int64", "part": "int64", "offset": "int64", "count": "int64", "size": "int64"}


def _exchange_path(folder: str, stage: str, number: int) -> str:
    return os.path.join(folder, f"{stage}-{number:06d}.bin")


def _write_exchange(path: str, groups: Iterator[Sequence[bytes]]) -> List[int]:
    """Writes each group's pieces one after another to ``path`` (atomically);
    the offset of each group."""
    partial = f"{path}.{uuid.uuid4().hex}.partial"
    offsets = []
    with open(partial, "wb") as file:
        for pieces in groups:
            offsets.append(file.tell())
            for piece in pieces:
                file.write(piece)
    os.replace(partial, path)
    return offsets


def _read_range(path: str, offset: int, size: int) -> bytes:
    fd = os.open(path, os.O_RDONLY)
    try:
        data = os.pread(fd, size, offset)
    finally:
        os.close(fd)
    if len(data) != size:
        raise OSError(f"{path} ends inside the range the run wrote")
    return data


def lookup_partition(
    frame: pd.DataFrame,
    sender_columns: Sequence[str],
    receiver_columns: Sequence[str],
    encode: Encode,
    receiver_encode: Encode,
    sender_shards: int,
    receiver_shards: int,
    folder: str,
    partition_info: Optional[Dict[str, Any]] = None,
) -> pd.DataFrame:
    """Task of a payment partition: its two lookups per payment, grouped by the
    destination of their shard, to its exchange file; where each group lies."""
    part = partition_info["number"] if partition_info else 0
    places = (np.arange(len(frame), dtype=np.int64) + (part << 32)) * 2
    senders, sender_bytes = _key_text(encode([_arrow(frame[c]) for c in sender_columns]))
    receivers, receiver_bytes = _key_text(receiver_encode([_arrow(frame[c]) for c in receiver_columns]))
    dest = np.concatenate([
        _numbers(sender_bytes, sender_shards), _numbers(receiver_bytes, receiver_shards, sender_shards)
    ])
    groups = _pack(dest, pa.concat_arrays([senders, receivers]), np.concatenate([places, places + 1]))
    group_places, lengths, keys = (_blob_column(groups, c) for c in ("places", "lengths", "keys"))
    offsets = _write_exchange(_exchange_path(folder, "lookups", part), iter(zip(group_places, lengths, keys)))
    return pd.DataFrame({
        "dest": groups["dest"].to_numpy(np.int64), "part": np.full(len(offsets), part, np.int64),
        "offset": np.array(offsets, np.int64), "count": np.array([len(p) // 8 for p in group_places], np.int64),
        "size": np.array([len(k) for k in keys], np.int64),
    })


@contextlib.contextmanager
def _trail(folder: str, task: str) -> Iterator[None]:
    """A file in ``folder`` naming ``task`` while it runs: a task that kills its
    worker leaves it behind, so that a run that fails on dead workers names
    the task that left the most (Dask counts a death against every task the
    worker held, so its own report may name a bystander)."""
    path = os.path.join(folder, f"{task}.{uuid.uuid4().hex}")
    with open(path, "wb"):
        pass
    try:
        yield
    finally:
        os.unlink(path)


def _trails(folder: str) -> Optional[str]:
    """The task that left the most trail files in ``folder`` (see ``_trail``)."""
    try:
        names = [name.rsplit(".", 1)[0] for name in os.listdir(folder)]
    except OSError:
        return None
    return max(set(names), key=names.count) if names else None


def decode_shard(
    number: int,
    groups: np.ndarray,
    sender_store: ShardedStore,
    receiver_store: ShardedStore,
    folder: str,
    trail: str,
) -> np.ndarray:
    """Task of one shard (``number``: of the sender store, or past its shards of
    the receiver store): the lookups falling in it, ``(part, offset, count,
    size)`` of each payment partition's group in its exchange file, decoded in
    the shard, read once from the store file; the cells to this task's
    exchange file, ``(part, offset, count)`` of each group."""
    import ostrelline_hiding

    side, store, index = (
        ("sender", sender_store, number) if number < sender_store.layout.shards
        else ("receiver", receiver_store, number - sender_store.layout.shards)
    )
    groups = groups.tolist()
    places, lengths, keys = [], [], []
    for part, offset, count, size in groups:
        data = _read_range(_exchange_path(folder, "lookups", part), offset, 12 * count + size)
        places.append(data[: 8 * count])
        lengths.append(data[8 * count : 12 * count])
        keys.append(data[12 * count :])
    sizes = np.frombuffer(b"".join(lengths), np.int32)
    bounds = np.zeros(len(sizes) + 1, np.int64)
    np.cumsum(sizes, out=bounds[1:])
    text = pa.Array.from_buffers(pa.large_string(), len(sizes), [None, pa.py_buffer(bounds), pa.py_buffer(b"".join(keys))])
    rows = list(zip(text.to_pylist()))
    del text, keys
    what = f"the {side} store {store.path}, shard {index} of {store.layout.shards}"
    with _trail(trail, f"decode-shard-{number}"):
        okvs = store.ref(index).load()
        cells = _module_call(what, ostrelline_hiding.decode_okvs, rows, okvs)
    del okvs, rows
    view, start, pieces = memoryview(cells), 0, []
    for (part, _, count, _), at in zip(groups, places):
        pieces.append((at, view[start : start + CELL * count]))
        start += CELL * count
    offsets = _write_exchange(_exchange_path(folder, "cells", number), iter(pieces))
    return np.array([(part, offset, count) for (part, _, count, _), offset in zip(groups, offsets)], np.int64)


def _part_path(out_dir: str, part: int) -> str:
    return os.path.join(out_dir, f"part-{part:06d}.parquet")


def query_partition(
    part: int,
    groups: np.ndarray,
    payments: int,
    swift_pk: bytes,
    out_dir: str,
    folder: str,
    trail: str,
) -> int:
    """Task of one payment partition of ``payments`` payments: its cells,
    ``(shard, offset, count)`` of each group in the shards' exchange files, put
    in payment order, made into queries and written to its Parquet file of
    the output dataset."""
    import ostrelline_hiding

    places, cells = [], []
    for number, offset, count in groups.tolist():
        data = _read_range(_exchange_path(folder, "cells", number), offset, (8 + CELL) * count)
        places.append(data[: 8 * count])
        cells.append(data[8 * count :])
    at = np.frombuffer(b"".join(places), np.int64)
    order = np.argsort(at, kind="stable")
    if not np.array_equal(at[order], np.arange(2 * payments, dtype=np.int64) + (part << 33)):
        raise ShardFailure(f"payment partition {part}: the cells that came back are not one a side per payment")
    # In payment order the sender and receiver cells alternate.
    rows = np.frombuffer(b"".join(cells), np.uint8).reshape(len(at), CELL)
    del cells
    with _trail(trail, f"query-partition-{part}"):
        queries = _module_call(
            f"payment partition {part}", ostrelline_hiding.queries_from_cells,
            rows[order[0::2]].tobytes(), rows[order[1::2]].tobytes(), swift_pk,
        )
    del rows
    column = pa.FixedSizeBinaryArray.from_buffers(pa.binary(WIDE), payments, [None, pa.py_buffer(queries)])
    path = _part_path(out_dir, part)
    partial = f"{path}.{uuid.uuid4().hex}.partial"
    # Uncompressed: the queries are random bytes.
    pq.write_table(pa.table({"query": column}), partial, compression="none")
    os.replace(partial, path)
    return payments


@dataclass(frozen=True)
class QueryOutput:
    """The query dataset a run wrote: its files in payment order and the payments in each."""

    folder: str
    files: List[str]
    counts: List[int]

    @property
    def payments(self) -> int:
        return sum(self.counts)


def _what_failed(error: BaseException, trail: str, sender_store: ShardedStore, receiver_store: ShardedStore) -> str:
    """The shard or payment partition whose task a failure came from: for
    workers that died, the task that left the most trails, else the task
    Dask names."""
    if isinstance(error, ShardFailure):
        return str(error).split(":", 1)[0]
    if not isinstance(error, distributed.KilledWorker):
        return "the query run"
    name = _trails(trail) or str(error.task)
    for role in ("decode-shard", "query-partition"):
        if name.startswith(role + "-"):
            number = int(name[len(role) + 1 :].split("-", 1)[0])
            if role == "query-partition":
                return f"the queries of payment partition {number}"
            ks = sender_store.layout.shards
            if number < ks:
                return f"the lookups in the sender store {sender_store.path}, shard {number} of {ks}"
            return (f"the lookups in the receiver store {receiver_store.path}, shard {number - ks} of "
                    f"{receiver_store.layout.shards}")
    return f"the query run (task {error.task!r})"


def _by_first(table: np.ndarray) -> Iterator[Tuple[int, np.ndarray]]:
    """The rows of an integer table grouped by its first column: (value, the
    other columns of its rows), in order of value."""
    table = table[np.argsort(table[:, 0], kind="stable")]
    starts = np.flatnonzero(np.diff(table[:, 0])) + 1
    for block in np.split(table, starts) if len(table) else []:
        yield int(block[0, 0]), block[:, 1:]


def _stage(
    client: distributed.Client,
    function: Callable[..., Any],
    tasks: Dict[int, Tuple[Any, ...]],
    name: str,
    failed: Callable[[BaseException], str],
    done: Optional[Callable[[int, Any], None]] = None,
) -> Dict[int, Any]:
    """One task per item of ``tasks`` (number: arguments), named ``name-number``
    so that Dask's messages name it; the results by number."""
    token = uuid.uuid4().hex
    futures = {
        client.submit(function, *args, key=f"{name}-{number}-{token}", pure=False): number
        for number, args in tasks.items()
    }
    results: Dict[int, Any] = {}
    try:
        for future in distributed.as_completed(list(futures), loop=client.loop):
            try:
                results[futures[future]] = future.result()
            except Exception as error:
                raise _failure(error, failed(error)) from error
            if done is not None:
                done(futures[future], results[futures[future]])
            future.release()
    finally:
        client.cancel(list(futures))
    return results


def initiate_from_table(
    client: distributed.Client,
    table: Table,
    sender_columns: Sequence[str],
    receiver_columns: Sequence[str],
    sender_store: ShardedStore,
    receiver_store: ShardedStore,
    swift_pk: bytes,
    out_dir: str,
    *,
    encode: Encode = join_columns,
    receiver_encode: Optional[Encode] = None,
    progress: Optional[Progress] = None,
) -> QueryOutput:
    """``initiate_queries`` for every payment of ``table`` against two sharded
    stores, on the client's workers (see the module's description): payment i
    looks up the row of its ``sender_columns`` in the sender store and that of
    its ``receiver_columns`` in the receiver store. The queries are written to
    ``out_dir`` (made if missing; its part files replaced), one Parquet file per
    payment partition; ``read_queries`` gives the stream of the single call
    back. ``encode`` makes the keys of both sides, or of the sender side where
    ``receiver_encode`` is given. ``progress`` is called as
    ``progress("initiate_queries", done, P)`` per payment partition written."""
    import ostrelline_hiding

    if not is_bytes(swift_pk):
        raise TypeError(f"swift_pk must be bytes, not {type(swift_pk).__name__}")
    # The key, as the single call checks it before any row (the shards are
    # checked by the tasks that read them).
    ostrelline_hiding.queries_from_cells(b"", b"", swift_pk)
    out_dir = os.path.abspath(os.fspath(out_dir))
    os.makedirs(out_dir, exist_ok=True)
    sender_columns, receiver_columns = list(sender_columns), list(receiver_columns)
    payments = table.read(list(dict.fromkeys(sender_columns + receiver_columns)))
    parts = payments.npartitions
    ks, kr = sender_store.layout.shards, receiver_store.layout.shards
    folder = tempfile.mkdtemp(prefix=".exchange-", dir=out_dir)
    trail = tempfile.mkdtemp(prefix=".running-", dir=out_dir)

    def failed(error: BaseException) -> str:
        return _what_failed(error, trail, sender_store, receiver_store)

    counts = [0] * parts
    written = [0]

    def partition_done(part: int, count: int) -> None:
        counts[part] = count
        written[0] += 1
        if progress is not None:
            progress("initiate_queries", written[0], parts)

    try:
        if progress is not None:
            progress("initiate_queries", 0, parts)
        lookups = payments.map_partitions(
            lookup_partition, sender_columns, receiver_columns, encode, receiver_encode or encode, ks, kr, folder,
            meta=_INDEX, align_dataframes=False,
        )
        try:
            index = client.compute(lookups).result()
        except Exception as error:
            raise _failure(error, "reading and sorting the payments' lookups") from error
        # Where each group lies, as arrays (a few numbers per shard and payment
        # partition, never Python objects per group).
        where = index[list(_INDEX)].to_numpy(np.int64)
        del index
        sizes = np.bincount(where[:, 1], weights=where[:, 3], minlength=parts).astype(np.int64)
        decoded = _stage(client, decode_shard, {
            dest: (dest, groups, sender_store, receiver_store, folder, trail) for dest, groups in _by_first(where)
        }, "decode-shard", failed)
        back = np.concatenate(
            [np.column_stack([np.full(len(g), dest, np.int64), g]) for dest, g in decoded.items() if len(g)]
            or [np.empty((0, 4), np.int64)]
        )[:, [1, 0, 2, 3]]  # part, shard, offset, count
        del decoded
        by_part = dict(_by_first(back))
        _stage(client, query_partition, {
            part: (part, by_part.get(part, np.empty((0, 3), np.int64)), int(sizes[part]) // 2, swift_pk, out_dir,
                   folder, trail)
            for part in range(parts)
        }, "query-partition", failed, partition_done)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(trail, ignore_errors=True)
    return QueryOutput(out_dir, [_part_path(out_dir, p) for p in range(parts)], counts)


def read_queries(output: QueryOutput, batch_entries: int = 1 << 16) -> Iterator[bytes]:
    """The query stream of a run in payment order, a batch of at most
    ``batch_entries`` entries at a time (one file open at a time)."""
    for path, count in zip(output.files, output.counts):
        seen = 0
        with pq.ParquetFile(path) as source:
            for batch in source.iter_batches(batch_size=batch_entries, columns=["query"]):
                column = batch.column(0)
                data = column.buffers()[1]
                start = column.offset * WIDE
                seen += len(column)
                yield data[start : start + WIDE * len(column)].to_pybytes()
        if seen != count:
            raise ShardFailure(f"{path} holds {seen} queries, the run wrote {count}")
