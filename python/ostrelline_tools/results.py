"""The payment network's results: the payments table with a match column, as a
plain CSV or Parquet file that any reader of those formats opens.

The format follows the output's suffix (``.csv``; ``.parquet``, ``.parq`` or
``.pq``), else the payments table's. A Parquet result carries what the tools'
header would say in its schema's key-value metadata, under the key
``ostrelline``, as one JSON object (keys sorted)::

    magic        "OSTRLINE"
    version      the tools' format version
    kind         "results"
    entries      payments (the table's row count)
    fingerprint  the payment network's key fingerprint, hex
    meta         run, column, format, payments (digest of the payments
                 table), sender and receiver (the banks' key fingerprints),
                 and skipped: the payments left out for an empty key value,
                 whose match is null (absent when there are none)
    matches      BLAKE2b-256 of the match column, one byte a row: 0 or 1,
                 2 for a null
    checksum     BLAKE2b-256 of the object without this field, as written

and is written with Parquet's page checksums (CRC-32 of every data page of
every column), which ``check`` verifies as it reads. A CSV result is the
plain table: nothing in it can carry a header, so nothing but its being a
readable table can be checked.
"""
from __future__ import annotations

import hashlib
import json
import os
from typing import Any, Dict, Optional, Sequence, Tuple

from . import files, rows
from .errors import BadFileError, PathLike

__all__ = ["METADATA_KEY", "output_format", "matches_checksum", "write", "read_record", "check", "describe"]

METADATA_KEY = b"ostrelline"
_SUFFIXES = {".csv": "csv", ".parquet": "parquet", ".parq": "parquet", ".pq": "parquet"}
_BATCH_ROWS = 65536


def output_format(out_path: PathLike, payments_path: PathLike) -> str:
    """ "csv" or "parquet": the output's suffix decides, else the payments table's format."""
    suffix = os.path.splitext(os.fspath(out_path))[1].lower()
    return _SUFFIXES.get(suffix) or rows.table_format(payments_path)


class _MatchDigest:
    def __init__(self) -> None:
        self._digest = hashlib.blake2b(digest_size=32, person=b"ostrelline match")

    def update(self, values: Sequence[Optional[bool]]) -> None:
        self._digest.update(bytes(2 if v is None else 1 if v else 0 for v in values))

    def hexdigest(self) -> str:
        return self._digest.hexdigest()


def matches_checksum(values: Sequence[Optional[bool]]) -> str:
    """The ``matches`` field: BLAKE2b-256 of the match column, one byte a row (2 for a null)."""
    digest = _MatchDigest()
    digest.update(values)
    return digest.hexdigest()


def _seal(record: Dict[str, Any]) -> Dict[str, Any]:
    body = {k: v for k, v in record.items() if k != "checksum"}
    text = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    return dict(body, checksum=hashlib.blake2b(text, digest_size=32).hexdigest())


def write(
    payments_path: PathLike,
    out_path: PathLike,
    column: str,
    values: Sequence[Optional[bool]],
    key_fingerprint: bytes,
    meta: Dict[str, Any],
    overwrite: bool = False,
) -> str:
    """Writes the payments table with ``column`` of ``values`` to ``out_path``
    (atomically; an existing file only with ``overwrite``); returns the format written."""
    fmt = output_format(out_path, payments_path)
    metadata = None
    if fmt == "parquet":
        record = _seal(
            {
                "magic": files.MAGIC.decode("ascii"),
                "version": files.FORMAT_VERSION,
                "kind": "results",
                "entries": len(values),
                "fingerprint": key_fingerprint.hex(),
                "meta": dict(meta, column=column, format=fmt),
                "matches": matches_checksum(values),
            }
        )
        metadata = {METADATA_KEY: json.dumps(record, sort_keys=True, separators=(",", ":")).encode("utf-8")}
    import pyarrow as pa

    try:
        with files.AtomicOutput(out_path, overwrite=overwrite) as out:
            rows.write_with_column(payments_path, column, values, out, fmt, metadata)
    except pa.ArrowException as error:  # a column type the format cannot hold (lists in CSV, say)
        raise BadFileError(
            out_path, f"cannot hold the payments table as {fmt.upper()} ({str(error).splitlines()[0]})"
        ) from None
    return fmt


