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

The ``name`` normalisation is for names of people and companies: Unicode
NFKC, case folding, NFKC again (folding can leave a string unnormalised),
and white space collapsed to single spaces and trimmed, so that
"Müller  GmbH" and "MÜLLER GMBH" are one name.

How rows were encoded is recorded in every header that rows went into (the
``rows`` field): the scheme, the normalisation and the number of columns; a
query is refused against a store whose record differs. A store also records
its bank's column names, in order (``columns``), so that a payment network
naming the same columns in another order is told before it queries.

Tables are read with pyarrow in batches: CSV columns are read as strings
(leading zeros stay), Parquet columns may be strings, integers or
dictionary-encoded strings. What a file is, is told from its first bytes
(``table_format``): Parquet by its magic, CSV when it is UTF-8 text, and
anything else (Arrow IPC, a file of the tools, compressed files, binary
data, text in another encoding) is refused for what it appears to be.

A key value that is null, empty or white space only cannot tell accounts
apart: every such payment would match every such row. ``RowCheck`` finds the
rows holding one as a table is read, so that the steps refuse the table (or,
when asked, leave those rows out); the rule is the same for every format.
"""
from __future__ import annotations

import codecs
import enum
import os
import re
import unicodedata
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

from .errors import BadFileError, Extra, InputError, MissingDependencyError, PathLike, ToolWarning

__all__ = [
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
    "encode_row",
    "table_columns",
    "require_new_column",
    "write_with_column",
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
# What is read of a file to tell what it is.
_SNIFF = 1 << 16


def _arrow() -> Any:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise MissingDependencyError("reading CSV and Parquet files", "pyarrow", Extra.TOOLS) from None
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
    (``what`` names the list in the message)."""
    if not names:
        raise ValueError(f"the {what} name no column")
    if any(not name for name in names):
        raise ValueError(f"the {what} include an empty name")
    repeated = [name for name in dict.fromkeys(names) if list(names).count(name) > 1]
    if repeated:
        raise ValueError(f"the {what} name {', '.join(map(repr, repeated))} more than once")


# Files that are not tables, told by their first bytes.
_NOT_TABLES: Tuple[Tuple[bytes, str], ...] = (
    (b"ARROW1", "an Arrow IPC (Feather) file"),
    (b"FEA1", "a Feather (version 1) file"),
    (b"\xff\xff\xff\xff", "an Arrow IPC stream"),
    (b"\x1f\x8b", "a gzip-compressed file (decompress it first)"),
    (b"BZh", "a bzip2-compressed file (decompress it first)"),
    (b"\xfd7zXZ\x00", "an xz-compressed file (decompress it first)"),
    (b"\x28\xb5\x2f\xfd", "a Zstandard-compressed file (decompress it first)"),
    (b"PK\x03\x04", "a ZIP archive (an Excel workbook is one too)"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "an OLE2 compound file (an old Excel workbook?)"),
    (b"SQLite format 3\x00", "an SQLite database"),
    (b"Obj\x01", "an Avro file"),
    (b"%PDF-", "a PDF document"),
    (b"\xff\xfe", "UTF-16 text (save it as UTF-8)"),
    (b"\xfe\xff", "UTF-16 text (save it as UTF-8)"),
)
_KIND_FIELD = slice(16, 40)  # the kind name in a header of the tools


def _tools_file(path: PathLike, head: bytes) -> InputError:
    from . import files, kinds  # noqa: F401 - kinds registers the tools' kinds

    name = head[_KIND_FIELD].rstrip(b"\0")
    what = "an ostrelline tools file"
    if re.fullmatch(rb"[a-z][a-z-]*", name):
        try:
            what += f" (a {files.kind(name.decode('ascii')).description})"
        except KeyError:
            what += f" (of kind {name.decode('ascii')})"
    return InputError(path, f"is {what}, not a table")


def _not_utf8(path: PathLike, offset: int, byte: int, head: bytes) -> InputError:
    # Text in a single-byte encoding: printable bytes and line ends only.
    text = not re.search(rb"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]", head)
    hint = " (Latin-1 or Windows-1252 text? save it as UTF-8)" if text else ""
    return InputError(path, f"is not UTF-8 text (byte 0x{byte:02x} at offset {offset}): not a CSV table{hint}")


