"""Rows read from tables, checked, and encoded so that they cannot collide.

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

The ``name`` normalisation is for names of people and companies: Unicode
NFKC, case folding, NFKC again (folding can leave a string unnormalised),
and white space collapsed to single spaces and trimmed, so that
"Müller  GmbH" and "MÜLLER GMBH" are one name.

How rows were encoded is recorded in every header that rows went into (the
``rows`` field): the scheme, the normalisation and the number of columns; a
query is refused against a store whose record differs. A store also records
its bank's column names, in order (``columns``), so that a payment network
naming the same columns in another order is told before it queries.

Tables are read with pyarrow in batches (``tables``: CSV in any dialect and
encoding, ``CsvOptions``; Parquet, a folder of Parquet files, Arrow IPC,
JSON lines, standard input, and pyarrow Tables, RecordBatchReaders and
pandas DataFrames in memory): CSV columns are read as strings (leading
zeros stay); key columns of other tables may be strings, integers or
dictionary-encoded strings. A file is told by its first bytes, and what is
no table is refused for what it appears to be.

A key value that is null, empty or white space only cannot tell accounts
apart: every such payment would match every such row. ``RowCheck`` finds the
rows holding one as a table is read, so that the steps refuse the table (or,
when asked, leave those rows out); the rule is the same for every format.
"""
from __future__ import annotations

import enum
import io
import os
import sys
import unicodedata
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

from . import tables
from .errors import BadFileError, InputError, PathLike, ToolWarning
from .tables import CsvOptions, TableInput, TableSource, open_table

__all__ = [
    "CsvOptions",
    "TableInput",
    "TableSource",
    "open_table",
    "SCHEME",
    "Normalisation",
    "NORMALISATIONS",
    "BLANK_RULE",
    "RowEncoding",
    "check_names",
    "table_format",
    "RowCheck",
    "blank_rows",
    "csv_lines",
    "kept",
    "count_rows",
    "read_batches",
    "encode_batch",
    "encoded_array",
    "RowPacker",
    "packed_strings",
    "release_unused",
    "encode_row",
    "table_columns",
    "require_new_column",
    "with_column",
]

SCHEME = "length-prefixed-utf8"


class Normalisation(str, enum.Enum):
    """What is done to each value before it is encoded; the value is what headers record."""

    NONE = "none"
    #: white space (ASCII and Unicode space separators) removed, upper-cased
    IDENTIFIER = "identifier"
    #: NFKC, case folded, white space collapsed to single spaces and trimmed
    NAME = "name"


NORMALISATIONS = tuple(n.value for n in Normalisation)
# What the identifier normalisation removes (kept as it is: stores record it).
_SPACES = r"[\s\p{Z}]+"
# White space as Python's str.isspace has it, in the regular expressions of pyarrow.
_WHITE = r"[\t\n\x{0B}\f\r\x{1C}-\x{1F}\x{85}\p{Z}]"
_BLANK = f"^{_WHITE}*$"
_SURROUNDED = f"^{_WHITE}|{_WHITE}$"
#: The rule by which a key value is refused (recorded where rows were left out by it).
BLANK_RULE = "null-empty-or-white-space"
# How many rows of each column a refusal names.
_SHOWN = 5


def _arrow() -> Any:
    pa = tables.arrow()
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
        object.__setattr__(self, "normalise", Normalisation(self.normalise).value)
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


def check_names(names: Sequence[str], what: str = "columns") -> None:
    """Refuses a list of column names with an empty or a repeated name
    (``what`` names the list in the message).

    Raises:
        TypeError: ``names`` is one string, not a sequence of names.
        ValueError: no name, an empty name or a repeated name.

    Returns:
        None.
    """
    if isinstance(names, (str, bytes)):
        raise TypeError(f"the {what} are a sequence of names, not one string ({names!r}): write [{names!r}]")
    if not names:
        raise ValueError(f"the {what} name no column")
    if any(not name for name in names):
        raise ValueError(f"the {what} include an empty name")
    repeated = [name for name in dict.fromkeys(names) if list(names).count(name) > 1]
    if repeated:
        raise ValueError(f"the {what} name {', '.join(map(repr, repeated))} more than once")


def _source(table: Any) -> tables.TableSource:
    return tables.source_of(table)


def table_format(table: PathLike, csv: Optional[tables.CsvOptions] = None) -> str:
    """What the file ``table`` holds (``tables.table_format``).

    Returns:
        A ``tables.TableFormat`` (a str: "csv", "parquet", ...).

    Raises:
        MissingFileError, FileAccessError, InputError: as ``tables.table_format``.
    """
    return tables.table_format(table, csv)