def read_record(path: PathLike) -> Tuple[Dict[str, Any], Any]:
    """The checked header record of a Parquet result, and its open ``ParquetFile``."""
    import pyarrow.parquet as pq

    if rows.table_format(path) != "parquet":
        raise BadFileError(
            path, "is neither a file of the tools nor a Parquet table (a CSV result carries no header to check)"
        )
    try:
        parquet = pq.ParquetFile(os.fspath(path), page_checksum_verification=True)
    except (OSError, ValueError) as error:
        raise BadFileError(path, f"cannot be read as Parquet ({error})") from None
    raw = (parquet.schema_arrow.metadata or {}).get(METADATA_KEY)
    if raw is None:
        raise BadFileError(path, "is a Parquet table without the tools' results header")
    try:
        record = json.loads(raw.decode("utf-8"))
    except ValueError:
        record = None
    if not isinstance(record, dict) or record.get("magic") != files.MAGIC.decode("ascii"):
        raise BadFileError(path, "has a corrupted results header (unreadable metadata)")
    if record.get("version") != files.FORMAT_VERSION:
        raise BadFileError(
            path, f"has format version {record.get('version')}; this tool reads version {files.FORMAT_VERSION}"
        )
    if _seal(record)["checksum"] != record.get("checksum"):
        raise BadFileError(path, "has a corrupted results header (its checksum does not match)")
    if record.get("kind") != "results" or not isinstance(record.get("meta"), dict):
        raise BadFileError(path, "has a corrupted results header (not a results record)")
    return record, parquet


def check(path: PathLike) -> Dict[str, Any]:
    """Every check of a Parquet result: its header record, its row count, the
    match column's type and checksum, and Parquet's page checksums of every
    column. Returns the record."""
    import pyarrow as pa

    record, parquet = read_record(path)
    column = record["meta"].get("column")
    if column not in parquet.schema_arrow.names:
        raise BadFileError(path, f"has no match column {column!r}")
    if not pa.types.is_boolean(parquet.schema_arrow.field(column).type):
        raise BadFileError(path, f"has a match column {column!r} that is not boolean")
    if parquet.metadata.num_rows != record.get("entries"):
        raise BadFileError(path, f"holds {parquet.metadata.num_rows} rows, its header {record.get('entries')}")
    digest = _MatchDigest()
    index = parquet.schema_arrow.get_field_index(column)
    nulls = 0
    try:
        for batch in parquet.iter_batches(batch_size=_BATCH_ROWS):  # every column, so every page is verified
            values = batch.column(index)
            nulls += values.null_count
            digest.update(values.to_pylist())
    except (OSError, ValueError) as error:
        raise BadFileError(path, f"is corrupted ({str(error).splitlines()[0]})") from None
    if nulls != record["meta"].get("skipped", 0):
        raise BadFileError(path, f"has {nulls:,} empty cells in its match column {column!r}, its header "
                                 f"{record['meta'].get('skipped', 0):,} payments left out")
    if digest.hexdigest() != record.get("matches"):
        raise BadFileError(path, "is corrupted (its match column does not match its checksum)")
    return record


def describe(path: PathLike) -> Dict[str, Any]:
    """What ``inspect`` shows of a Parquet result (like ``steps.describe``)."""
    record, parquet = read_record(path)
    try:
        check(path)
        intact = "ok"
    except BadFileError:
        intact = "MISMATCH"
    return {
        "file": os.fspath(path),
        "kind": "results",
        "description": "results table (Parquet)",
        "format version": record["version"],
        "entries": record["entries"],
        "rows": parquet.metadata.num_rows,
        "columns": ", ".join(parquet.schema_arrow.names),
        "key fingerprint": record["fingerprint"],
        "checksum": intact,
        **{f"meta.{k}": v for k, v in sorted(record["meta"].items())},
    }
