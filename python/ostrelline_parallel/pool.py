"""The protocol steps over chunks on a ``concurrent.futures`` executor.

``ExecutorEngine`` runs on an executor the caller owns (any
``concurrent.futures.Executor``; a ``ProcessPoolExecutor`` gives parallel
work, since the module holds the interpreter lock for the whole of each call,
so threads do not). Chunk tasks carry their slices of the streams or rows.
The two stores of ``initiate_queries`` reach the workers of a
``ProcessPoolExecutor`` through one private temporary file per run (in
/dev/shm where there is one), which each worker reads once and keeps until
a later run replaces them; on other executors they go with every task.

The functions of the same names as the module's take ``executor=None`` to mean
a ``ProcessPoolExecutor(max_workers, mp_context)`` made for that one call;
for ``initiate_queries`` its workers receive the two stores once each, through
the executor's initializer, and the chunk tasks carry only row slices.
"""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import os
import tempfile
import uuid
from multiprocessing.context import BaseContext
from typing import Any, Iterable, Iterator, List, Optional, Sequence, Tuple

import ostrelline

from . import _worker
from ._engine import Engine, Outcome, Progress, Row
from .chunks import DEFAULT_CHUNK_SIZE

__all__ = ["ExecutorEngine", "build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"]


class ExecutorEngine(Engine):
    """The protocol steps over chunks on a ``concurrent.futures.Executor``."""

    def __init__(self, executor: cf.Executor, *, chunk_size: int = DEFAULT_CHUNK_SIZE, _stores_token: Optional[str] = None):
        super().__init__(chunk_size)
        if not isinstance(executor, cf.Executor):
            raise TypeError(f"executor must be a concurrent.futures.Executor, not {type(executor).__name__}")
        self.executor = executor
        self._stores_token = _stores_token

    def _submit(self, operation: str, args: Tuple[Any, ...]) -> cf.Future:
        return self.executor.submit(_worker.run, operation, *args)

    def _completions(self, handles: Sequence[cf.Future]) -> Iterable[Tuple[cf.Future, str, Any]]:
        for handle in cf.as_completed(handles):
            if handle.cancelled():
                yield handle, Outcome.CANCELLED, None
            elif handle.exception() is not None:
                yield handle, Outcome.ERROR, handle.exception()
            else:
                yield handle, Outcome.OK, handle.result()

    def _parallelism(self) -> int:
        return max(1, int(getattr(self.executor, "_max_workers", 1) or 1))

    def _cancel(self, handles: Sequence[cf.Future]) -> None:
        for handle in handles:
            handle.cancel()

    @contextlib.contextmanager
    def _stores(self, sender_okvs: bytes, receiver_okvs: bytes) -> Iterator[Tuple[Any, Any]]:
        if self._stores_token is not None:
            # The pool's initializer gave every worker these stores.
            yield _worker.StoreRef(self._stores_token, 0), _worker.StoreRef(self._stores_token, 1)
        elif isinstance(self.executor, cf.ProcessPoolExecutor):
            # Local worker processes: one private file for the run, which each
            # worker reads once, instead of both stores pickled into every task.
            token = uuid.uuid4().hex
            shm = "/dev/shm"
            descriptor, path = tempfile.mkstemp(prefix="ostrelline-stores-", dir=shm if os.path.isdir(shm) else None)
            try:
                with os.fdopen(descriptor, "wb") as file:
                    file.write(sender_okvs)
                    file.write(receiver_okvs)
                size = len(sender_okvs)
                yield _worker.StoreRef(token, 0, path, size), _worker.StoreRef(token, 1, path, size)
            finally:
                os.unlink(path)
        else:
            # Any other executor: the stores go with every task (for threads that copies nothing).
            yield sender_okvs, receiver_okvs


