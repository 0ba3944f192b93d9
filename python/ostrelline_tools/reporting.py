"""What the command tells: its output, its messages and its JSON report.

Everything goes through the standard ``logging`` module, on the logger
``ostrelline_tools`` (``LOGGER``):

* the command's output (what a step wrote, ``inspect``'s listing) is INFO
  records marked as output, written to standard output;
* warnings and errors are WARNING and ERROR records on standard error
  ("ostrelline: warning: ...", "ostrelline: error: ...");
* the detail shown with ``-v`` (each file read and written with its kind,
  entries and key fingerprint, timings, the module's fault report on a
  failure) is DEBUG records on standard error.

The level is INFO by default; ``-q`` raises it to WARNING (no output, the
warnings and errors still shown), ``-qq`` to ERROR, and ``-v`` lowers it to
DEBUG. With ``--json`` the output records are not written: one JSON object
(``StepReport``) is the whole of standard output.

Names and metadata come from files another party wrote, so what reaches a
terminal is passed through ``shown`` (control characters escaped).
"""
from __future__ import annotations

import contextlib
import json
import logging
import os
import sys
import time
from typing import Any, Dict, Iterator, List, Optional

from . import files
from .errors import PathLike

__all__ = [
    "LOGGER", "shown", "say", "detail", "configure", "level_for", "StepReport", "write_json", "write_stdout",
    "output_closed",
]

LOGGER = logging.getLogger("ostrelline_tools")

_OUTPUT = "ostrelline_output"  # the attribute that marks a record as the command's output


def shown(text: object) -> str:
    """``text`` as it may go to a terminal: names and metadata come from files
    another party wrote, so control characters (escape sequences that would
    move the cursor, retitle the window or hide a line) are written escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in str(text))


def say(text: str) -> None:
    """One line of the command's output (standard output, unless ``-q`` or ``--json``)."""
    LOGGER.info(text, extra={_OUTPUT: True})


def detail(text: str) -> None:
    """One line of detail, shown with ``-v``."""
    LOGGER.debug(text)


def level_for(verbose: int, quiet: int) -> int:
    """The logger's level for ``-v`` given ``verbose`` times and ``-q`` ``quiet`` times."""
    steps = [logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR]
    return steps[max(0, min(len(steps) - 1, 1 + quiet - verbose))]


def output_closed() -> None:
    """Standard output's reader is gone: what is left of the output, and what
    the interpreter would flush at exit, goes to the null device instead (as
    the Python documentation recommends for a closed pipe)."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    finally:
        os.close(devnull)


def write_stdout(text: str) -> None:
    """``text`` on standard output, flushed; a reader gone ends the output quietly."""
    stream = sys.stdout
    if stream is None:  # started with standard output closed
        return
    try:
        stream.write(text)
        stream.flush()
    except BrokenPipeError:
        output_closed()
    except ValueError:  # closed in this process
        pass


class _Output(logging.Handler):
    """The command's output records, each a line on standard output."""

    def __init__(self, enabled: bool, to_stderr: bool = False) -> None:
        super().__init__()
        self.enabled = enabled
        self.to_stderr = to_stderr

    def filter(self, record: logging.LogRecord) -> bool:
        return self.enabled and bool(getattr(record, _OUTPUT, False))

    def emit(self, record: logging.LogRecord) -> None:
        if not self.to_stderr:
            write_stdout(record.getMessage() + "\n")
            return
        try:
            sys.stderr.write(record.getMessage() + "\n")
            sys.stderr.flush()
        except (AttributeError, OSError, ValueError):
            pass


class _Messages(logging.Handler):
    """Every other record, one line on standard error ("ostrelline: LEVEL: ...").
    Written to the standard error of the moment, so that a caller that
    replaces ``sys.stderr`` (a test's capture) sees them."""

    LABELS = {logging.ERROR: "error: ", logging.CRITICAL: "error: ", logging.WARNING: "warning: "}

    def __init__(self, before: Optional[Any] = None) -> None:
        super().__init__()
        self.before = before  # called before each message: ends a progress bar's line

    def filter(self, record: logging.LogRecord) -> bool:
        return not getattr(record, _OUTPUT, False)

    def emit(self, record: logging.LogRecord) -> None:
        label = "" if getattr(record, "plain", False) else self.LABELS.get(record.levelno, "")
        stream = sys.stderr
        if stream is None:
            return
        try:
            if self.before is not None:
                self.before()
            stream.write(shown(f"ostrelline: {label}{record.getMessage()}") + "\n")
            stream.flush()
        except (OSError, ValueError):
            pass  # standard error gone: nowhere left to tell


