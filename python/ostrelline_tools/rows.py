"""Reading rows from CSV and Parquet files, and encoding them so that they cannot collide.

The module's key for a row is the concatenation of its strings' UTF-8 bytes,
so ["ab", "c"] and ["a", "bc"] would be the same row. The tools therefore pass
each row to the module as one string in which every column value is preceded
by its length in UTF-8 bytes, in decimal, and a colon::

    ["ab", "c"]  ->  "2:ab1:c"        ["a", "bc"]  ->  "1:a2:bc"

A string made that way is read back column by column without ambiguity, so
distinct column tuples always give distinct keys. With the ``identifier``
normalisation each value first loses its white space (ASCII white space and
Unicode space separators) and is upper-cased, so that "de89 3704" and
"DE893704" are one identifier.

How rows were encoded is recorded in every header that rows went into (the
``rows`` field): the scheme, the normalisation and the number of columns; a
query is refused against a store whose record differs. Column names are not
recorded: they are the holder's business.

Tables are read with pyarrow in batches: CSV columns are read as strings
(leading zeros stay), Parquet columns may be strings, integers or
dictionary-encoded strings. A null in a named column is refused (a CSV
field left empty is the empty string).
"""
from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence

from .errors import BadFileError, InputError, PathLike

__all__ = [
    "SCHEME",
    "NORMALISATIONS",
    "RowEncoding",
    "table_format",
    "count_rows",
    "read_batches",
    "encode_batch",
    "encode_row",
    "table_columns",
    "require_new_column",
    "write_with_column",
]

SCHEME = "length-prefixed-utf8"
NORMALISATIONS = ("none", "identifier")
_SPACES = r"[\s\p{Z}]+"


def _arrow() -> Any:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise ImportError("reading CSV and Parquet files needs pyarrow (pip install 'ostrelline[tools]')") from None
    import pyarrow as pa
    import pyarrow.compute as pc

    return pa, pc


@dataclass(frozen=True)
class RowEncoding:
    """How a party turned its table's rows into the module's rows."""

    columns: int
    normalise: str = "none"
    scheme: str = SCHEME

    def __post_init__(self) -> None:
        if self.normalise not in NORMALISATIONS:
            raise ValueError(f"normalisation is one of {', '.join(NORMALISATIONS)}, not {self.normalise!r}")
        if self.columns < 1:
            raise ValueError("rows need at least one column")

    def record(self) -> Dict[str, Any]:
        return {"scheme": self.scheme, "normalise": self.normalise, "columns": self.columns}

    @classmethod
    def from_record(cls, path: PathLike, record: Any) -> "RowEncoding":
        try:
            return cls(int(record["columns"]), str(record["normalise"]), str(record["scheme"]))
        except (TypeError, KeyError, ValueError):
            raise BadFileError(path, f"records no row encoding this tool knows ({record!r})") from None

    def describe(self) -> str:
        return f"{self.columns} column{'s' if self.columns != 1 else ''}, {self.scheme}, normalisation {self.normalise}"

    def require_same(self, other: "RowEncoding", path: PathLike, what: str) -> None:
        """Refuses ``path`` when its rows were encoded otherwise than ``what``'s."""
        if self.scheme != other.scheme:
            raise BadFileError(path, f"rows were encoded with {other.scheme}, {what} with {self.scheme}")
        if self.normalise != other.normalise:
            raise BadFileError(
                path, f"rows were encoded with normalisation {other.normalise}, {what} with {self.normalise}"
            )
        if self.columns != other.columns:
            raise BadFileError(path, f"rows have {other.columns} columns, {what} {self.columns}")


def table_format(path: PathLike) -> str:
    """ "parquet" for a file that starts with Parquet's magic, "csv" otherwise."""
    try:
        with open(path, "rb") as file:
            magic = file.read(4)
    except OSError as error:
        raise InputError(path, f"cannot be read ({error.strerror or error})") from None
    return "parquet" if magic == b"PAR1" else "csv"


