"""What runs in a worker process: one call of the extension module per chunk.

The module's PanicException cannot cross a process boundary: the class is
made by the module at run time and is not an attribute of it, so pickle cannot
find it by name. A worker therefore wraps it in WorkerPanic, an ordinary
Exception with the same arguments, which pickles; the driver turns it back
into the PanicException of its own process (see ``_engine``). Every other
exception passes unchanged.
"""
from __future__ import annotations

import importlib
import pickle
from typing import Any, Optional, Tuple

import ostrelline

from . import faults
from .faults import is_panic

# The operations a chunk may run; key_gen has no stream to cut.
OPERATIONS = frozenset({"build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"})
# Tasks of the sharded stores: (module, function), imported where they run.
SHARD_TASKS = {
    "build_shard": ("ostrelline_parallel.shards", "build_shard"),
    "shard_queries": ("ostrelline_parallel.shards", "shard_queries"),
    "build_staged_shard": ("ostrelline_parallel.pipeline", "build_staged_shard"),
}


class WorkerPanic(Exception):
    """A PanicException raised by the module in a worker, carried back with its arguments."""

    @property
    def message(self) -> str:
        return self.args[0] if self.args else ""


class StoreRef:
    """Stands for one of the two stores of an ``initiate_queries`` run, held by
    the worker: installed by ``install_stores``, or read once from ``path``
    (the sender store, ``sender_size`` bytes, then the receiver store)."""

    __slots__ = ("token", "side", "path", "sender_size")

    def __init__(self, token: str, side: int, path: Optional[str] = None, sender_size: int = 0):
        self.token = token
        self.side = side
        self.path = path
        self.sender_size = sender_size

    def __reduce__(self):
        return (StoreRef, (self.token, self.side, self.path, self.sender_size))

    def __repr__(self) -> str:
        return f"StoreRef({self.token!r}, {self.side}, {self.path!r}, {self.sender_size})"


# The stores of the latest run this worker took part in: (token, sender, receiver).
_held: Optional[Tuple[str, bytes, bytes]] = None


def install_stores(token: str, sender_okvs: bytes, receiver_okvs: bytes) -> None:
    """Executor initializer: keeps the two stores of one ``initiate_queries`` run in this worker."""
    global _held
    _held = (token, sender_okvs, receiver_okvs)


def _resolve(value: Any) -> Any:
    global _held
    if not isinstance(value, StoreRef):
        return value
    if _held is None or _held[0] != value.token:
        if value.path is None:
            raise RuntimeError("this worker holds no stores for this run (was the executor made by the driver?)")
        with open(value.path, "rb") as file:
            both = file.read()
        _held = None  # the stores of an earlier run go first
        _held = (value.token, both[: value.sender_size], both[value.sender_size :])
    return _held[1 + value.side]


class Packed:
    """A value carried as one pickled byte string. Dask serialises a list item
    by item, which is slow for row lists and lists of bools; bytes go through
    it as they are."""

    __slots__ = ("data",)

    def __init__(self, data: bytes):
        self.data = data

    @classmethod
    def of(cls, value: Any) -> "Packed":
        return cls(pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))

    def value(self) -> Any:
        return pickle.loads(self.data)

    def __reduce__(self):
        return (Packed, (self.data,))


def hold(value: Any) -> Any:
    """A task that gives back its argument: a value kept in the task graph,
    which the scheduler can compute again when the workers holding it are lost."""
    return value


def run(operation: str, *args: Any) -> Any:
    """Calls ``ostrelline.<operation>(*args)``, wrapping a PanicException in WorkerPanic."""
    if operation in SHARD_TASKS:
        module, name = SHARD_TASKS[operation]
        function = getattr(importlib.import_module(module), name)
    elif operation in OPERATIONS:
        function = getattr(ostrelline, operation)
    else:
        raise ValueError(f"unknown operation {operation!r}")
    args = tuple(_resolve(a) for a in args)
    failure = None
    try:
        if operation in SHARD_TASKS:
            # Python around the module's calls, which other threads of a
            # worker may run beside: standard error is left as it is.
            return function(*args)
        # The module's fault report goes back with the failure, not to the
        # worker's standard error (a pool worker shares the caller's terminal).
        with faults.captured():
            return function(*args)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not is_panic(error):
            raise
        failure = WorkerPanic(*error.args)
        report = faults.report_of(error)
        if report:
            setattr(failure, faults.REPORT_ATTRIBUTE, report)
    # Raised outside the handler, so that nothing unpicklable hangs on it.
    raise failure


def run_packed(operation: str, *args: Any) -> Any:
    """``run`` with Packed arguments unpacked, and a list result packed."""
    result = run(operation, *(a.value() if isinstance(a, Packed) else a for a in args))
    return Packed.of(result) if isinstance(result, list) else result
