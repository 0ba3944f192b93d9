"""The payment network's results: the payments table with a match column, as a
pyarrow Table and, when asked, a plain file that any reader of its format opens.

The format follows the output's suffix (``Format``: ``.csv``, ``.csv.gz``
(gzip), ``.parquet`` (``.parq``, ``.pq``), ``.arrow`` (``.feather``)); a name
without a suffix takes the payments file's format, and an unknown suffix is
refused before any work. ``-`` writes CSV to standard output. A Parquet result
carries what the tools' header would say in its schema's key-value metadata,
under the key ``ostrelline``, as one JSON object (keys sorted); so do an
Arrow result and the Table ``finish`` returns (``format`` is then what was
written, or "table")::

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

import enum
import hashlib
import io
import json
import os
import sys
from typing import Any, Dict, Iterator, Optional, Sequence, Tuple

from . import files, rows, tables
from .errors import BadFileError, PathLike, UsageError

__all__ = [
    "METADATA_KEY", "Format", "SUFFIXES", "output_format", "matches_checksum", "record", "table", "write_table",
    "write", "counts", "read_record", "check", "describe",
]

METADATA_KEY = b"ostrelline"
_BATCH_ROWS = 65536


class Format(str, enum.Enum):
    """The formats a result is written in, as the output's suffix names them."""

    CSV = "csv"
    #: CSV compressed with gzip
    CSV_GZ = "csv.gz"
    PARQUET = "parquet"
    #: an Arrow IPC file (Feather version 2)
    ARROW = "arrow"


#: The output suffixes and the format each names.
SUFFIXES = {
    ".csv.gz": Format.CSV_GZ, ".csv": Format.CSV, ".parquet": Format.PARQUET, ".parq": Format.PARQUET,
    ".pq": Format.PARQUET, ".arrow": Format.ARROW, ".feather": Format.ARROW,
}
# A payments file's own format, for an output named without a suffix.
_OWN_FORMAT = {"csv": Format.CSV, "parquet": Format.PARQUET, "arrow": Format.ARROW, "arrow-stream": Format.ARROW}
_NAMED = ".csv, .csv.gz, .parquet (.parq, .pq) or .arrow (.feather)"


def output_format(out_path: PathLike, payments: Optional[Any] = None) -> Format:
    """The format a result written to ``out_path`` takes: as its suffix says
    (``SUFFIXES``); standard output (``-``) takes CSV; a name without a
    suffix takes the format of the payments file, where that is CSV, Parquet
    or Arrow IPC.

    Returns:
        The ``Format``.

    Raises:
        UsageError: an unknown suffix (``.json``, ``.txt``), or a name without
            one when the payments are no file of a format that results take.
    """
    name = os.fspath(out_path)
    if name == tables.STDIN:
        return Format.CSV
    lower = os.path.basename(name).lower()
    for suffix, fmt in SUFFIXES.items():
        if lower.endswith(suffix) and len(lower) > len(suffix):
            return fmt
    suffix = os.path.splitext(lower)[1]
    if suffix:
        raise UsageError(f"{name}: results are written as {_NAMED}, as the name ends; {suffix} names none of them")
    if isinstance(payments, (str, os.PathLike)) and os.fspath(payments) != tables.STDIN:
        own = _OWN_FORMAT.get(rows.table_format(payments))
        if own is not None:
            return own
    raise UsageError(f"{name}: name the results' format by the name's end: {_NAMED}")


class _MatchDigest:
    def __init__(self) -> None:
        self._digest = hashlib.blake2b(digest_size=32, person=b"ostrelline match")

    def update(self, values: Sequence[Optional[bool]]) -> None:
        self._digest.update(bytes(2 if v is None else 1 if v else 0 for v in values))

    def hexdigest(self) -> str:
        return self._digest.hexdigest()


def matches_checksum(values: Sequence[Optional[bool]]) -> str:
    """The ``matches`` field: BLAKE2b-256 of the match column, one byte a row (2 for a null).

    Returns:
        The checksum in hex.

    Raises:
        Nothing of its own.
    """
    digest = _MatchDigest()
    digest.update(values)
    return digest.hexdigest()


