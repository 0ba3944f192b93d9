"""The module's fault report, kept off the terminal.

When a call of the extension module fails, the module writes a fault report
to the process's standard error (file descriptor 2) before it raises its
PanicException: a line naming the source position and the message, and,
once per process, a hint about debuggers. That is meant for a developer at
the interpreter; a tool reports the failure in its own words instead.

``captured()`` runs a block with descriptor 2 pointed at a temporary file of
the process and gives back what was written there. A module call holds the
interpreter for its whole length, so nothing else of this process's Python
writes meanwhile; what a successful call wrote (nothing, as the module
stands) is passed on to the real standard error, so no other output is lost.

``is_panic(error)`` tells the module's PanicException from every other
exception, by its class (``panic_exception_type()``): the one place where the
packages above recognise a failure of the module.
"""
from __future__ import annotations

import contextlib
import os
import sys
import tempfile
import threading
from typing import Iterator, List, Optional, Type

import ostrelline

__all__ = ["Captured", "captured", "report_of", "REPORT_ATTRIBUTE", "is_panic", "panic_exception_type"]

#: The attribute under which a failure carries the report captured with it.
REPORT_ATTRIBUTE = "fault_report"

_STDERR = 2
_lock = threading.Lock()
_inside = threading.local()


def _after_fork_in_child() -> None:
    # A child forked while another thread of the parent captured must not
    # inherit that lock held, or that thread's state.
    global _lock, _inside
    _lock = threading.Lock()
    _inside = threading.local()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
_files: dict = {}  # process id -> the temporary file; a forked child makes its own


class Captured:
    """What a block wrote to standard error (``text``, once the block ended)."""

    __slots__ = ("text",)

    def __init__(self) -> None:
        self.text = ""


def _spool() -> int:
    fd = _files.get(os.getpid())
    if fd is None:
        fd = _new_spool()
        _files[os.getpid()] = fd
    return fd


def _new_spool() -> int:
    fd, name = tempfile.mkstemp(prefix="ostrelline-faults-")
    os.unlink(name)
    return fd


def _read_all(fd: int) -> bytes:
    os.lseek(fd, 0, os.SEEK_SET)
    parts: List[bytes] = []
    while True:
        part = os.read(fd, 1 << 16)
        if not part:
            return b"".join(parts)
        parts.append(part)


@contextlib.contextmanager
def captured() -> Iterator[Captured]:
    """Runs the block with standard error captured. On an exception the
    captured text is attached to it as ``fault_report`` (see ``report_of``)
    and is not shown; on success it is written to standard error as it came."""
    result = Captured()
    if getattr(_inside, "active", False):
        yield result  # an enclosing block of this thread captures already
        return
    with _lock:
        _inside.active = True
        try:
            with _redirected(result):
                yield result
        finally:
            _inside.active = False


@contextlib.contextmanager
def _redirected(result: Captured) -> Iterator[Captured]:
    try:
        saved: Optional[int] = os.dup(_STDERR)
    except OSError:
        saved = None  # no standard error at all: nothing to keep off it
    if saved is None:
        yield result
        return
    spool = _spool()
    os.ftruncate(spool, 0)
    os.lseek(spool, 0, os.SEEK_SET)
    failed = False
    try:
        os.dup2(spool, _STDERR)
        try:
            yield result
        except BaseException as error:
            failed = True
            os.dup2(saved, _STDERR)
            result.text = _read_all(spool).decode("utf-8", "replace")
            if result.text:
                try:
                    setattr(error, REPORT_ATTRIBUTE, result.text)
                except (AttributeError, TypeError):
                    pass
            raise
    finally:
        os.dup2(saved, _STDERR)
        os.close(saved)
        if not failed:
            written = _read_all(spool)
            result.text = written.decode("utf-8", "replace")
            if written:
                os.write(_STDERR, written)
        os.ftruncate(spool, 0)


def report_of(error: BaseException) -> str:
    """The fault report captured with ``error`` ("" when none was)."""
    return str(getattr(error, REPORT_ATTRIBUTE, "") or "")


# --------------------------------------------------------------------------- the module's failure

_panic_lock = threading.Lock()
_panic_class: Optional[Type[BaseException]] = None


def _known_panic_type() -> Optional[Type[BaseException]]:
    """The module's PanicException class where the module has made it, else None."""
    global _panic_class
    if _panic_class is None:
        for kind in BaseException.__subclasses__():
            if kind.__name__ == "PanicException" and kind.__module__ == "ostrelline":
                _panic_class = kind
                break
    return _panic_class


def is_panic(error: BaseException) -> bool:
    """Whether ``error`` is the module's PanicException. Before the module's
    first failure in this process the class does not exist, and no error is
    one; nothing is provoked to tell."""
    kind = _known_panic_type()
    return kind is not None and isinstance(error, kind)


def panic_exception_type() -> Type[BaseException]:
    """The module's PanicException class (it is not an attribute of the module).

    The module makes the class on its first failure. If none has happened in
    this process, one is provoked (``randomize(None)``) with the standard error
    stream briefly pointed at the null device, so that its fault report is not
    shown."""
    global _panic_class
    known = _known_panic_type()
    if known is not None:
        return known
    with _panic_lock:
        if _panic_class is None:
            _panic_class = _provoke_panic()
    return _panic_class


def _provoke_panic() -> Type[BaseException]:
    try:
        sys.stderr.flush()
    except Exception:  # noqa: BLE001 - a closed or missing stderr changes nothing here
        pass
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 2)
        try:
            ostrelline.randomize(None)  # type: ignore[arg-type]  # the failure is the point
        except BaseException as error:  # noqa: BLE001
            return type(error)
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)
    raise RuntimeError("randomize(None) did not fail")
