"""What anyone may do with any of the tools' files: look at its header, or
take out the module's bytes."""
from __future__ import annotations

import os
from typing import Any, Dict, Optional

from .. import files, results
from ..errors import BadFileError, PathLike
from ..files import Header
from .checks import fp_hex

__all__ = ["describe", "export"]


def describe(path: PathLike) -> Dict[str, Any]:
    """What ``inspect`` shows of a file: its header, checked, and whether the
    payload checksum holds (for a Parquet or Arrow result, its header record
    and whether its checksums hold). Never the payload.

    Returns:
        A dict of what is shown, in order: ``key fingerprint`` in hex,
        ``checksum`` "ok" or "MISMATCH", the metadata as ``meta.*``.

    Raises:
        MissingFileError, FileAccessError: the file cannot be opened.
        BadFileError: no file of the tools or Parquet result, or a header
            that does not check.
    """
    if _result_table(path) is not None:
        return results.describe(path)
    if os.fspath(path).lower().endswith((".csv", ".csv.gz")) and os.path.isfile(path):
        with open(path, "rb") as file:
            if not file.read(len(files.MAGIC)) == files.MAGIC:
                raise BadFileError(path, "is a CSV table: a CSV result carries no header to check (write .parquet)")
    with files.StoredFile(path) as stored:
        header = stored.header
        try:
            stored.verify()
            intact = True
        except BadFileError:
            intact = False
        return {
            "file": os.fspath(path),
            "kind": header.kind,
            "description": stored.kind.description,
            "format version": header.version,
            "entries": header.count,
            "payload bytes": header.payload_length,
            "payload offset": header.header_length,
            "key fingerprint": fp_hex(header.fingerprint),
            "checksum": "ok" if intact else "MISMATCH",
            **{f"meta.{k}": v for k, v in sorted(header.meta.items())},
        }


def export(path: PathLike, destination: PathLike, overwrite: bool = False) -> Header:
    """Writes the file's payload alone (the module's bytes) to ``destination``.

    Returns:
        The file's ``Header``.

    Raises:
        MissingFileError, FileAccessError: the file cannot be opened.
        OutputExistsError: ``destination`` exists and ``overwrite`` is false.
        BadFileError: the file is refused or is a results table, or the
            destination may not be written.
    """
    reader = _result_table(path)
    if reader is not None:
        raise BadFileError(path, f"is a results table already; any {reader} reader opens it as it is")
    return files.export_payload(path, destination, overwrite=overwrite)


def _result_table(path: PathLike) -> Optional[str]:
    """The format's name, "Parquet" or "Arrow", for a file of either, told by its magic; else None."""
    try:
        with open(path, "rb") as file:
            head = file.read(6)
    except OSError:
        return None  # the file's own reader says what is wrong
    return "Parquet" if head.startswith(b"PAR1") else "Arrow" if head.startswith(b"ARROW1") else None
