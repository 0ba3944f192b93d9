"""Sharded stores: a bank's rows split into k ordinary stores by a public hash.

A row goes to shard ``xxh3_64(key, SHARD_SEED) mod k``, where the key is what
the module looks a row up by: the concatenation of its strings' UTF-8 bytes.
The hash and its seed are public and fixed, so the payment network puts each
of its queries in the shard its row would be in, without learning anything
from the bank but the stores it receives anyway.

Every shard is padded with random dummy rows to the same row count, the
*capacity*, which follows from the total row count n and k alone (the mean
n/k plus eight standard deviations of a shard's count, and a little more), so
shard sizes reveal n and nothing about which rows the bank holds. A shard that
would overflow its capacity (about 1e-15 per shard for rows that are not
chosen against the hash) is refused rather than given a size of its own. A
dummy row is 16 random bytes in hexadecimal behind a NUL, which no query finds
but by guessing 128 random bits.

Each shard is built by one task (``build_shards``), so the build runs on as
many workers as there are shards. The module holds the interpreter lock for a
whole ``build_okvs`` call, about 0.1 ms per row on this machine, so a shard
should hold at most some tens of thousands of rows for a task to release the
lock every few seconds; ``shards_for`` gives the k for that.

Queries over two sharded stores (``initiate_sharded_queries``) are grouped by
(sender shard, receiver shard); each group, cut into chunks, is one task that
reads only its two shards from the store files, which every worker must be
able to read (a shared folder, or this machine for a LocalCluster), and keeps
the last shard of each side for the next task. The results go back in query
order: the stream has the unsharded format, and the later steps are unchanged.
A task carries its rows, each as its key (the row's strings joined, which the
module takes as the row ``[key]``: the same key bytes), and the places of its
shards, so a worker lost in mid-step costs only its tasks, run again
elsewhere. A build or a query run keeps only a window of tasks out at a time
and takes their results in order as they come, so that neither the workers
nor the driver hold more than that window's rows and results.

Membership-hiding stores (``ostrelline_hiding``) are the default where that
module is installed; ``ostrelline.build_okvs`` makes the "specified" kind.
"""
from __future__ import annotations

import ctypes
import math
import os
import secrets
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import xxhash

from ._engine import Engine, Progress, Row, is_bytes, plain_rows
from .chunks import WIDE, chunk_bounds
from .layout import row_key, row_text, store_size

__all__ = [
    "SHARD_SEED",
    "SHARD_FUNCTION",
    "ShardLayout",
    "ShardedStore",
    "ShardOverflow",
    "default_construction",
    "shards_for",
    "shard_of",
    "shard_capacity",
    "split_into_shards",
    "build_shards",
    "initiate_sharded_queries",
]

#: The public seed of the shard hash.
SHARD_SEED = 0x6F7374726C6E7368
#: The name recorded with a sharded store.
SHARD_FUNCTION = "xxh3-64 of the row key, seed 0x6f7374726c6e7368, mod k"
#: Rows per shard that a build task of a few seconds makes, by default.
DEFAULT_SHARD_ROWS = 25_000


class ShardOverflow(ValueError):
    """More rows fell into one shard than the capacity the total row count allows."""


def default_construction() -> str:
    """"hiding" where ``ostrelline_hiding`` can be imported, "specified" otherwise."""
    try:
        import ostrelline_hiding  # noqa: F401
    except ImportError:
        return "specified"
    return "hiding"


def shards_for(rows: int, shard_rows: int = DEFAULT_SHARD_ROWS) -> int:
    """The number of shards that keeps each at about ``shard_rows`` rows or fewer."""
    return max(1, math.ceil(rows / shard_rows))


def shard_capacity(rows: int, shards: int) -> int:
    """Rows per padded shard for ``rows`` rows in ``shards`` shards: a function of
    those two numbers alone."""
    if shards < 1:
        raise ValueError(f"the number of shards must be at least 1, not {shards}")
    if rows < 0:
        raise ValueError("the row count cannot be negative")
    mean = rows / shards
    return math.ceil(mean + 8 * math.sqrt(mean) + 8)


def shard_of(row: Sequence[str], shards: int) -> int:
    """The shard of a row among ``shards``."""
    return xxhash.xxh3_64_intdigest(row_key(row), seed=SHARD_SEED) % shards


