"""The protocol steps over chunks on a Dask cluster (``dask.distributed``).

``DaskEngine(client)`` works with any ``distributed.Client``: one connected to a
``LocalCluster`` of worker processes on this machine, or to a scheduler
address of a real cluster. The workers need ``ostrelline`` (with this package,
which the wheel contains) installed. Run them with one thread each
(``--nthreads 1``, or ``threads_per_worker=1``): the module holds the
interpreter lock for the whole of each call, so more threads in one worker
process do not work in parallel.

Every input of a task is part of the task graph the scheduler keeps: chunk
slices go inside their tasks (row lists, and the match lists coming back, as
one pickled byte string each: Dask would serialise them item by item, which
is slow), and each of the two stores of ``initiate_queries`` is one task of
its own that returns it, which the chunk tasks depend on (a worker fetches it
once from a worker that has it). No input lives only in the memory of one
worker, so when a worker is lost in mid-step the scheduler runs its tasks again
elsewhere (and the store tasks, if no other worker held a copy). A task that
kills every worker it is tried on fails with Dask's ``KilledWorker``, which
names the task and the last worker. Tasks are submitted with ``pure=False``:
two randomizations of one stream are two separate computations with their own
random scalars.

``decrypt`` and ``finish`` send a secret key to the workers. They refuse
(``PlainTransportError``) when the scheduler or a worker is reached over a
transport without encryption, i.e. anything but ``tls://`` (Dask's TLS, see
``distributed.security.Security``) or ``inproc://`` (one process); with
``allow_plain_secrets=True`` they go ahead with a ``PlainTransportWarning``
each time.
"""
from __future__ import annotations

import contextlib
import warnings
from concurrent.futures import CancelledError
from typing import Any, Iterable, Iterator, List, Sequence, Tuple

import distributed

from . import _worker
from ._engine import Engine, Outcome
from .chunks import DEFAULT_CHUNK_SIZE

__all__ = ["DaskEngine", "PlainTransportError", "PlainTransportWarning"]

#: Address schemes over which a secret key may travel: encrypted, or within one process.
PROTECTED_SCHEMES = ("tls://", "inproc://")


class PlainTransportError(RuntimeError):
    """A secret key would travel to the scheduler or a worker without encryption."""


class PlainTransportWarning(UserWarning):
    """A secret key travels to the scheduler or workers without encryption, as the caller allowed."""


class DaskEngine(Engine):
    """The protocol steps over chunks on the workers of a ``distributed.Client``."""

    def __init__(
        self,
        client: distributed.Client,
        *,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
        allow_plain_secrets: bool = False,
    ):
        super().__init__(chunk_size)
        if not isinstance(client, distributed.Client):
            raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")
        self.client = client
        self.allow_plain_secrets = bool(allow_plain_secrets)

    def plain_addresses(self) -> List[str]:
        """The scheduler and worker addresses a message would reach without encryption."""
        addresses = [self.client.scheduler.address]
        addresses += list(self.client.scheduler_info(n_workers=-1).get("workers", {}))
        return [a for a in addresses if not str(a).startswith(PROTECTED_SCHEMES)]

    def _secret_travels(self, step: str) -> None:
        plain = self.plain_addresses()
        if not plain:
            return
        where = ", ".join(plain[:4]) + (f" and {len(plain) - 4} more" if len(plain) > 4 else "")
        message = f"{step} would send a secret key without encryption to {where}"
        if not self.allow_plain_secrets:
            raise PlainTransportError(
                f"{message}; connect the cluster with TLS (distributed.security.Security), "
                "or pass allow_plain_secrets=True to DaskEngine to send it anyway"
            )
        warnings.warn(f"{message} (allow_plain_secrets=True)", PlainTransportWarning, stacklevel=3)

    def _submit(self, operation: str, args: Tuple[Any, ...]) -> distributed.Future:
        return self.client.submit(_worker.run_packed, operation, *args, pure=False)

    # Both waits below name this engine's client's event loop. Without it,
    # Dask's as_completed and wait track the futures on the loop of the
    # process's default client (the last one made): with two clients in one
    # process (a bank's cluster and the payment network's, say) a step's
    # futures were then tracked from another client's loop, and now and then
    # a finished step was never seen to finish, or a later call to this
    # client never returned.

    def _completions(self, handles: Sequence[distributed.Future]) -> Iterable[Tuple[distributed.Future, str, Any]]:
        # Results are fetched in the background as tasks finish, not one round trip each.
        completed = distributed.as_completed(handles, loop=self.client.loop, with_results=True, raise_errors=False)
        for future, value in completed:
            if future.status == "cancelled" or isinstance(value, CancelledError):
                yield future, Outcome.CANCELLED, None
            elif future.status == "error":
                yield future, Outcome.ERROR, value[1] if isinstance(value, tuple) else value
            else:
                yield future, Outcome.OK, value.value() if isinstance(value, _worker.Packed) else value

    def _first_completed(self, handles: Sequence[distributed.Future]) -> Tuple[distributed.Future, str, Any]:
        # Only the finished task's result is fetched, not those of the others;
        # the others are no longer tracked (each tracker lets its future go
        # when that finishes).
        tracker = distributed.as_completed(list(handles), loop=self.client.loop)
        future = next(tracker)
        tracker.clear()
        if future.status == "cancelled":
            return future, Outcome.CANCELLED, None
        if future.status == "error":
            return future, Outcome.ERROR, future.exception()
        try:
            value = future.result()
        except CancelledError:
            return future, Outcome.CANCELLED, None
        return future, Outcome.OK, value.value() if isinstance(value, _worker.Packed) else value

    def _parallelism(self) -> int:
        workers = self.client.scheduler_info(n_workers=-1).get("workers", {})
        return max(1, sum(int(w.get("nthreads", 1)) for w in workers.values()))

    def _key(self, handle: distributed.Future) -> Any:
        return handle.key

    def _cancel(self, handles: Sequence[distributed.Future]) -> None:
        if handles:
            self.client.cancel(list(handles))

    def _share(self, values: List[Any]) -> List[Any]:
        # Chunk slices travel inside their tasks, so that the scheduler can run a
        # task again elsewhere when its worker is lost; row lists packed.
        return [v if isinstance(v, bytes) else _worker.Packed.of(v) for v in values]

    def _pack(self, args: List[Tuple[Any, ...]]) -> List[Tuple[Any, ...]]:
        return [tuple(_worker.Packed.of(a) if isinstance(a, list) else a for a in task) for task in args]

    @contextlib.contextmanager
    def _stores(self, sender_okvs: bytes, receiver_okvs: bytes) -> Iterator[Tuple[Any, Any]]:
        # One task per store: the scheduler keeps the bytes with the task, and the
        # chunk tasks depend on it, so each worker fetches the store once.
        futures = [self.client.submit(_worker.hold, store, pure=False) for store in (sender_okvs, receiver_okvs)]
        try:
            yield futures[0], futures[1]
        finally:
            self.client.cancel(futures)
