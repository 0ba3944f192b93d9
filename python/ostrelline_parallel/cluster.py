"""The protocol steps over chunks on a Dask cluster (``dask.distributed``).

``DaskEngine(client)`` works with any ``distributed.Client``: one connected to a
``LocalCluster`` of worker processes on this machine, or to a scheduler
address of a real cluster. The workers need ``ostrelline`` (with this package,
which the wheel contains) installed. Run them with one thread each
(``--nthreads 1``, or ``threads_per_worker=1``): the module holds the
interpreter lock for the whole of each call, so more threads in one worker
process do not work in parallel.

Chunks go to the workers with ``client.scatter``; the two stores of
``initiate_queries`` are scattered once to every worker
(``broadcast=True``) and each task refers to them, so they are not shipped
with every task. Tasks are submitted with ``pure=False``: two randomizations
of one stream are two separate computations with their own random scalars.
"""
from __future__ import annotations

from typing import Any, Iterable, List, Sequence, Tuple

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
        return self.client.submit(_worker.run, operation, *args, pure=False)

    def _as_completed(self, handles: Sequence[distributed.Future]) -> Iterable[distributed.Future]:
        return distributed.as_completed(handles)

    def _key(self, handle: distributed.Future) -> Any:
        return handle.key

    def _outcome(self, handle: distributed.Future) -> Tuple[bool, Any]:
        if handle.status == "error":
            return False, handle.exception()
        return True, handle.result()

    def _cancelled(self, handle: distributed.Future) -> bool:
        return handle.status == "cancelled"

    def _cancel(self, handles: Sequence[distributed.Future]) -> None:
        if handles:
            self.client.cancel(list(handles))

    def _share(self, values: List[Any]) -> List[Any]:
        # One scattered piece per chunk: the data goes to the workers directly,
        # not through the scheduler inside the task graph.
        return self.client.scatter(list(values), hash=False)

    def _share_stores(self, sender_okvs: bytes, receiver_okvs: bytes) -> Tuple[Any, Any]:
        return (
            self.client.scatter(sender_okvs, broadcast=True, hash=False),
            self.client.scatter(receiver_okvs, broadcast=True, hash=False),
        )