def split_into_shards(rows: Sequence[Sequence[str]], shards: int) -> List[List[Sequence[str]]]:
    """The rows of each shard, in their order; ShardOverflow when one exceeds the capacity."""
    capacity = shard_capacity(len(rows), shards)
    parts: List[List[Sequence[str]]] = [[] for _ in range(shards)]
    append = [part.append for part in parts]
    hash_, seed = xxhash.xxh3_64_intdigest, SHARD_SEED
    for row in rows:
        append[hash_(row_key(row), seed=seed) % shards](row)
    for index, part in enumerate(parts):
        if len(part) > capacity:
            raise ShardOverflow(
                f"shard {index} of {shards} got {len(part)} rows, more than the {capacity} that "
                f"{len(rows)} rows allow; choose another number of shards"
            )
    return parts


def row_keys(rows: Sequence[Sequence[str]]) -> List[str]:
    """The rows' keys, their strings joined: what a task carries for each row.
    The module takes the row ``[key]`` for the same key bytes as the row, and
    one string is about half the memory of a list of several."""
    return [row_text(row) for row in rows]


def key_rows(keys: List[str]) -> List[Tuple[str]]:
    """Rows of one string each, for the module, from row keys."""
    return [(key,) for key in keys]


def dummy_rows(count: int) -> List[Tuple[str]]:
    return [("\0" + secrets.token_hex(16),) for _ in range(count)]


def shuffle(items: List[Any]) -> None:
    """Puts ``items`` in a random order, in place, from the system's random
    source: a Fisher-Yates shuffle drawing all its 64-bit numbers in one read
    (where ``SystemRandom().shuffle`` reads the source once per item).
    Reducing a 64-bit number modulo at most n leaves each order's probability
    within n / 2^64 of uniform."""
    draws = memoryview(os.urandom(8 * len(items))).cast("Q")
    for i in range(len(items) - 1, 0, -1):
        j = draws[i] % (i + 1)
        items[i], items[j] = items[j], items[i]


def random_order(items: Sequence[Any]) -> List[Any]:
    """A copy of ``items`` in a random order (see ``shuffle``)."""
    out = list(items)
    shuffle(out)
    return out


_libc: Any = None


def release_freed_memory() -> None:
    """Hands the free pages of the C heap back to the system. glibc keeps the
    memory of freed blocks for later allocations; after a build, that is the
    module's working memory, which would otherwise stay in the worker's
    resident size. Does nothing where the C library has no ``malloc_trim``."""
    global _libc
    if _libc is None:
        try:
            _libc = ctypes.CDLL(None).malloc_trim
        except (AttributeError, OSError):
            _libc = False
    if _libc:
        _libc(0)


def build_shard(construction: str, public_key: bytes, keys: List[str], capacity: int) -> bytes:
    """Worker task: the shard of the rows with these keys, padded to ``capacity``
    rows with dummies, as a store. Empties ``keys`` (its strings go on in the
    rows handed to the module)."""
    if construction == "hiding":
        import ostrelline_hiding as module
    elif construction == "specified":
        import ostrelline as module
    else:
        raise ValueError(f"unknown store construction {construction!r}")
    # The dummies go in random places: a store's layout then says nothing of
    # which rows are real, whatever the construction does with row order.
    # One list of rows, filled and shuffled in place: at a shard of 128,000
    # rows each extra list would be another megabyte at the build's peak.
    padded = key_rows(keys)
    keys.clear()
    padded += dummy_rows(capacity - len(padded))
    shuffle(padded)
    store = module.build_okvs(public_key, padded)
    del padded
    release_freed_memory()
    return store


