"""The module's calls as the steps make them: one call (or an engine's step)
with its PanicException turned into ``ModuleError``, cut into chunks that
keep Ctrl-C responsive and report progress, and a failing chunk's entry
found again in the files it came from."""
from __future__ import annotations

import contextlib
import time
from typing import Any, Callable, Optional, Sequence, Tuple

import ostrelline
from ostrelline_parallel import faults, is_panic

from .. import engines as _engines
from ..errors import Extra, MissingDependencyError, ModuleError, PathLike
from ..files import StoredFile

__all__ = [
    "Progress", "DEFAULT_CHUNK_SIZE", "call_module", "located", "Chunks", "chunker", "operation_of", "sharded_module",
    "sharded_missing",
]

Progress = Callable[[str, int, int], None]

#: Largest number of entries given to one call of the module.
DEFAULT_CHUNK_SIZE = 4096
# A call should take about this long, so that Ctrl-C acts well within two seconds.
_CALL_SECONDS = 0.25
_FIRST_CHUNK = 256


def call_module(step: str, function: Callable[..., Any], *args: Any, capture: bool = True) -> Any:
    """One module call (or, with ``capture`` false, an engine's step, whose
    workers capture for themselves); its PanicException comes back as
    ModuleError with its message, and the module's fault report, kept off
    standard error, rides along on the error."""
    failure = None
    try:
        with faults.captured() if capture else contextlib.nullcontext():
            return function(*args)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not is_panic(error):
            raise
        failure = ModuleError(step, str(error.args[0]) if error.args else str(error), report=faults.report_of(error))
    raise failure


# The scalar 1 as a secret key: ``decrypt`` with it refuses exactly the
# entries holding a point that does not decode, and changes nothing else.
_UNIT_KEY = b"\x01" + bytes(31)
_POINT = 32


def _decodes(points: bytes) -> bool:
    try:
        with faults.captured():
            ostrelline.decrypt(points, _UNIT_KEY)
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        if not is_panic(error):
            raise
        return False
    return True


def _first_undecodable(data: bytes, width: int) -> Optional[int]:
    """The first entry of ``data`` (entries of ``width`` bytes, whole points)
    holding a point that does not decode; None when every point decodes."""
    if _decodes(data):
        return None
    for index in range(len(data) // width):
        if not _decodes(data[index * width : (index + 1) * width]):
            return index
    return None


def located(call: Callable[[int, int], None], sources: Sequence[Tuple[PathLike, StoredFile]]) -> Callable[[int, int], None]:
    """``call(start, stop)`` over entries of the stream files ``sources``; a
    ModuleError it raises is raised again naming the first file and entry of
    the failing range whose points do not decode (checked one entry at a
    time only after the failure, so the work is not repeated otherwise)."""

    def checked(start: int, stop: int) -> None:
        try:
            call(start, stop)
        except ModuleError as error:
            for path, stored in sources:
                width = stored.kind.entry_width or _POINT
                bad = _first_undecodable(stored.entries(start, stop), width)
                if bad is not None:
                    raise error.located(path, start + bad, "a point of the entry does not decode") from None
            raise

    return checked


class Chunks:
    """Cuts a step's entries into the module's calls: small at first, then sized
    so that a call takes about ``_CALL_SECONDS`` (Ctrl-C is acted on between
    calls), never more than ``limit`` entries; reports progress after each.

    A call's cost is its entries': the module reads a store in place, so
    even ``initiate_queries`` on two stores of a million rows each costs
    about 0.2 ms before its first query, against about 30 us a query. The
    size follows the latest call's time per entry, growing at most fourfold
    from one call to the next, so that one fast call (a warm cache, a lucky
    chunk) cannot make the next one last seconds."""

    def __init__(self, step: str, total: int, limit: int, progress: Optional[Progress]):
        if limit < 1:
            raise ValueError("chunk size must be at least 1")
        self.step, self.total, self.limit, self.progress = step, total, limit, progress
        self.size = min(limit, _FIRST_CHUNK)
        self.done = 0
        self._report()

    def _report(self) -> None:
        if self.progress is not None:
            self.progress(self.step, self.done, self.total)

    def run(self, count: int, call: Callable[[int, int], None]) -> None:
        """Calls ``call(start, stop)`` over ``[0, count)`` in chunks."""
        start = 0
        while start < count:
            stop = min(count, start + self.size)
            began = time.monotonic()
            call(start, stop)
            self._observe(stop - start, time.monotonic() - began)
            self.done += stop - start
            start = stop
            self._report()

    def _observe(self, entries: int, elapsed: float) -> None:
        per_entry = max(elapsed / entries, 1e-9)
        size = min(int(_CALL_SECONDS / per_entry), 4 * self.size)
        self.size = max(16, min(self.limit, size))


def chunker(step: str, total: int, chunk_size: int, progress: Optional[Progress], engine: Optional[Any]) -> Any:
    """The chunking of a step: calls of the module here, or windows of the engine's chunks."""
    if engine is None:
        return Chunks(step, total, chunk_size, progress)
    return _engines.Windows(step, total, engine, progress)


def operation_of(chunker: Any, step: str, name: Any) -> Callable[..., Any]:
    """The operation ``name`` of the module as ``chunker`` runs it: one call here,
    or the engine's step over its workers (``name`` may then be a function
    taking the engine first); a PanicException comes back as ModuleError."""
    if isinstance(chunker, _engines.Windows):
        engine_step = chunker.function(name)
        return lambda *args: call_module(step, engine_step, *args, capture=False)
    function = getattr(ostrelline, name)
    return lambda *args: call_module(step, function, *args)


def sharded_module() -> Any:
    """The module that builds and reads sharded stores, or None where their
    hash (xxhash) is not installed."""
    try:
        from .. import sharded
    except ImportError as error:
        if error.name != "xxhash":
            raise
        return None
    return sharded


def sharded_missing() -> MissingDependencyError:
    return MissingDependencyError("a sharded store", "xxhash", Extra.TOOLS)