def csv_lines(table: Any, indices: Iterable[int]) -> Dict[int, int]:
    """The line of the CSV file (the header line is line 1) on which each data
    row of ``indices`` (counted from 0, as the rows are read) starts.

    Returns:
        A mapping of the indices found to their lines.

    Raises:
        InputError: the file is no table.
    """
    return _source(table).lines(indices)


def count_rows(table: Any, columns: Sequence[str]) -> int:
    """The rows of the table (from its metadata where the format records it,
    else by reading the named columns).

    Returns:
        The number of rows.

    Raises:
        InputError: no column named, a column missing, or a table that cannot be read.
    """
    source = _source(table)
    if not columns:
        raise InputError(source.name, "no column named")
    return source.count_rows(columns)


def read_batches(table: Any, columns: Sequence[str], batch_rows: int = 8192) -> Iterator[List[Any]]:
    """The named columns of the table, batch after batch.

    Returns:
        An iterator of lists of pyarrow arrays (one per column, in the order named).

    Raises:
        InputError: no column named, a column missing, or a table that cannot be read.
    """
    source = _source(table)
    if not columns:
        raise InputError(source.name, "no column named")
    for batch in source.batches(columns, batch_rows):
        yield [batch.column(batch.schema.get_field_index(c)) for c in columns]


def _as_strings(path: PathLike, name: str, array: Any, offset: int, nulls: bool = False) -> Any:
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
    if array.null_count and not nulls:
        first = pc.index(pc.is_null(array), True).as_py()
        raise InputError(path, f"column {name!r} is empty in row {offset + first + 1}")
    return array


class RowCheck:
    """The rule on key values, applied batch by batch as a table is read: a
    value that is null, empty or white space only is no key (``BLANK_RULE``).

    ``keep(arrays)`` takes one batch of the named columns (as ``read_batches``
    gives them) and returns the mask of its rows to keep, or None when it
    keeps them all; the check counts the rows held back, column by column,
    and notes the first of them for ``refusal``. With ``hints`` (for
    normalisation "none") it also notes columns whose values have white
    space around them or mix upper and lower case, which would match only as
    written (``hint``). With ``indices`` it keeps every held-back row's index."""

    def __init__(self, table: Any, names: Sequence[str], hints: bool = False, indices: bool = False) -> None:
        self.source = table if isinstance(table, tables.TableSource) else None
        self.path = self.source.name if self.source is not None else os.fspath(table)
        self._table = table
        self.names = list(names)
        self.hints = hints
        self.rows = 0  # rows read
        self.blank = 0  # rows held back
        self.indices: Optional[List[int]] = [] if indices else None
        self._counts: Dict[str, int] = {}
        self._first: Dict[str, List[int]] = {}
        self._spaced: Dict[str, int] = {}
        self._upper: Set[str] = set()
        self._lower: Set[str] = set()

    def keep(self, arrays: Sequence[Any]) -> Optional[Any]:
        pa, pc = _arrow()
        held = None
        for name, array in dict(zip(self.names, arrays)).items():  # a column named twice counts once
            strings = _as_strings(self.path, name, array, self.rows, nulls=True)
            blank = pc.fill_null(pc.match_substring_regex(strings, _BLANK), True)
            count = pc.sum(blank).as_py() or 0
            if count:
                self._counts[name] = self._counts.get(name, 0) + count
                first = self._first.setdefault(name, [])
                if len(first) < _SHOWN:
                    at = pc.indices_nonzero(blank).slice(0, _SHOWN - len(first)).to_pylist()
                    first += [self.rows + i for i in at]
                held = blank if held is None else pc.or_(held, blank)
            if self.hints:
                self._note_hints(name, strings, blank)
        self.rows += len(arrays[0]) if arrays else 0
        if held is None:
            return None
        if self.indices is not None:
            start = self.rows - len(held)
            self.indices += [start + i for i in pc.indices_nonzero(held).to_pylist()]
        self.blank += pc.sum(held).as_py()
        return pc.invert(held)

    def _note_hints(self, name: str, strings: Any, blank: Any) -> None:
        _, pc = _arrow()
        surrounded = pc.and_(pc.match_substring_regex(strings, _SURROUNDED), pc.invert(blank))
        spaced = pc.sum(surrounded).as_py() or 0
        if spaced:
            self._spaced[name] = self._spaced.get(name, 0) + spaced
        if name not in self._upper and pc.any(pc.match_substring_regex(strings, r"\p{Lu}")).as_py():
            self._upper.add(name)
        if name not in self._lower and pc.any(pc.match_substring_regex(strings, r"\p{Ll}")).as_py():
            self._lower.add(name)

    def _numbers(self, indices: Sequence[int]) -> Tuple[str, Dict[int, int]]:
        """Rows as a reader of the table finds them: CSV lines counting the header
        line, JSON lines, other rows counting from 1."""
        return (self.source or _source(self._table)).numbers(indices)

    def refusal(self) -> InputError:
        """The error refusing the table for the rows held back."""
        noun, numbers = self._numbers([i for first in self._first.values() for i in first])
        columns = []
        for name, count in self._counts.items():
            first = self._first[name]
            places = ", ".join(str(numbers[i]) for i in first) + (", ..." if count > len(first) else "")
            columns.append(f"column {name!r} in {count:,} ({noun}{'s' if count != 1 else ''} {places})")
        rows = f"{self.blank:,} row{'s' if self.blank != 1 else ''}"
        return InputError(
            self.path,
            f"has {rows} whose key value is empty, white space only or null: {'; '.join(columns)}; "
            "such values would match each other (--skip-invalid leaves those rows out)",
        )

    def hint(self) -> Optional[ToolWarning]:
        """The warning that values would match only as written, or None."""
        parts = [f"column {n!r} has {c:,} value{'s' if c != 1 else ''} with white space around it"
                 for n, c in self._spaced.items()]
        parts += [f"column {n!r} mixes upper and lower case" for n in dict.fromkeys(self.names)
                  if n in self._upper and n in self._lower]
        if not parts:
            return None
        return ToolWarning(
            self.path,
            f"{'; '.join(parts)}: with --normalise none values match only exactly as written "
            "(--normalise identifier removes white space and upper-cases; --normalise name is for names)",
        )