@dataclass(frozen=True)
class ShardLayout:
    """How a sharded store is cut: what its file header records."""

    shards: int
    capacity: int
    shard_size: int
    rows: int
    construction: str
    seed: int = SHARD_SEED
    function: str = SHARD_FUNCTION

    def offset(self, index: int) -> int:
        """Where shard ``index`` starts in the payload (the shards are equally long)."""
        if not 0 <= index < self.shards:
            raise IndexError(f"shard {index} of {self.shards}")
        return index * self.shard_size

    def meta(self) -> Dict[str, Any]:
        return {
            "shards": self.shards,
            "capacity": self.capacity,
            "shard_size": self.shard_size,
            "offsets": [self.offset(i) for i in range(self.shards)],
            "construction": self.construction,
            "shard_function": {"name": self.function, "seed": self.seed},
        }

    @classmethod
    def from_meta(cls, meta: Dict[str, Any], rows: int) -> "ShardLayout":
        function = meta["shard_function"]
        layout = cls(
            int(meta["shards"]), int(meta["capacity"]), int(meta["shard_size"]), rows,
            str(meta["construction"]), int(function["seed"]), str(function["name"]),
        )
        if layout.seed != SHARD_SEED or layout.function != SHARD_FUNCTION:
            raise ValueError(f"unknown shard function {function!r}")
        if [int(o) for o in meta["offsets"]] != [layout.offset(i) for i in range(layout.shards)]:
            raise ValueError("shard offsets do not follow from the shard size")
        if layout.capacity != shard_capacity(rows, layout.shards):
            raise ValueError("the shard capacity does not follow from the row count")
        return layout


@dataclass(frozen=True)
class ShardedStore:
    """Where a sharded store lies: a file every worker can read, its payload
    (the shards one after the other) starting at ``payload_offset``. ``token``
    names this store's contents, so that a worker keeping a shard knows it."""

    path: str
    payload_offset: int
    layout: ShardLayout
    token: str

    def ref(self, index: int) -> "ShardRef":
        start = self.payload_offset + self.layout.offset(index)
        return ShardRef(self.path, start, self.layout.shard_size, f"{self.token}/{index}")

    def shard(self, index: int) -> bytes:
        return self.ref(index).load()


class ShardRef:
    """One shard of a store file, which the task needing it reads (that range of the file only)."""

    __slots__ = ("path", "offset", "size", "name")

    def __init__(self, path: str, offset: int, size: int, name: str):
        self.path, self.offset, self.size, self.name = path, offset, size, name

    def __reduce__(self) -> Tuple[Any, ...]:
        return (ShardRef, (self.path, self.offset, self.size, self.name))

    def load(self) -> bytes:
        # Only this shard's bytes are read, straight into the bytes object the
        # module gets: no mapping of the file's pages beside that copy, which
        # would count as much again in the worker's memory while it is read.
        fd = os.open(self.path, os.O_RDONLY)
        try:
            data = os.pread(fd, self.size, self.offset)
        finally:
            os.close(fd)
        if len(data) != self.size:
            raise OSError(f"{self.path} ends inside shard {self.name}")
        return data


# The last shard of each side a worker read: (name, bytes).
_kept: List[Optional[Tuple[str, bytes]]] = [None, None]


def _shard_bytes(side: int, ref: ShardRef) -> bytes:
    kept = _kept[side]
    if kept is None or kept[0] != ref.name:
        # The shard before goes first (this frame's reference too), so that a
        # worker never holds more than one shard a side.
        kept = _kept[side] = None
        release_freed_memory()
        kept = (ref.name, ref.load())
        _kept[side] = kept
    return kept[1]


def shard_queries(sender_keys: List[str], receiver_keys: List[str], sender: ShardRef, receiver: ShardRef, swift_pk: bytes) -> bytes:
    """Worker task: the queries of one group (or a chunk of it), given by their
    row keys, against its two shards."""
    import ostrelline

    sender_okvs, receiver_okvs = _shard_bytes(0, sender), _shard_bytes(1, receiver)
    return ostrelline.initiate_queries(key_rows(sender_keys), key_rows(receiver_keys), sender_okvs, receiver_okvs, swift_pk)


