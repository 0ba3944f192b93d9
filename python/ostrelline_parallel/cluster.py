"""The protocol steps over chunks on a Dask cluster (``dask.distributed``).

``DaskEngine(client)`` works with any ``distributed.Client``: one connected to a
``LocalCluster`` of worker processes on this machine, or to a scheduler
address of a real cluster. The workers need ``ostrelline`` (with this package,
which the wheel contains) installed. Run them with one thread each
(``--nthreads 1``, or ``threads_per_worker=1``): the module holds the
interpreter lock for the whole of each call, so more threads in one worker
process do not work in parallel.

Chunks go to the workers with ``client.scatter`` (row lists, and the match
lists coming back, as one pickled byte string each: Dask would serialise
them item by item, which is slow); the two stores of
``initiate_queries`` are scattered once to every worker
(``broadcast=True``) and each task refers to them, so they are not shipped
with every task. Tasks are submitted with ``pure=False``: two randomizations
of one stream are two separate computations with their own random scalars.
"""
from __future__ import annotations

import contextlib
from concurrent.futures import CancelledError
from typing import Any, Iterable, Iterator, List, Sequence, Tuple

import distributed

from . import _worker
from ._engine import Engine
from .chunks import DEFAULT_CHUNK_SIZE

__all__ = ["DaskEngine"]


class DaskEngine(Engine):
    """The protocol steps over chunks on the workers of a ``distributed.Client``."""

    def __init__(self, client: distributed.Client, *, chunk_size: int = DEFAULT_CHUNK_SIZE):
        super().__init__(chunk_size)
        if not isinstance(client, distributed.Client):
            raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")
        self.client = client

    def _submit(self, operation: str, args: Tuple[Any, ...]) -> distributed.Future:
        return self.client.submit(_worker.run_packed, operation, *args, pure=False)

    def _completions(self, handles: Sequence[distributed.Future]) -> Iterable[Tuple[distributed.Future, str, Any]]:
        # Results are fetched in the background as tasks finish, not one round trip each.
        for future, value in distributed.as_completed(handles, with_results=True, raise_errors=False):
            if future.status == "cancelled" or isinstance(value, CancelledError):
                yield future, "cancelled", None
            elif future.status == "error":
                yield future, "error", value[1] if isinstance(value, tuple) else value
            else:
                yield future, "ok", value.value() if isinstance(value, _worker.Packed) else value

    def _key(self, handle: distributed.Future) -> Any:
        return handle.key

    def _cancel(self, handles: Sequence[distributed.Future]) -> None:
        if handles:
            self.client.cancel(list(handles))

    def _share(self, values: List[Any]) -> List[Any]:
        # One scattered piece per chunk: the data goes to the workers directly,
        # not through the scheduler inside the task graph; row lists packed.
        packed = [v if isinstance(v, bytes) else _worker.Packed.of(v) for v in values]
        return self.client.scatter(packed, hash=False)

    @contextlib.contextmanager
    def _stores(self, sender_okvs: bytes, receiver_okvs: bytes) -> Iterator[Tuple[Any, Any]]:
        futures = [self.client.scatter(store, broadcast=True, hash=False) for store in (sender_okvs, receiver_okvs)]
        try:
            yield futures[0], futures[1]
        finally:
            self.client.cancel(futures)