def _first_non_utf8(path: PathLike, limit: Optional[int] = None) -> Optional[Tuple[int, int]]:
    """The offset and value of the first byte of the file (of its first
    ``limit`` bytes) that is not UTF-8 text; None when there is none."""
    decoder = codecs.getincrementaldecoder("utf-8")()
    offset = 0
    with open(path, "rb") as file:
        while limit is None or offset < limit:
            block = file.read(min(1 << 20, limit - offset) if limit is not None else 1 << 20)
            pending = len(decoder.getstate()[0])
            try:
                decoder.decode(block, final=not block)
            except UnicodeDecodeError as error:
                at = offset - pending + error.start
                return at, (error.object[error.start] if error.start < len(error.object) else 0)
            if not block:
                return None
            offset += len(block)
    return None


def table_format(path: PathLike) -> str:
    """ "parquet" or "csv", told from the file's first bytes: Parquet's magic,
    or UTF-8 text. Any other file is refused for what it appears to be."""
    try:
        with open(path, "rb") as file:
            head = file.read(_SNIFF)
    except OSError as error:
        raise InputError(path, f"cannot be read ({error.strerror or error})") from None
    if head.startswith(b"PAR1"):
        return "parquet"
    if not head:
        raise InputError(path, "is empty (0 bytes): not a CSV or Parquet table")
    from .files import MAGIC

    if head.startswith(MAGIC):
        raise _tools_file(path, head)
    for magic, what in _NOT_TABLES:
        if head.startswith(magic):
            raise InputError(path, f"is {what}, not a CSV or Parquet table")
    bad = _first_non_utf8(path, _SNIFF)
    if bad is not None:
        raise _not_utf8(path, bad[0], bad[1], head)
    if b"\0" in head:
        raise InputError(path, f"holds a NUL byte at offset {head.index(0)}: binary data, not a CSV table")
    return "csv"


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


class _BadRow:
    """The invalid-row handler of a CSV read: notes the first row with another
    number of fields than the header, and fails the read."""

    def __init__(self) -> None:
        self.row: Optional[Tuple[int, int, Optional[int]]] = None

    def __call__(self, row: Any) -> str:
        if self.row is None:
            self.row = (row.expected_columns, row.actual_columns, row.number)
        return "error"


def _csv_open(path: PathLike, read: Any, convert: Any, bad_row: Optional[_BadRow] = None) -> Any:
    pa, _ = _arrow()
    from pyarrow import csv

    table_format(path)  # refuses what is no CSV text, before pyarrow reads it
    bad_row = bad_row if bad_row is not None else _BadRow()
    parse = csv.ParseOptions(invalid_row_handler=bad_row)
    try:
        return csv.open_csv(os.fspath(path), read_options=read, parse_options=parse, convert_options=convert)
    except (pa.ArrowException, UnicodeDecodeError, OSError) as error:
        raise _csv_failure(path, error, bad_row) from None


def _csv_failure(path: PathLike, error: BaseException, bad_row: Optional[_BadRow]) -> InputError:
    """The InputError for a failed read of a CSV table, naming the line where
    it can be told; never with the file's content (pyarrow's messages quote
    the row)."""
    if bad_row is not None and bad_row.row is not None:
        expected, actual, number = bad_row.row
        if number is None:
            number = _bad_row_number(path)
        where = "a row"
        if number is not None:  # counts the header and the rows, not the empty lines
            where = f"line {csv_lines(path, [number - 2]).get(number - 2, number)}"
        fields = f"{actual} field{'s' if actual != 1 else ''}"
        return InputError(path, f"cannot be read as CSV: {where} has {fields}, the header {expected}")
    if isinstance(error, UnicodeDecodeError) or "invalid UTF8" in str(error):
        bad = _first_non_utf8(path)
        if bad is not None:
            with open(path, "rb") as file:
                head = file.read(_SNIFF)
            return _not_utf8(path, bad[0], bad[1], head)
    message = str(error).splitlines()[0] if str(error) else type(error).__name__
    message = re.sub(r"(got \d+):.*", r"\1", message)  # the row's text follows
    return InputError(path, f"cannot be read as CSV ({message[:200]})")