def _seal(record: Dict[str, Any]) -> Dict[str, Any]:
    body = {k: v for k, v in record.items() if k != "checksum"}
    text = json.dumps(body, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    return dict(body, checksum=hashlib.blake2b(text, digest_size=32).hexdigest())


def record(
    column: str, values: Sequence[Optional[bool]], key_fingerprint: bytes, meta: Dict[str, Any], fmt: str
) -> Dict[str, Any]:
    """The header record of a result (see the module's text), sealed by its checksum.

    Returns:
        The record, as a dict ready for ``json.dumps``.

    Raises:
        Nothing of its own.
    """
    return _seal(
        {
            "magic": files.MAGIC.decode("ascii"),
            "version": files.FORMAT_VERSION,
            "kind": "results",
            "entries": len(values),
            "fingerprint": key_fingerprint.hex(),
            "meta": dict(meta, column=column, format=getattr(fmt, "value", fmt)),
            "matches": matches_checksum(values),
        }
    )


def table(payments: Any, column: str, values: Sequence[Optional[bool]], header: Optional[Dict[str, Any]] = None) -> Any:
    """The payments table with ``column`` of ``values`` added, in memory, with
    the header record ``header`` in its schema metadata (under ``METADATA_KEY``,
    beside what metadata the payments had).

    Returns:
        A ``pyarrow.Table``.

    Raises:
        InputError: the payments cannot be read, already have ``column``, or
            hold another number of rows than ``values``.
    """
    pa = tables.arrow()
    schema, batches = rows.with_column(payments, column, values, _BATCH_ROWS)
    result = pa.Table.from_batches(list(batches), schema)
    if header is not None:
        metadata = dict(result.schema.metadata or {})
        metadata[METADATA_KEY] = json.dumps(header, sort_keys=True, separators=(",", ":")).encode("utf-8")
        result = result.replace_schema_metadata(metadata)
    return result


class _Kept:
    """A binary file that pyarrow's writers may close: the file itself stays
    open for ``AtomicOutput`` to finish."""

    closed = False

    def __init__(self, file: Any):
        self._file = file

    def write(self, data: Any) -> int:
        return int(self._file.write(data))

    def flush(self) -> None:
        self._file.flush()

    def close(self) -> None:
        self._file.flush()


def _write_to(result: Any, fmt: Format, out: Any) -> None:
    pa = tables.arrow()
    sink = pa.PythonFile(_Kept(out), mode="w")
    if fmt is Format.PARQUET:
        import pyarrow.parquet as pq

        with pq.ParquetWriter(sink, result.schema, write_page_checksum=True) as writer:
            writer.write_table(result, row_group_size=_BATCH_ROWS)
    elif fmt is Format.ARROW:
        with pa.ipc.new_file(sink, result.schema) as writer:
            writer.write_table(result, max_chunksize=_BATCH_ROWS)
    else:
        from pyarrow import csv

        stream = pa.CompressedOutputStream(sink, "gzip") if fmt is Format.CSV_GZ else sink
        csv.write_csv(result, stream)
        stream.close()
    sink.close()


def write_table(result: Any, out_path: PathLike, fmt: Optional[Format] = None, overwrite: bool = False) -> Format:
    """Writes a results table (of ``table``) to ``out_path`` in ``fmt`` (as
    its suffix says by default): atomically, an existing file only with
    ``overwrite``; ``-`` writes CSV to standard output. Parquet and Arrow keep
    the header record of the schema metadata; CSV has nowhere to keep it.

    Returns:
        The ``Format`` written.

    Raises:
        UsageError: an unknown suffix.
        OutputExistsError: ``out_path`` exists and ``overwrite`` is false.
        BadFileError: an output that may not be written, or a column the
            format cannot hold (lists in CSV, say).
    """
    pa = tables.arrow()
    fmt = Format(fmt) if fmt is not None else output_format(out_path)
    try:
        if os.fspath(out_path) == tables.STDIN:
            binary = getattr(sys.stdout, "buffer", None)
            if binary is None:  # a standard output of text only (a notebook's): the CSV as text
                text = io.BytesIO()
                _write_to(result, fmt, text)
                sys.stdout.write(text.getvalue().decode("utf-8"))
            else:
                sys.stdout.flush()
                _write_to(result, fmt, binary)
                binary.flush()
        else:
            with files.AtomicOutput(out_path, overwrite=overwrite) as out:
                _write_to(result, fmt, out)
    except pa.ArrowException as error:
        raise BadFileError(
            out_path, f"cannot hold the payments table as {fmt.value.upper()} ({str(error).splitlines()[0]})"
        ) from None
    return fmt


def write(
    payments: Any,
    out_path: PathLike,
    column: str,
    values: Sequence[Optional[bool]],
    key_fingerprint: bytes,
    meta: Dict[str, Any],
    overwrite: bool = False,
) -> str:
    """Writes the payments table with ``column`` of ``values`` to ``out_path``
    (see ``write_table``), with the header record made of ``key_fingerprint``
    and ``meta``.

    Returns:
        The ``Format`` written.

    Raises:
        As ``output_format``, ``table`` and ``write_table``.
    """
    fmt = output_format(out_path, payments)
    if os.fspath(out_path) != tables.STDIN:
        files.check_output(out_path, overwrite)  # before the table is read
    header = record(column, values, key_fingerprint, meta, fmt)
    return write_table(table(payments, column, values, header), out_path, fmt, overwrite)


def counts(result: Any, column: str = "match") -> Tuple[int, int, int]:
    """What a results table holds.

    Returns:
        (payments, matches, skipped): its rows, the rows whose ``column`` is
        true, and those where it is null (left out for an empty key value).

    Raises:
        KeyError: the table has no ``column``.
    """
    import pyarrow.compute as pc

    flags = result.column(column)
    return int(result.num_rows), int(pc.sum(flags).as_py() or 0), int(flags.null_count)


class _Stored:
    """A results file as the checks read it: Parquet (its pages checked as they
    are read) or an Arrow IPC file."""

    def __init__(self, path: PathLike):
        pa = tables.arrow()
        import pyarrow.parquet as pq

        self.path = path
        fmt = rows.table_format(path)
        try:
            if fmt == tables.TableFormat.PARQUET:
                self.format, self.name = Format.PARQUET, "Parquet"
                self.file: Any = pq.ParquetFile(os.fspath(path), page_checksum_verification=True)
                self.schema = self.file.schema_arrow
                self.num_rows = int(self.file.metadata.num_rows)
            elif fmt == tables.TableFormat.ARROW:
                self.format, self.name = Format.ARROW, "Arrow IPC"
                self.file = pa.ipc.open_file(pa.memory_map(os.fspath(path)))
                self.schema = self.file.schema
                self.num_rows = sum(self.file.get_record_batch(i).num_rows
                                    for i in range(self.file.num_record_batches))
            else:
                raise BadFileError(path, "is neither a file of the tools nor a Parquet or Arrow table "
                                         "(a CSV result carries no header to check)")
        except (OSError, ValueError, pa.ArrowException) as error:
            if isinstance(error, BadFileError):
                raise
            raise BadFileError(path, f"cannot be read as {fmt} ({error})") from None

    def batches(self) -> Iterator[Any]:
        if self.format is Format.PARQUET:  # every column, so every page is verified
            yield from self.file.iter_batches(batch_size=_BATCH_ROWS)
        else:
            for index in range(self.file.num_record_batches):
                yield self.file.get_record_batch(index)


def read_record(path: PathLike) -> Tuple[Dict[str, Any], Any]:
    """The checked header record of a Parquet or Arrow result, and the open file.

    Returns:
        (record, file): the file a ``ParquetFile`` or an Arrow
        ``RecordBatchFileReader``.

    Raises:
        MissingFileError, FileAccessError: the file cannot be opened.
        BadFileError: no Parquet or Arrow table, no results header, or a
            header that does not check.
    """
    return _read_record(_Stored(path))


def _read_record(stored: _Stored) -> Tuple[Dict[str, Any], Any]:
    path = stored.path
    raw = (stored.schema.metadata or {}).get(METADATA_KEY)
    if raw is None:
        raise BadFileError(path, f"is a{'n' if stored.name[0] == 'A' else ''} {stored.name} table without the tools' "
                                 "results header")
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
    return record, stored.file


def check(path: PathLike) -> Dict[str, Any]:
    """Every check of a Parquet or Arrow result: its header record, its row
    count, the match column's type and checksum, and, for Parquet, the page
    checksums of every column (an Arrow file has none).

    Returns:
        The header record.

    Raises:
        BadFileError: as ``read_record``, or a match column missing, of another
            type, length or checksum, or a page whose checksum fails.
    """
    pa = tables.arrow()
    stored = _Stored(path)
    record, _ = _read_record(stored)
    column = record["meta"].get("column")
    if column not in stored.schema.names:
        raise BadFileError(path, f"has no match column {column!r}")
    if not pa.types.is_boolean(stored.schema.field(column).type):
        raise BadFileError(path, f"has a match column {column!r} that is not boolean")
    if stored.num_rows != record.get("entries"):
        raise BadFileError(path, f"holds {stored.num_rows} rows, its header {record.get('entries')}")
    digest = _MatchDigest()
    index = stored.schema.get_field_index(column)
    nulls = 0
    try:
        for batch in stored.batches():
            values = batch.column(index)
            nulls += values.null_count
            digest.update(values.to_pylist())
    except (OSError, ValueError, pa.ArrowException) as error:
        raise BadFileError(path, f"is corrupted ({str(error).splitlines()[0]})") from None
    if nulls != record["meta"].get("skipped", 0):
        raise BadFileError(path, f"has {nulls:,} empty cells in its match column {column!r}, its header "
                                 f"{record['meta'].get('skipped', 0):,} payments left out")
    if digest.hexdigest() != record.get("matches"):
        raise BadFileError(path, "is corrupted (its match column does not match its checksum)")
    return record


def describe(path: PathLike) -> Dict[str, Any]:
    """What ``inspect`` shows of a Parquet or Arrow result (like ``steps.describe``).

    Returns:
        A dict of what is shown (``key fingerprint`` in hex, ``checksum`` "ok"
        or "MISMATCH", the metadata as ``meta.*``).

    Raises:
        As ``read_record``.
    """
    stored = _Stored(path)
    record, _ = _read_record(stored)
    try:
        check(path)
        intact = "ok"
    except BadFileError:
        intact = "MISMATCH"
    return {
        "file": os.fspath(path),
        "kind": "results",
        "description": f"results table ({stored.name})",
        "format version": record["version"],
        "entries": record["entries"],
        "rows": stored.num_rows,
        "columns": ", ".join(stored.schema.names),
        "key fingerprint": record["fingerprint"],
        "checksum": intact,
        **{f"meta.{k}": v for k, v in sorted(record["meta"].items())},
    }
