"""The exceptions of the party tools.

Every failure the tools report derives from ``ToolError``, an ordinary
``Exception``, so that ``except Exception`` and ``except ToolError`` catch it:

* ``BadFileError`` (also a ``ValueError``): a file the tools refuse (wrong
  kind, truncated, corrupted, made for another party or run); ``path`` names
  the file, ``problem`` says what is wrong with it. Where the operating
  system's refusal is the cause, the error is also the standard one:
  ``MissingFileError`` is a ``FileNotFoundError``, ``FileAccessError`` a
  ``PermissionError``, and ``OutputExistsError`` (an output that exists and
  is not to be replaced) a ``FileExistsError``; their ``errno`` and
  ``filename`` are set as the standard errors' are.
* ``KeyMismatchError`` (a ``BadFileError``): a file made under or for another
  key than the one it is used with.
* ``InputError`` (a ``BadFileError``): an input table the tools cannot read as rows (missing
  column, empty cell, unsupported column type, unreadable file).
* ``UsageError`` (also a ``ValueError``): an argument a step refuses before it
  reads anything (a role, a construction, CSV options, an output suffix).
* ``ModuleError``: a failure inside the extension module (its PanicException,
  a ``BaseException`` that is not an attribute of the module), raised again
  with the module's message, the input file and the first entry at fault
  where the step can tell.
* ``MissingDependencyError`` (also an ``ImportError``): an optional package
  that a step needs is not installed; the message names the extra of the
  distribution that brings it (``Extra``).

Ctrl-C still raises ``KeyboardInterrupt``, and a termination signal (SIGTERM,
SIGHUP) raises ``Terminated`` where the command has installed its handlers
(``on_stopping_signals``); nothing is written then.
"""
from __future__ import annotations

import contextlib
import enum
import errno
import os
import signal
import threading
from typing import Any, Iterator, Optional, Union

__all__ = [
    "ToolError",
    "BadFileError",
    "KeyMismatchError",
    "InputError",
    "MissingFileError",
    "FileAccessError",
    "OutputExistsError",
    "UsageError",
    "ModuleError",
    "Extra",
    "MissingDependencyError",
    "ToolWarning",
    "Terminated",
    "STOPPING_SIGNALS",
    "on_stopping_signals",
    "os_failure",
]

PathLike = Union[str, "os.PathLike[str]"]


class ToolError(Exception):
    """Base class of every failure the party tools report."""


class BadFileError(ToolError, ValueError):
    """A file that is refused: ``path`` is the file, ``problem`` what is wrong with it."""

    def __init__(self, path: PathLike, problem: str):
        self.path = os.fspath(path)
        self.problem = problem
        super().__init__(f"{self.path}: {problem}")

    def __str__(self) -> str:
        # The standard bases of the subclasses below would format errno and filename instead.
        return f"{self.path}: {self.problem}"


class _SystemRefusal(BadFileError):
    """A refused file that is also the operating system's error ``code``."""

    code = 0
    errno: Optional[int]
    strerror: Optional[str]

    def __init__(self, path: PathLike, problem: str):
        super().__init__(path, problem)
        self.errno = self.code
        self.strerror = os.strerror(self.code)
        self.filename = self.path


class MissingFileError(_SystemRefusal, FileNotFoundError):
    """A file that does not exist (also a ``FileNotFoundError``)."""

    code = errno.ENOENT


class FileAccessError(_SystemRefusal, PermissionError):
    """A file this process may not read or write (also a ``PermissionError``)."""

    code = errno.EACCES


class OutputExistsError(_SystemRefusal, FileExistsError):
    """An output that exists and is not to be replaced (also a ``FileExistsError``)."""

    code = errno.EEXIST


class KeyMismatchError(BadFileError):
    """A file made under or for a key other than the one it is used with."""


class InputError(BadFileError):
    """An input table that cannot be read as rows."""


class UsageError(ToolError, ValueError):
    """An argument of a step that is refused before anything is read."""


