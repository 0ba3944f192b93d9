"""The protocol steps over chunks, common to every engine.

An engine sends one task per chunk to its workers and joins the results in
chunk order. Failures keep the meaning of the single call:

* An argument the chunks cannot be cut from or shipped faithfully (a stream
  or key that is not ``bytes``, a row list that is not a list or tuple of
  lists or tuples of ``str`` with a UTF-8 encoding) makes the step one single
  call in the calling process. The module checks those arguments before any
  work, so such a call fails at once with its own exception; anything it
  accepts after all is simply computed in one piece.
* The checks that the single call makes before any entry (stores, keys) are
  made once here, by the same operation on no entries, in the calling process.
* What is left are failures of single entries. Each chunk is one call of the
  same operation, which reads its entries in order, so the first failing chunk
  in stream order fails with the message of the first failing entry; chunks
  after it are cancelled, and the earlier ones are waited for.
* A PanicException from a worker comes back wrapped (``WorkerPanic``) and is
  raised again as the module's own PanicException, with the same arguments.
  Every other exception from a worker is raised as it came.
"""
from __future__ import annotations

import contextlib
import enum
from concurrent.futures import CancelledError
from itertools import chain
from typing import Any, Callable, ContextManager, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import ostrelline

from . import chunks
from . import faults
from ._worker import WorkerPanic
from .faults import panic_exception_type
from .layout import row_text

Progress = Callable[[str, int, int], None]


class Outcome(str, enum.Enum):
    """How a task ended, as an engine's ``_completions`` reports it."""

    OK = "ok"
    ERROR = "error"
    CANCELLED = "cancelled"

#: One row: its column strings in a list or a tuple (a bare ``str`` is not a row).
Row = Union[List[str], Tuple[str, ...]]

def is_bytes(*values: Any) -> bool:
    return all(isinstance(v, bytes) for v in values)


_ROW_TYPES = {list, tuple}
_STRING_TYPES = {str}
#: Rows checked at a time by ``plain_rows``.
_CHECK_BLOCK = 1 << 16


def plain_rows(rows: Any) -> Optional[Sequence[Sequence[str]]]:
    """``rows`` as the chunks may carry them, or None when the module is not sure
    to convert them (the step is then one call in the calling process).

    Plain means a list or tuple of lists or tuples of ``str`` that encode to
    UTF-8. The module reads a string's characters, whatever its class; pickle
    rebuilds an instance of a ``str`` subclass through the class, which may give
    other characters. Rows holding such instances are therefore copied with
    every string made an exact ``str`` of the same characters (the rows
    themselves are left alone)."""
    if type(rows) not in (list, tuple):
        return None
    if not set(map(type, rows)) <= _ROW_TYPES:
        return None
    # Checked a block of rows at a time, each check one pass in C: every
    # string is a str (join refuses anything else), the block's row keys
    # encode to UTF-8, and every string is of exactly the class str.
    exact = True
    for start in range(0, len(rows), _CHECK_BLOCK):
        block = rows[start : start + _CHECK_BLOCK]
        try:
            joined = row_text(chain.from_iterable(block))
        except TypeError:
            return None
        if not joined.isascii():
            try:
                joined.encode("utf-8")
            except UnicodeEncodeError:
                return None
        if exact and not set(map(type, chain.from_iterable(block))) <= _STRING_TYPES:
            exact = False
    if exact:
        return rows
    # str.__str__ of a subclass instance is a plain copy of its characters; a
    # subclass's own __str__ could say anything.
    return [[str.__str__(s) for s in row] for row in rows]


class ChunkFailure:
    __slots__ = ("index", "error")

    def __init__(self, index: int, error: BaseException):
        self.index = index
        self.error = error