def kept(arrays: Sequence[Any], mask: Optional[Any]) -> List[Any]:
    """The rows of one batch that ``mask`` (of ``RowCheck.keep``) keeps.

    Returns:
        The arrays, filtered.

    Raises:
        Nothing of its own.
    """
    if mask is None:
        return list(arrays)
    return [array.filter(mask) for array in arrays]


def blank_rows(table: Any, columns: Sequence[str], batch_rows: int = 65536) -> List[int]:
    """The rows of the table whose value in one of ``columns`` is refused as
    a key (``BLANK_RULE``).

    Returns:
        Their indices, from 0.

    Raises:
        InputError: a column missing, or a table that cannot be read.
    """
    source = _source(table)
    check = RowCheck(source, columns, indices=True)
    for arrays in read_batches(source, columns, batch_rows):
        check.keep(arrays)
    assert check.indices is not None
    return check.indices


def _name(value: str) -> str:
    folded = unicodedata.normalize("NFKC", unicodedata.normalize("NFKC", value).casefold())
    return " ".join(folded.split())


def encode_batch(
    path: PathLike, names: Sequence[str], arrays: Sequence[Any], normalise: str = "none", offset: int = 0
) -> List[str]:
    """One encoded row string per row of the batch (``offset``: rows before it, for messages).

    Returns:
        The encoded strings, one per row.

    Raises:
        InputError: a column of another type than strings or integers, or a null.
    """
    return encoded_array(path, names, arrays, normalise, offset).to_pylist()


def encoded_array(
    path: PathLike, names: Sequence[str], arrays: Sequence[Any], normalise: str = "none", offset: int = 0
) -> Any:
    """``encode_batch`` as one pyarrow string array, before its rows become Python strings."""
    pa, pc = _arrow()
    normalise = Normalisation(normalise)
    parts: List[Any] = []
    for name, array in zip(names, arrays):
        array = _as_strings(path, name, array, offset)
        if normalise is Normalisation.IDENTIFIER:
            array = pc.utf8_upper(pc.replace_substring_regex(array, _SPACES, ""))
        elif normalise is Normalisation.NAME:
            array = pa.array([_name(v) for v in array.to_pylist()], pa.string())
        parts += [pc.cast(pc.binary_length(array), pa.string()), ":", array]
    return pc.binary_join_element_wise(*parts, "")


def release_unused() -> None:
    """Gives back to the system what pyarrow's memory pool keeps of freed
    arrays, before a step forks or holds much else."""
    pa, _ = _arrow()
    pa.default_memory_pool().release_unused()