def _bad_row_number(path: PathLike) -> Optional[int]:
    """The number of the first row with the wrong number of fields (a read on
    one thread numbers the rows; a read on several does not)."""
    pa, _ = _arrow()
    from pyarrow import csv

    bad_row = _BadRow()
    try:
        reader = csv.open_csv(
            os.fspath(path),
            read_options=csv.ReadOptions(use_threads=False),
            parse_options=csv.ParseOptions(invalid_row_handler=bad_row),
            convert_options=csv.ConvertOptions(column_types={}, strings_can_be_null=False),
        )
        for _ in iter(reader.read_next_batch, None):
            pass
    except (StopIteration, pa.ArrowException, UnicodeDecodeError, OSError):
        pass
    return bad_row.row[2] if bad_row.row is not None else None


def csv_lines(path: PathLike, indices: Iterable[int]) -> Dict[int, int]:
    """The line of the file (the header line is line 1) on which each data row
    of ``indices`` (counted from 0, as the rows are read) starts. A field may
    hold line breaks and empty lines hold no row, so the lines are counted by
    reading the file up to the last row asked for."""
    import csv

    wanted = sorted(set(i for i in indices if i >= 0))
    found: Dict[int, int] = {}
    if not wanted:
        return found
    try:
        with open(path, newline="", encoding="utf-8-sig", errors="replace") as file:
            reader = csv.reader(file)
            before, record = 0, -1  # the header is record -1
            for fields in reader:
                start, before = before + 1, reader.line_num
                if not fields:
                    continue  # an empty line (pyarrow skips them too)
                if record == wanted[len(found)]:
                    found[record] = start
                    if len(found) == len(wanted):
                        break
                record += 1
    except (OSError, csv.Error):
        pass  # a field past the csv module's size limit: the lines found so far
    return found


def csv_columns(path: PathLike) -> List[str]:
    """The column names of a CSV table (from its first line)."""
    from pyarrow import csv

    return _csv_open(path, csv.ReadOptions(block_size=1 << 20), None).schema.names


def _csv_reader(path: PathLike, columns: Sequence[str], block_rows: int, bad_row: _BadRow) -> Any:
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
    return _csv_open(path, read, convert, bad_row)


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
    bad_row = _BadRow()
    reader = _csv_reader(path, columns, batch_rows, bad_row)
    while True:
        try:
            batch = reader.read_next_batch()
        except StopIteration:
            return
        except (pa.ArrowException, UnicodeDecodeError) as error:
            raise _csv_failure(path, error, bad_row) from None
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

    def __init__(
        self, path: PathLike, names: Sequence[str], hints: bool = False, indices: bool = False
    ) -> None:
        self.path = path
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
        """Rows as a reader of the file finds them: CSV lines counting the header
        line, Parquet rows counting from 1."""
        if table_format(self.path) == "csv":
            lines = csv_lines(self.path, indices)
            return "line", {i: lines.get(i, i + 2) for i in indices}
        return "row", {i: i + 1 for i in indices}

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
    """The rows of one batch that ``mask`` (of ``RowCheck.keep``) keeps."""
    if mask is None:
        return list(arrays)
    return [array.filter(mask) for array in arrays]


def blank_rows(path: PathLike, columns: Sequence[str], batch_rows: int = 65536) -> List[int]:
    """The indices (from 0) of the rows of the table whose value in one of
    ``columns`` is refused as a key (``BLANK_RULE``)."""
    check = RowCheck(path, columns, indices=True)
    for arrays in read_batches(path, columns, batch_rows):
        check.keep(arrays)
    assert check.indices is not None
    return check.indices


def _name(value: str) -> str:
    folded = unicodedata.normalize("NFKC", unicodedata.normalize("NFKC", value).casefold())
    return " ".join(folded.split())


def encode_batch(
    path: PathLike, names: Sequence[str], arrays: Sequence[Any], normalise: str = "none", offset: int = 0
) -> List[str]:
    """One encoded row string per row of the batch (``offset``: rows before it, for messages)."""
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
    values: Sequence[Optional[bool]],
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