class Engine:
    """Runs the protocol steps over chunks of ``chunk_size`` entries.

    Subclasses provide the transport: ``_submit``, ``_completions``,
    ``_cancel``, ``_share`` (chunk arguments) and ``_stores`` (the stores of
    ``initiate_queries``)."""

    def __init__(self, chunk_size: int = chunks.DEFAULT_CHUNK_SIZE):
        self.chunk_size = chunks._check_size(chunk_size)

    # ----------------------------------------------------------------- transport

    def _submit(self, operation: str, args: Tuple[Any, ...]) -> Any:
        raise NotImplementedError

    def _completions(self, handles: Sequence[Any]) -> Iterable[Tuple[Any, str, Any]]:
        """``(handle, state, value)`` for each handle as it finishes: state ``Outcome.OK``
        with the result, ``Outcome.ERROR`` with the exception, or ``Outcome.CANCELLED``."""
        raise NotImplementedError

    def _first_completed(self, handles: Sequence[Any]) -> Tuple[Any, str, Any]:
        """The first of ``handles`` to finish, as ``_completions`` gives it."""
        return next(iter(self._completions(handles)))

    def _parallelism(self) -> int:
        """How many tasks the workers run at once (1 where that is unknown)."""
        return 1

    def _key(self, handle: Any) -> Any:
        """What identifies a handle among those ``_completions`` yields."""
        return id(handle)

    def _cancel(self, handles: Sequence[Any]) -> None:
        raise NotImplementedError

    def _share(self, values: List[Any]) -> List[Any]:
        """Chunk arguments as the tasks receive them (sent as they are by default)."""
        return values

    def _pack(self, args: List[Tuple[Any, ...]]) -> List[Tuple[Any, ...]]:
        """Task arguments of other tasks than the chunks of a step, as they travel."""
        return args

    def _stores(self, sender_okvs: bytes, receiver_okvs: bytes) -> ContextManager[Tuple[Any, Any]]:
        """The two stores as the ``initiate_queries`` tasks of one run receive them,
        for as long as the run lasts (sent as they are by default)."""
        return contextlib.nullcontext((sender_okvs, receiver_okvs))

    def _secret_travels(self, step: str) -> None:
        """Called before the tasks of a step that carry a secret key are sent:
        a transport that would carry it in the clear refuses or warns here."""

    # ----------------------------------------------------------------- core

    def _run(
        self,
        step: str,
        operation: str,
        chunk_args: List[Tuple[Any, ...]],
        sizes: List[int],
        progress: Optional[Progress],
    ) -> List[Any]:
        """Runs one task per chunk; returns the results in chunk order or raises
        the failure of the first failing chunk in chunk order."""
        total = sum(sizes)
        done = 0
        if progress is not None:
            progress(step, 0, total)
        handles = [self._submit(operation, args) for args in chunk_args]
        index_of = {self._key(h): i for i, h in enumerate(handles)}
        results: List[Any] = [None] * len(handles)
        finished = [False] * len(handles)
        failure: Optional[ChunkFailure] = None
        try:
            for handle, state, value in self._completions(handles):
                i = index_of[self._key(handle)]
                if state == Outcome.CANCELLED:
                    if failure is not None and i > failure.index:
                        continue  # cancelled here, after an earlier chunk failed
                    state, value = Outcome.ERROR, CancelledError(f"chunk {i} of {step} was cancelled")
                finished[i] = True
                if state == Outcome.OK:
                    results[i] = value
                    done += sizes[i]
                    if progress is not None:
                        progress(step, done, total)
                elif failure is None or i < failure.index:
                    failure = ChunkFailure(i, value)
                    self._cancel([h for j, h in enumerate(handles[i + 1 :], i + 1) if not finished[j]])
                if failure is not None and all(finished[: failure.index]):
                    break
        except BaseException:
            self._cancel([h for j, h in enumerate(handles) if not finished[j]])
            raise
        if failure is not None:
            raise self._convert(failure, step)
        return results

    def _run_in_order(
        self,
        step: str,
        operation: str,
        tasks: Iterable[Tuple[Tuple[Any, ...], int]],
        total: int,
        window: int,
        progress: Optional[Progress],
    ) -> Iterator[Any]:
        """Runs one task per ``(arguments, entries)`` of ``tasks`` and yields the
        results in task order, each as soon as it and all before it are in.

        At most ``window`` tasks are running or finished but not yet yielded: a
        new one is sent as soon as one is taken, so the workers never wait for
        the slowest of a batch, and neither the workers nor this process hold
        more than ``window`` results (a task is let go once its result is here).
        The first failing task in task order raises its failure; the tasks
        still out are cancelled then, and when the caller stops early."""
        window = max(1, window)
        source = iter(tasks)
        out: Dict[int, Tuple[Any, int]] = {}  # index -> (handle, entries)
        finished: Dict[int, Tuple[str, Any]] = {}
        sent = taken = done = 0
        if progress is not None:
            progress(step, 0, total)
        try:
            while True:
                while len(out) + len(finished) < window:
                    task = next(source, None)
                    if task is None:
                        break
                    args, entries = task
                    out[sent] = (self._submit(operation, args), entries)
                    sent += 1
                if taken in finished:
                    state, value = finished.pop(taken)
                    if state != Outcome.OK:
                        raise self._convert(ChunkFailure(taken, value), step)
                    taken += 1
                    yield value
                    continue
                if not out:
                    return
                index_of = {self._key(handle): i for i, (handle, _) in out.items()}
                handle, state, value = self._first_completed([handle for handle, _ in out.values()])
                i = index_of[self._key(handle)]
                entries = out.pop(i)[1]
                # Let go of the task now: a Dask worker keeps a result for as
                # long as a handle to it lives, here while the next one runs.
                del handle, index_of
                if state == Outcome.CANCELLED:
                    state, value = Outcome.ERROR, CancelledError(f"task {i} of {step} was cancelled")
                finished[i] = (state, value)
                if state == Outcome.OK:
                    done += entries
                    if progress is not None:
                        progress(step, done, total)
        finally:
            self._cancel([handle for handle, _ in out.values()])

    @staticmethod
    def _convert(failure: ChunkFailure, step: str) -> BaseException:
        error = failure.error
        if isinstance(error, WorkerPanic):
            panic = panic_exception_type()(*error.args)
            report = faults.report_of(error)
            if report:
                setattr(panic, faults.REPORT_ATTRIBUTE, report)
            if hasattr(panic, "add_note"):
                panic.add_note(f"raised in a worker by chunk {failure.index} of {step}")
            return panic
        return error

    # ----------------------------------------------------------------- steps

    def build_okvs(self, public_key: bytes, strings_in_each_row: Sequence[Row]) -> bytes:
        """One store per bank: one call, run by one worker."""
        rows = plain_rows(strings_in_each_row)
        if rows is None or not is_bytes(public_key):
            return ostrelline.build_okvs(public_key, strings_in_each_row)
        (store,) = self._run("build_okvs", "build_okvs", [(public_key, rows)], [0], None)
        return store

    def initiate_queries(
        self,
        sender_data: Sequence[Row],
        receiver_data: Sequence[Row],
        sender_okvs: bytes,
        receiver_okvs: bytes,
        swift_pk: bytes,
        *,
        progress: Optional[Progress] = None,
    ) -> bytes:
        """``initiate_queries`` over slices of the two row lists."""
        senders_plain, receivers_plain = plain_rows(sender_data), plain_rows(receiver_data)
        if senders_plain is None or receivers_plain is None or not is_bytes(sender_okvs, receiver_okvs, swift_pk):
            return ostrelline.initiate_queries(sender_data, receiver_data, sender_okvs, receiver_okvs, swift_pk)
        # Stores and key, as the single call checks them before any row.
        ostrelline.initiate_queries([], [], sender_okvs, receiver_okvs, swift_pk)
        pairs = chunks.split_query_rows(senders_plain, receivers_plain, self.chunk_size)
        sizes = [min(len(s), len(r)) for s, r in pairs]
        senders = self._share([s for s, _ in pairs])
        receivers = self._share([r for _, r in pairs])
        with self._stores(sender_okvs, receiver_okvs) as (sender_store, receiver_store):
            args = [(s, r, sender_store, receiver_store, swift_pk) for s, r in zip(senders, receivers)]
            results = self._run("initiate_queries", "initiate_queries", args, sizes, progress)
        return chunks.join_bytes(results)

    def randomize(self, ciphertexts: bytes, *, progress: Optional[Progress] = None) -> bytes:
        """``randomize`` over chunks of the wide-ciphertext stream."""
        if not is_bytes(ciphertexts):
            return ostrelline.randomize(ciphertexts)
        pieces = chunks.split_stream(ciphertexts, chunks.WIDE, self.chunk_size)
        sizes = [chunks.entry_count(p, chunks.WIDE) for p in pieces]
        args = [(p,) for p in self._share(pieces)]
        return chunks.join_bytes(self._run("randomize", "randomize", args, sizes, progress))

    def combine(
        self, sender_ciphertexts: bytes, receiver_ciphertexts: bytes, *, progress: Optional[Progress] = None
    ) -> Tuple[bytes, bytes, bytes, bytes]:
        """``combine`` over chunks of the two paired streams; the four component streams."""
        if not is_bytes(sender_ciphertexts, receiver_ciphertexts):
            return ostrelline.combine(sender_ciphertexts, receiver_ciphertexts)
        pieces = chunks.split_streams([sender_ciphertexts, receiver_ciphertexts], chunks.WIDE, self.chunk_size)
        sizes = [chunks.entry_count(p[0], chunks.WIDE) for p in pieces]
        firsts = self._share([p[0] for p in pieces])
        seconds = self._share([p[1] for p in pieces])
        args = list(zip(firsts, seconds))
        results = self._run("combine", "combine", args, sizes, progress)
        return chunks.join_streams(results)  # type: ignore[return-value]

    def decrypt(self, points: bytes, bank_secret_key: bytes, *, progress: Optional[Progress] = None) -> bytes:
        """``decrypt`` over chunks of the point stream."""
        if not is_bytes(points, bank_secret_key):
            return ostrelline.decrypt(points, bank_secret_key)
        ostrelline.decrypt(b"", bank_secret_key)  # the key, as the single call checks it first
        self._secret_travels("decrypt")
        pieces = chunks.split_stream(points, chunks.POINT, self.chunk_size)
        sizes = [chunks.entry_count(p, chunks.POINT) for p in pieces]
        args = [(p, bank_secret_key) for p in self._share(pieces)]
        return chunks.join_bytes(self._run("decrypt", "decrypt", args, sizes, progress))

    def finish(
        self,
        sender_points: bytes,
        receiver_points: bytes,
        gamma_points: bytes,
        delta_points: bytes,
        swift_secret_key: bytes,
        *,
        progress: Optional[Progress] = None,
    ) -> List[bool]:
        """``finish`` over chunks of the four paired point streams."""
        streams = [sender_points, receiver_points, gamma_points, delta_points]
        if not is_bytes(*streams, swift_secret_key):
            return ostrelline.finish(sender_points, receiver_points, gamma_points, delta_points, swift_secret_key)
        ostrelline.finish(b"", b"", b"", b"", swift_secret_key)  # the key, as the single call checks it first
        self._secret_travels("finish")
        pieces = chunks.split_streams(streams, chunks.POINT, self.chunk_size)
        sizes = [chunks.entry_count(p[0], chunks.POINT) for p in pieces]
        columns = [self._share([p[k] for p in pieces]) for k in range(4)]
        args = [(s, r, g, d, swift_secret_key) for s, r, g, d in zip(*columns)]
        return chunks.join_lists(self._run("finish", "finish", args, sizes, progress))