def _check_columns(path: PathLike, available: Sequence[str], wanted: Sequence[str]) -> None:
    missing = [c for c in wanted if c not in available]
    if missing:
        raise InputError(
            path, f"has no column {', '.join(repr(c) for c in missing)} (it has {', '.join(map(repr, available))})"
        )
    # A name that heads two columns would silently pick one of them.
    repeated = [c for c in dict.fromkeys(wanted) if list(available).count(c) > 1]
    if repeated:
        raise InputError(path, f"has more than one column named {', '.join(map(repr, repeated))}")


def _csv_open(path: PathLike, read: Any, convert: Any) -> Any:
    pa, _ = _arrow()
    from pyarrow import csv

    try:
        return csv.open_csv(os.fspath(path), read_options=read, convert_options=convert)
    except (pa.ArrowException, OSError) as error:
        raise InputError(path, f"cannot be read as CSV ({str(error).splitlines()[0]})") from None


def csv_columns(path: PathLike) -> List[str]:
    """The column names of a CSV table (from its first line)."""
    from pyarrow import csv

    return _csv_open(path, csv.ReadOptions(block_size=1 << 20), None).schema.names


def _csv_reader(path: PathLike, columns: Sequence[str], block_rows: int) -> Any:
    pa, _ = _arrow()
    from pyarrow import csv

    _check_columns(path, csv_columns(path), columns)
    # Blocks of roughly block_rows rows of a few dozen bytes each.
    read = csv.ReadOptions(block_size=max(1 << 16, 64 * block_rows))
    convert = csv.ConvertOptions(
        include_columns=list(dict.fromkeys(columns)),
        column_types={c: pa.string() for c in columns},
        strings_can_be_null=False,
    )
    return _csv_open(path, read, convert)


def _parquet(path: PathLike, columns: Sequence[str]) -> Any:
    pa, _ = _arrow()
    import pyarrow.parquet as pq

    try:
        parquet = pq.ParquetFile(os.fspath(path))
    except (pa.ArrowException, OSError) as error:
        raise InputError(path, f"cannot be read as Parquet ({error})") from None
    _check_columns(path, parquet.schema_arrow.names, columns)
    return parquet


def count_rows(path: PathLike, columns: Sequence[str]) -> int:
    """Rows of the table (Parquet: from its metadata; CSV: by reading the named columns)."""
    if not columns:
        raise InputError(path, "no column named")
    if table_format(path) == "parquet":
        return _parquet(path, columns).metadata.num_rows
    return sum(batch.num_rows for batch in _iter_csv(path, list(dict.fromkeys(columns)), 65536))


def _iter_csv(path: PathLike, columns: Sequence[str], batch_rows: int) -> Iterator[Any]:
    pa, _ = _arrow()
    reader = _csv_reader(path, columns, batch_rows)
    while True:
        try:
            batch = reader.read_next_batch()
        except StopIteration:
            return
        except pa.ArrowException as error:
            raise InputError(path, f"cannot be read as CSV ({str(error).splitlines()[0]})") from None
        yield batch


def read_batches(path: PathLike, columns: Sequence[str], batch_rows: int = 8192) -> Iterator[List[Any]]:
    """The named columns of the table, batch after batch: one list of pyarrow
    arrays (one per column, in the order named) per batch."""
    if not columns:
        raise InputError(path, "no column named")
    if table_format(path) == "parquet":
        batches = _parquet(path, columns).iter_batches(batch_size=batch_rows, columns=list(dict.fromkeys(columns)))
    else:
        batches = _iter_csv(path, list(dict.fromkeys(columns)), batch_rows)
    for batch in batches:
        yield [batch.column(batch.schema.get_field_index(c)) for c in columns]


def _as_strings(path: PathLike, name: str, array: Any, offset: int) -> Any:
    pa, pc = _arrow()
    kind = array.type
    if pa.types.is_dictionary(kind):
        array = array.dictionary_decode()
        kind = array.type
    if pa.types.is_integer(kind):
        array = pc.cast(array, pa.string())
    elif pa.types.is_large_string(kind):
        array = pc.cast(array, pa.string())
    elif not pa.types.is_string(kind):
        raise InputError(path, f"column {name!r} holds {kind}; only strings and integers make rows")
    if array.null_count:
        first = pc.index(pc.is_null(array), True).as_py()
        raise InputError(path, f"column {name!r} is empty in row {offset + first + 1}")
    return array