def _engine_call(executor, max_workers, mp_context, chunk_size, method, *args, **kwargs):
    if executor is not None:
        return getattr(ExecutorEngine(executor, chunk_size=chunk_size), method)(*args, **kwargs)
    with cf.ProcessPoolExecutor(max_workers=max_workers, mp_context=mp_context) as pool:
        return getattr(ExecutorEngine(pool, chunk_size=chunk_size), method)(*args, **kwargs)


def build_okvs(
    public_key: bytes,
    strings_in_each_row: Sequence[Row],
    *,
    executor: Optional[cf.Executor] = None,
) -> bytes:
    """``ostrelline.build_okvs``: one store per bank, one call. Without an executor
    it is simply called here; with one, a single task of the executor makes it."""
    if executor is None:
        return ostrelline.build_okvs(public_key, strings_in_each_row)
    return ExecutorEngine(executor).build_okvs(public_key, strings_in_each_row)


def initiate_queries(
    sender_data: Sequence[Row],
    receiver_data: Sequence[Row],
    sender_okvs: bytes,
    receiver_okvs: bytes,
    swift_pk: bytes,
    *,
    executor: Optional[cf.Executor] = None,
    max_workers: Optional[int] = None,
    mp_context: Optional[BaseContext] = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
) -> bytes:
    """``ostrelline.initiate_queries`` over slices of the row lists.

    With ``executor`` every task carries both stores. Without, a process pool of
    ``max_workers`` is made for this call whose workers get the stores once each."""
    args = (sender_data, receiver_data, sender_okvs, receiver_okvs, swift_pk)
    if executor is not None:
        return ExecutorEngine(executor, chunk_size=chunk_size).initiate_queries(*args, progress=progress)
    token = uuid.uuid4().hex
    with cf.ProcessPoolExecutor(
        max_workers=max_workers,
        mp_context=mp_context,
        initializer=_worker.install_stores,
        initargs=(token, sender_okvs, receiver_okvs),
    ) as pool:
        engine = ExecutorEngine(pool, chunk_size=chunk_size, _stores_token=token)
        return engine.initiate_queries(*args, progress=progress)


def randomize(
    ciphertexts: bytes,
    *,
    executor: Optional[cf.Executor] = None,
    max_workers: Optional[int] = None,
    mp_context: Optional[BaseContext] = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
) -> bytes:
    """``ostrelline.randomize`` over chunks of the stream."""
    return _engine_call(executor, max_workers, mp_context, chunk_size, "randomize", ciphertexts, progress=progress)


def combine(
    sender_ciphertexts: bytes,
    receiver_ciphertexts: bytes,
    *,
    executor: Optional[cf.Executor] = None,
    max_workers: Optional[int] = None,
    mp_context: Optional[BaseContext] = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
) -> Tuple[bytes, bytes, bytes, bytes]:
    """``ostrelline.combine`` over chunks of the two streams."""
    return _engine_call(
        executor, max_workers, mp_context, chunk_size, "combine", sender_ciphertexts, receiver_ciphertexts,
        progress=progress,
    )


def decrypt(
    points: bytes,
    bank_secret_key: bytes,
    *,
    executor: Optional[cf.Executor] = None,
    max_workers: Optional[int] = None,
    mp_context: Optional[BaseContext] = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
) -> bytes:
    """``ostrelline.decrypt`` over chunks of the stream."""
    return _engine_call(
        executor, max_workers, mp_context, chunk_size, "decrypt", points, bank_secret_key, progress=progress
    )


def finish(
    sender_points: bytes,
    receiver_points: bytes,
    gamma_points: bytes,
    delta_points: bytes,
    swift_secret_key: bytes,
    *,
    executor: Optional[cf.Executor] = None,
    max_workers: Optional[int] = None,
    mp_context: Optional[BaseContext] = None,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: Optional[Progress] = None,
) -> List[bool]:
    """``ostrelline.finish`` over chunks of the four streams."""
    return _engine_call(
        executor,
        max_workers,
        mp_context,
        chunk_size,
        "finish",
        sender_points,
        receiver_points,
        gamma_points,
        delta_points,
        swift_secret_key,
        progress=progress,
    )
