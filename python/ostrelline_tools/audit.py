"""A bank's account of what its secret key answered.

``decrypt`` multiplies the points the payment network sends by the bank's
key, and the network sees the results: each answer is one use of the key as
an oracle on points of the network's choice. A run needs one answer per
payment, once. This module keeps the bank's own record of every answer and
refuses the requests a run does not need:

* the audit log, a file of JSON lines that only the bank writes (by default
  beside its secret key, ``<secret key>.audit.jsonl``; created with mode
  0600, appended with O_APPEND, a link or anything but a regular file
  refused), holds one record per decrypted stream, written once the output
  is complete and in place: time (UTC, ISO 8601), the run, the payment
  network's key fingerprint as the stream names it (None for streams made
  before it was named), the bank's own key fingerprint and role, the
  entries answered, the payload checksums of the stream in and out, and the
  tools' version;
* a second, different stream of a run already answered is refused unless
  the bank passes ``again`` (``--again``): each stream of a run is another
  set of answers for the same payments. The same stream once more (the same
  payload checksum) is answered, and recorded, without it: decryption is
  deterministic, so it tells the network nothing new;
* a stream of more entries than ``max_entries`` (``--max-entries``) is
  refused when the bank sets one.

Refusals raise ``BadFileError`` naming the stream and its run; nothing is
written then, neither output nor record.
"""
from __future__ import annotations

import contextlib
import datetime
import errno
import fcntl
import json
import os
import stat
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence

import ostrelline_parallel

from . import files
from .errors import BadFileError, PathLike, ToolError

__all__ = ["SUFFIX", "default_path", "tools_version", "check_size", "AuditLog", "open_log", "record_for", "begin", "account"]

#: The default log of a secret key is the key's path with this suffix.
SUFFIX = ".audit.jsonl"


def default_path(secret_key_path: PathLike) -> str:
    return os.fspath(secret_key_path) + SUFFIX


def tools_version() -> str:
    """The tools' version, as ``ostrelline --version`` shows it (the distribution's)."""
    return ostrelline_parallel.__version__


def _utc_now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds").replace("+00:00", "Z")


def _refuse_special(path: str, mode: int) -> None:
    if stat.S_ISLNK(mode):
        raise BadFileError(path, "is a symbolic link; the audit log must be a regular file of its own")
    if not stat.S_ISREG(mode):
        raise BadFileError(path, "is not a regular file; the audit log must be one")


def check_size(points_path: PathLike, meta: Dict[str, Any], entries: int, max_entries: Optional[int]) -> None:
    """Refuses a stream of more than ``max_entries`` entries (None: any length)."""
    if max_entries is not None and entries > max_entries:
        raise BadFileError(
            points_path,
            f"holds {entries} entries of run {meta.get('run')}, more than the {max_entries} this bank answers "
            "(--max-entries)",
        )


@dataclass
class AuditLog:
    """An audit log opened, and locked, for one decrypt step: its records as
    read, and the descriptor that the step's record is appended through."""

    path: str
    fd: int
    created: bool
    records: List[Dict[str, Any]] = field(default_factory=list)
    outputs: List[str] = field(default_factory=list)

    def answered(self, run: Any) -> List[Dict[str, Any]]:
        """The records of earlier answers to streams of ``run``."""
        return [r for r in self.records if r.get("run") == run]

    def check(self, points_path: PathLike, meta: Dict[str, Any], checksum: bytes, again: bool) -> None:
        """Refuses, without ``again``, a stream of a run already answered
        that is none of the streams answered (none of their payload checksums)."""
        run = meta.get("run")
        earlier = self.answered(run)
        if earlier and not again and all(r.get("stream_in") != checksum.hex() for r in earlier):
            last = earlier[-1]
            raise BadFileError(
                points_path,
                f"is another stream of run {run}, which this bank answered on {last.get('time')} "
                f"({last.get('entries')} entries, audit log {self.path}); a second stream of a run is refused "
                "unless --again (again=True) is given",
            )

    def append(self, record: Dict[str, Any]) -> None:
        """Appends one record as one write of one line, then syncs it."""
        line = (json.dumps(record, sort_keys=True, ensure_ascii=True) + "\n").encode("ascii")
        try:
            written = os.write(self.fd, line)
            os.fsync(self.fd)
        except OSError as error:
            raise ToolError(f"{self.path}: the audit record could not be written ({error.strerror or error})") from None
        if written != len(line):
            raise ToolError(f"{self.path}: the audit record was written only in part ({written} of {len(line)} bytes)")
        self.records.append(record)

    def close(self, failed: bool = False) -> None:
        """Releases the log; one this step created and left without a record
        is removed, so that a failed step leaves nothing behind."""
        if self.fd < 0:
            return
        try:
            if failed and self.created and not self.records:
                with contextlib.suppress(OSError):
                    os.unlink(self.path)
        finally:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self) -> "AuditLog":
        return self

    def __exit__(self, kind: Any, *rest: Any) -> None:
        self.close(failed=kind is not None)