@contextlib.contextmanager
def configure(
    level: int, output: bool = True, before_message: Optional[Any] = None, to_stderr: bool = False
) -> Iterator[None]:
    """The command's handlers on ``LOGGER`` for the length of a run, at
    ``level``; ``output`` false leaves the output records unwritten (JSON),
    ``to_stderr`` writes them to standard error (standard output carries
    data: results, a payload); ``before_message`` is called before each
    message (it ends a progress bar's line). The logger's own level, handlers and propagation are
    restored afterwards, so that a program calling ``cli.main`` twice, or
    logging on its own, is left as it was."""
    handlers = [_Output(output, to_stderr), _Messages(before_message)]
    saved = (LOGGER.level, LOGGER.propagate)
    LOGGER.setLevel(level)
    LOGGER.propagate = False
    for handler in handlers:
        LOGGER.addHandler(handler)
    try:
        yield
    finally:
        for handler in handlers:
            LOGGER.removeHandler(handler)
        LOGGER.setLevel(saved[0])
        LOGGER.propagate = saved[1]


def _file_entry(path: PathLike, what: str, **fields: Any) -> Dict[str, Any]:
    """A file read or written: its path and what it is to the step, and where
    it is one of the tools' files, its header's kind, entries, key
    fingerprint and payload checksum, in hex."""
    entry: Dict[str, Any] = {"path": os.fspath(path), "what": what}
    text = os.fspath(path)
    if text != "-" and os.path.isfile(text):
        entry["bytes"] = os.path.getsize(text)
        try:
            header = files.read_header(text)
        except Exception:  # noqa: BLE001 - a table, or a file the step has already judged
            pass
        else:
            entry.update(
                kind=header.kind,
                entries=header.count,
                fingerprint=header.fingerprint.hex(),
                payload_checksum=header.payload_checksum.hex(),
            )
    entry.update({k: v for k, v in fields.items() if v is not None})
    return entry


class StepReport:
    """What a step read and wrote, for ``--json``: one JSON object.

    Fields: ``command``; ``ok`` (true when the step succeeded); ``exit``
    (its exit status); ``inputs`` and ``outputs`` (lists of files: ``path``,
    ``what`` it is to the step, ``bytes`` and, for the tools' files,
    ``kind``, ``entries``, ``fingerprint`` and ``payload_checksum`` in hex);
    ``counts`` (rows, payments, matches, ...); ``checks`` (what the step
    checked and found to hold); ``warnings``; ``seconds`` (``total``, and
    each phase of the step's progress, by name); on a failure ``error``
    (``message``, ``type``, and ``path`` where one file is at fault)."""

    def __init__(self, command: str) -> None:
        self.command = command
        self.inputs: List[Dict[str, Any]] = []
        self.outputs: List[Dict[str, Any]] = []
        self.counts: Dict[str, Any] = {}
        self.checks: List[str] = []
        self.warnings: List[str] = []
        self.fields: Dict[str, Any] = {}
        self.error: Optional[Dict[str, Any]] = None
        self.started = time.monotonic()
        self._phases: Dict[str, List[float]] = {}

    def read(self, path: Optional[PathLike], what: str, **fields: Any) -> None:
        if path is not None:
            self.inputs.append(_file_entry(path, what, **fields))

    def wrote(self, path: Optional[PathLike], what: str, **fields: Any) -> None:
        if path is not None:
            self.outputs.append(_file_entry(path, what, **fields))

    def phase(self, step: str, done: int, total: int) -> None:
        """A progress report: the time of the first and the latest report of each phase."""
        now = time.monotonic()
        span = self._phases.setdefault(step, [now, now])
        span[1] = now

    def failed(self, error: BaseException, status: int, message: str) -> None:
        self.error = {"type": type(error).__name__, "message": message}
        path = getattr(error, "path", None)
        if isinstance(path, str):
            self.error["path"] = path
        self.fields["exit"] = status

    def as_dict(self, status: int) -> Dict[str, Any]:
        seconds: Dict[str, Any] = {"total": round(time.monotonic() - self.started, 6)}
        if self._phases:
            seconds["phases"] = {name: round(end - start, 6) for name, (start, end) in self._phases.items()}
        report: Dict[str, Any] = {
            "command": self.command,
            "ok": status == 0,
            "exit": status,
            **self.fields,
            "inputs": self.inputs,
            "outputs": self.outputs,
            "counts": self.counts,
            "checks": self.checks,
            "warnings": self.warnings,
            "seconds": seconds,
        }
        report["exit"] = status
        if self.error is not None:
            report["error"] = self.error
        return report


def write_json(report: Dict[str, Any]) -> None:
    """The report as one JSON object, one line, on standard output."""
    write_stdout(json.dumps(report, ensure_ascii=True, sort_keys=False, default=str) + "\n")