def os_failure(path: PathLike, error: OSError, doing: str = "read", table: bool = False) -> BadFileError:
    """The refusal of ``path`` for the operating system's ``error`` while it was
    being ``doing`` ("read" or "written"): a ``MissingFileError`` or a
    ``FileAccessError`` where the error is one of those (an ``InputError``,
    for a table, otherwise).

    Returns:
        The error to raise.

    Raises:
        Nothing of its own.
    """
    problem = f"cannot be {doing} ({error.strerror or error})"
    if isinstance(error, FileNotFoundError):
        return MissingFileError(path, problem)
    if isinstance(error, PermissionError):
        return FileAccessError(path, problem)
    return InputError(path, problem) if table else BadFileError(path, problem)


class Extra(enum.Enum):
    """The extras of the ``ostrelline`` distribution (pyproject.toml), by what they bring."""

    #: pyarrow (CSV and Parquet tables) and xxhash (sharded stores).
    TOOLS = "tools"
    #: dask and distributed (``--scheduler``).
    CLUSTER = "cluster"


class MissingDependencyError(ToolError, ImportError):
    """An optional package is not installed: ``feature`` needs ``packages``,
    which the extra ``extra`` installs."""

    def __init__(self, feature: str, packages: str, extra: Extra):
        self.feature = feature
        self.packages = packages
        self.extra = extra
        super().__init__(f"{feature} needs {packages} (pip install 'ostrelline[{extra.value}]')")


class ToolWarning(UserWarning):
    """Something about a file that the step goes on despite (a table whose
    values would match only as written, a store that records no column
    names): ``path`` is the file, ``problem`` what was noticed. Raised through
    ``warnings.warn``; the command prints it as one line."""

    def __init__(self, path: PathLike, problem: str):
        self.path = os.fspath(path)
        self.problem = problem
        super().__init__(f"{self.path}: {problem}")


class ModuleError(ToolError):
    """A failure inside the extension module, with the module's message.

    ``path`` and ``entry``, where known, name the input file and the first
    entry of it that the module refuses (a point that does not decode, say);
    ``report`` is the module's own fault report, which the tools keep off
    the terminal (the command shows it with --verbose)."""

    def __init__(
        self,
        step: str,
        message: str,
        path: Optional[PathLike] = None,
        entry: Optional[int] = None,
        report: str = "",
    ):
        self.step = step
        self.message = message
        self.path = None if path is None else os.fspath(path)
        self.entry = entry
        self.report = report
        where = ""
        if self.path is not None:
            where = f"{self.path}: " + (f"entry {entry}: " if entry is not None else "")
        super().__init__(f"{where}{step} failed inside the module: {message}")

    def located(self, path: PathLike, entry: Optional[int] = None, why: str = "") -> "ModuleError":
        """The same failure, naming the file (and entry) that caused it.

        Returns:
            The new ``ModuleError``.

        Raises:
            Nothing of its own.
        """
        message = f"{self.message} ({why})" if why else self.message
        return ModuleError(self.step, message, path, entry, self.report)


#: The signals that stop a step like Ctrl-C does: its outputs are removed.
STOPPING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


class Terminated(BaseException):
    """A termination signal arrived during a step (like ``KeyboardInterrupt``,
    not an ``Exception``, so that nothing catches it on the way out)."""

    def __init__(self, signum: int):
        self.signum = signum
        super().__init__(f"terminated by {signal.Signals(signum).name}")


def _raise_terminated(signum: int, _frame: Any) -> None:
    raise Terminated(signum)


@contextlib.contextmanager
def on_stopping_signals() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise ``Terminated`` so that the
    step unwinds and removes what it was writing; a signal ignored before
    (``nohup``) stays ignored. Only the main thread can install handlers;
    elsewhere the block runs as it is.

    Returns:
        A context manager.

    Raises:
        Terminated: inside the block, when SIGTERM or SIGHUP arrives.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for number in STOPPING_SIGNALS:
        if signal.getsignal(number) is not signal.SIG_IGN:
            previous[number] = signal.signal(number, _raise_terminated)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