class RowPacker:
    """Rows packed as ``ostrelline_hiding.build_okvs_packed`` takes them: the
    row ``[s]`` for each string s of the ``encoded_array`` batches added, in
    order, as one buffer of key bytes and n + 1 offsets into it, 8 bytes each,
    little-endian, from 0. Row i's key bytes are ``layout.row_key([s])``, the
    UTF-8 of its string, which is how pyarrow holds it: they are copied once,
    from each batch, never made again."""

    def __init__(self) -> None:
        self.count = 0
        self._keys = io.BytesIO()
        self._offsets = io.BytesIO()
        self._offsets.write(bytes(8))

    def add(self, strings: Any) -> None:
        pa, pc = _arrow()
        strings = pc.cast(strings, pa.large_string())
        count = len(strings)
        if count == 0:
            return
        offsets = pa.Array.from_buffers(pa.int64(), count + 1, [None, strings.buffers()[1]], offset=strings.offset)
        first, last = offsets[0].as_py(), offsets[count].as_py()
        shifted = pc.add(offsets.slice(1), pa.scalar(self._keys.tell() - first, pa.int64()))
        if last > first:
            self._keys.write(strings.buffers()[2].slice(first, last - first))
        self._offsets.write(_little_endian(shifted.buffers()[1].slice(8 * shifted.offset, 8 * count)))
        self.count += count

    def packed(self) -> Tuple[bytes, bytes]:
        """The key bytes and the offsets (BytesIO hands its buffer over without a copy)."""
        return self._keys.getvalue(), self._offsets.getvalue()


def packed_strings(keys: bytes, offsets: bytes) -> List[str]:
    """The strings of packed rows (``RowPacker``), in order."""
    pa, _ = _arrow()
    count = len(offsets) // 8 - 1
    buffers = [None, pa.py_buffer(_little_endian(offsets)), pa.py_buffer(keys)]
    return pa.Array.from_buffers(pa.large_string(), count, buffers).to_pylist()


def _little_endian(offsets: Any) -> Any:
    """8-byte offsets between pyarrow's byte order (the machine's) and little-endian."""
    if sys.byteorder == "little":
        return offsets
    import array

    swapped = array.array("q", bytes(offsets))
    swapped.byteswap()
    return swapped.tobytes()


def encode_row(values: Sequence[str], normalise: str = "none") -> str:
    """The encoded string of one row given as Python strings (the same as ``encode_batch``).

    Returns:
        The encoded string.

    Raises:
        ValueError: an unknown normalisation.
    """
    pa, _ = _arrow()
    arrays = [pa.array([v], pa.string()) for v in values]
    return encode_batch("<row>", [str(i) for i in range(len(values))], arrays, normalise)[0]



def table_columns(table: Any) -> List[str]:
    """The column names of a table.

    Returns:
        The names, in order.

    Raises:
        InputError: a table that cannot be read.
    """
    return _source(table).columns()


def require_new_column(path: PathLike, names: Sequence[str], column: str) -> None:
    """Refuses a results column name that is empty or that the table already has.

    Raises:
        InputError: the name is empty or taken.

    Returns:
        None.
    """
    if not column:
        raise InputError(path, "needs a name for the match column")
    if column in names:
        raise InputError(path, f"already has a column {column!r}; name another one for the results")


def with_column(
    table: Any, column: str, values: Sequence[Optional[bool]], batch_rows: int = 65536
) -> Tuple[Any, Iterator[Any]]:
    """The table (every column, CSV columns as strings) with ``column`` of
    ``values`` added, batch after batch.

    Returns:
        The schema of the batches and an iterator of them; the iterator
        raises ``InputError`` at its end when the table held another number
        of rows than ``values``.

    Raises:
        InputError: the table cannot be read, or already has ``column``.
    """
    pa, _ = _arrow()
    source = _source(table)
    schema = source.schema()
    names = list(schema.names)
    source.check(names)
    require_new_column(source.name, names, column)
    schema = schema.append(pa.field(column, pa.bool_()))

    def batches() -> Iterator[Any]:
        done = 0
        for batch in source.batches(None, batch_rows):
            flags = pa.array(values[done : done + batch.num_rows], pa.bool_())
            done += batch.num_rows
            yield pa.RecordBatch.from_arrays(list(batch.columns) + [flags], schema=schema)
        if done != len(values):
            raise InputError(source.name, f"holds {done} rows, the results {len(values)}")

    return schema, batches()