def _read_all(fd: int) -> bytes:
    chunks, offset = [], 0
    while True:
        chunk = os.pread(fd, 1 << 20, offset)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)
        offset += len(chunk)


def _parse(path: str, data: bytes) -> List[Dict[str, Any]]:
    records = []
    for number, raw in enumerate(data.splitlines(), 1):
        try:
            record = json.loads(raw)
        except ValueError:
            record = None
        if not isinstance(record, dict):
            raise BadFileError(path, f"line {number} is not an audit record; the log is damaged")
        records.append(record)
    return records


def open_log(path: PathLike) -> AuditLog:
    """The log at ``path``, created with mode 0600 where there is none, opened
    for appending (never through a link) and locked against a concurrent
    decrypt step, with the records it holds. Refuses a link, anything but a
    regular file, a log in use and a damaged log."""
    path = os.fspath(path)
    try:
        _refuse_special(path, os.lstat(path).st_mode)
        existed = True
    except FileNotFoundError:
        existed = False
    except OSError as error:
        raise BadFileError(path, f"cannot be read as the audit log ({error.strerror or error})") from None
    flags = os.O_RDWR | os.O_APPEND | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags if existed else flags | os.O_CREAT | os.O_EXCL, 0o600)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise BadFileError(path, "is a symbolic link; the audit log must be a regular file of its own") from None
        if error.errno == errno.EEXIST:
            raise BadFileError(path, "appeared while it was being opened; run one decrypt step at a time") from None
        raise BadFileError(path, f"cannot be opened as the audit log ({error.strerror or error})") from None
    log = AuditLog(path, fd, created=not existed)
    try:
        _refuse_special(path, os.fstat(fd).st_mode)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise BadFileError(path, "is in use by another decrypt step; run one at a time") from None
        log.records = _parse(path, _read_all(fd))
    except BaseException:
        log.close(failed=True)
        raise
    return log


def record_for(meta: Dict[str, Any], bank_fingerprint: bytes, entries: int, checksum_in: bytes,
               checksum_out: bytes, again: bool) -> Dict[str, Any]:
    """The record of one answered stream."""
    return {
        "time": _utc_now(),
        "run": meta.get("run"),
        "network": meta.get("network"),
        "bank": bank_fingerprint.hex(),
        "component": meta.get("component"),
        "entries": entries,
        "stream_in": checksum_in.hex(),
        "stream_out": checksum_out.hex(),
        "again": again,
        "tools": tools_version(),
    }


def begin(points_path: PathLike, header: Any, log_path: Optional[PathLike], secret_key_path: PathLike,
          outputs: Sequence[PathLike], again: bool, max_entries: Optional[int]) -> AuditLog:
    """Everything the log decides before a stream is decrypted: refuses a
    stream longer than ``max_entries`` (before the log is touched), a log
    named as one of the step's files, and a second stream of a run already
    answered without ``again``. Returns the log, open and locked; close it
    (a ``with`` block) once the step's record is appended or the step failed.
    ``outputs`` are the step's outputs, removed should the record fail."""
    if max_entries is not None and (isinstance(max_entries, bool) or max_entries < 0):
        raise ToolError(f"the largest stream to answer (--max-entries) is a count of entries, not {max_entries!r}")
    check_size(points_path, header.meta, header.count, max_entries)
    path = default_path(secret_key_path) if log_path is None else os.fspath(log_path)
    for other in [points_path, secret_key_path, *outputs]:
        if files.same_file(path, other):
            raise BadFileError(path, "is named both as the audit log and as a file the step reads or writes")
    log = open_log(path)
    log.outputs = [os.fspath(o) for o in outputs]
    try:
        log.check(points_path, header.meta, header.payload_checksum, again)
    except BaseException:
        log.close(failed=True)
        raise
    return log


def account(log: AuditLog, header: Any, out_header: Any, again: bool) -> Dict[str, Any]:
    """Appends the record of a decrypted stream: ``header`` the stream's,
    ``out_header`` that of the output now in place."""
    record = record_for(header.meta, header.fingerprint, header.count, header.payload_checksum,
                        out_header.payload_checksum, again)
    record["earlier"] = len(log.answered(header.meta.get("run")))
    try:
        log.append(record)
    except ToolError as error:
        # An answer the log does not hold must not leave the bank.
        for output in log.outputs:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(output)
        raise ToolError(f"{error}; the output {', '.join(log.outputs)} was removed") from None
    return record