def encode_batch(
    path: PathLike, names: Sequence[str], arrays: Sequence[Any], normalise: str = "none", offset: int = 0
) -> List[str]:
    """One encoded row string per row of the batch (``offset``: rows before it, for messages)."""
    pa, pc = _arrow()
    parts: List[Any] = []
    for name, array in zip(names, arrays):
        array = _as_strings(path, name, array, offset)
        if normalise == "identifier":
            array = pc.utf8_upper(pc.replace_substring_regex(array, _SPACES, ""))
        parts += [pc.cast(pc.binary_length(array), pa.string()), ":", array]
    return pc.binary_join_element_wise(*parts, "").to_pylist()


def encode_row(values: Sequence[str], normalise: str = "none") -> str:
    """The encoded string of one row given as Python strings (the same as ``encode_batch``)."""
    pa, _ = _arrow()
    arrays = [pa.array([v], pa.string()) for v in values]
    return encode_batch("<row>", [str(i) for i in range(len(values))], arrays, normalise)[0]


def _table_writer(fmt: str, sink: Any, schema: Any) -> Any:
    if fmt == "parquet":
        import pyarrow.parquet as pq

        return pq.ParquetWriter(sink, schema, write_page_checksum=True)
    from pyarrow import csv

    return csv.CSVWriter(sink, schema)


def table_columns(path: PathLike) -> List[str]:
    """The column names of a CSV or Parquet table."""
    if table_format(path) == "parquet":
        return list(_parquet(path, []).schema_arrow.names)
    return csv_columns(path)


def require_new_column(path: PathLike, names: Sequence[str], column: str) -> None:
    """Refuses a results column name that is empty or that the table already has."""
    if not column:
        raise InputError(path, "needs a name for the match column")
    if column in names:
        raise InputError(path, f"already has a column {column!r}; name another one for the results")


def write_with_column(
    path: PathLike,
    column: str,
    values: Sequence[bool],
    out: Any,
    fmt: Optional[str] = None,
    metadata: Optional[Dict[bytes, bytes]] = None,
    batch_rows: int = 65536,
) -> None:
    """Writes the table of ``path`` (every column, CSV columns as strings) with
    ``column`` of ``values`` added to the binary file object ``out``, as
    ``fmt`` ("csv" or "parquet"; the table's own format by default), with
    ``metadata`` as the schema's key-value metadata (Parquet only)."""
    pa, _ = _arrow()
    source_format = table_format(path)
    fmt = fmt or source_format
    if source_format == "parquet":
        source = _parquet(path, [])
        names = source.schema_arrow.names
        _check_columns(path, names, names)
        batches = source.iter_batches(batch_size=batch_rows)
    else:
        names = csv_columns(path)
        batches = _iter_csv(path, names, batch_rows)
    require_new_column(path, names, column)
    sink = pa.PythonFile(out, mode="w")
    writer = None
    done = 0
    try:
        for batch in batches:
            flags = pa.array(values[done : done + batch.num_rows], pa.bool_())
            done += batch.num_rows
            batch = pa.RecordBatch.from_arrays(list(batch.columns) + [flags], names=list(batch.schema.names) + [column])
            if writer is None:
                writer = _table_writer(fmt, sink, batch.schema.with_metadata(metadata) if metadata else batch.schema)
            writer.write_batch(batch)
        if writer is None:  # an empty table still gets its columns
            schema = pa.schema([pa.field(n, pa.string()) for n in names] + [pa.field(column, pa.bool_())], metadata)
            writer = _table_writer(fmt, sink, schema)
    finally:
        if writer is not None:
            writer.close()
    if done != len(values):
        raise InputError(path, f"holds {done} rows, the results {len(values)}")