def build_shards(
    engine: Engine,
    public_key: bytes,
    rows: Sequence[Row],
    shards: int,
    *,
    construction: Optional[str] = None,
    window: Optional[int] = None,
    progress: Optional[Progress] = None,
) -> Tuple[ShardLayout, Iterator[bytes]]:
    """Builds a sharded store on ``engine``'s workers: the layout, and the shards
    in order as they come. At most ``window`` shards (by default two per task
    the workers run at once) are being built or waiting to be taken; the next
    is sent as soon as one is taken, so no worker waits for a batch to end.

    The rows must be a list or tuple of lists or tuples of ``str`` (strings of
    ``str`` subclasses are taken as plain strings), pairwise distinct as the
    module requires; the public key is checked here first, as ``build_okvs``
    does."""
    construction = construction or default_construction()
    plain = plain_rows(rows)
    if plain is None:
        raise TypeError("rows must be a list or tuple of lists or tuples of str")
    if not is_bytes(public_key):
        raise TypeError(f"public_key must be bytes, not {type(public_key).__name__}")
    parts = split_into_shards(plain, shards)
    capacity = shard_capacity(len(plain), shards)
    # The key and the construction, checked once here on no rows; the store
    # size of a padded shard follows from the capacity.
    build_shard(construction, public_key, [], 0)
    shard_size = store_size(capacity)
    layout = ShardLayout(shards, capacity, shard_size, len(plain), construction)
    if window is None:
        window = 2 * engine._parallelism()

    sizes = [len(part) for part in parts]

    def tasks() -> Iterator[Tuple[Tuple[Any, ...], int]]:
        for index in range(shards):
            # Each shard's keys are made and packed only when its task is sent,
            # and its list here is dropped then.
            (args,) = engine._pack([(construction, public_key, row_keys(parts[index]), capacity)])
            parts[index] = []
            yield args, sizes[index]

    def shards_in_order() -> Iterator[bytes]:
        built = engine._run_in_order("build_shards", "build_shard", tasks(), len(plain), window, progress)
        for index, store in enumerate(built):
            if len(store) != shard_size:
                raise RuntimeError(f"shard {index} is {len(store)} bytes, not {shard_size}")
            yield store

    return layout, shards_in_order()


def initiate_sharded_queries(
    engine: Engine,
    sender_data: Sequence[Row],
    receiver_data: Sequence[Row],
    sender_store: ShardedStore,
    receiver_store: ShardedStore,
    swift_pk: bytes,
    *,
    window: Optional[int] = None,
    progress: Optional[Progress] = None,
) -> bytes:
    """``initiate_queries`` against two sharded stores: query i looks up sender
    row i in its sender shard and receiver row i in its receiver shard. The
    stream is that of the unsharded call, 128 bytes per query in query order,
    for as many queries as the shorter row list has rows. At most ``window``
    tasks (by default four per task the workers run at once) are out or
    waiting to be taken, so no worker keeps more than a few results."""
    import ostrelline

    senders, receivers = plain_rows(sender_data), plain_rows(receiver_data)
    if senders is None or receivers is None:
        raise TypeError("rows must be lists or tuples of lists or tuples of str")
    # The key (and the first shards), as the single call checks them before any row.
    ostrelline.initiate_queries([], [], sender_store.shard(0), receiver_store.shard(0), swift_pk)
    queries = min(len(senders), len(receivers))
    ks, kr = sender_store.layout.shards, receiver_store.layout.shards
    groups: Dict[Tuple[int, int], List[int]] = {}
    hash_, seed = xxhash.xxh3_64_intdigest, SHARD_SEED
    for i in range(queries):
        hs = hash_(row_key(senders[i]), seed=seed)
        hr = hash_(row_key(receivers[i]), seed=seed)
        groups.setdefault((hs % ks, hr % kr), []).append(i)
    tasks: List[Tuple[int, int, List[int]]] = []
    for (s, r) in sorted(groups):
        members = groups[(s, r)]
        for a, b in chunk_bounds(len(members), engine.chunk_size):
            tasks.append((s, r, members[a:b]))

    def task_args() -> Iterator[Tuple[Tuple[Any, ...], int]]:
        # Packed as they are sent; at most a window of them is out at a time.
        for s, r, members in tasks:
            args = (row_keys([senders[i] for i in members]), row_keys([receivers[i] for i in members]),
                    sender_store.ref(s), receiver_store.ref(r), swift_pk)
            yield engine._pack([args])[0], len(members)

    if window is None:
        window = 4 * engine._parallelism()
    out = bytearray(WIDE * queries)
    results = engine._run_in_order("initiate_queries", "shard_queries", task_args(), queries, window, progress)
    for (_, _, members), stream in zip(tasks, results):
        for position, i in enumerate(members):
            out[WIDE * i : WIDE * (i + 1)] = stream[WIDE * position : WIDE * (position + 1)]
    return bytes(out)
