"""Input tables, whatever form they come in, read with pyarrow in batches.

A table is given as one of:

* a path to a file: CSV text (``CsvOptions`` says its dialect and encoding),
  Parquet, Arrow IPC (a Feather version 2 file or an IPC stream) or JSON
  lines (one object a line; ``.jsonl``, ``.ndjson``, or text starting with
  ``{``). What a file is, is told from its first bytes, not its name: files
  that are none of these (a file of the tools, compressed files, archives,
  binary data, text not in the encoding named) are refused for what they
  appear to be, without quoting them;
* a path to a folder of Parquet files: one table, the files read in the
  order of their paths, with hive-style partition folders (``year=2024/``)
  giving columns;
* ``"-"``: standard input, in any of the file formats, copied once to a
  private temporary file (mode 0600, removed when the step ends), so that a
  step that reads its table twice reads the same rows;
* a ``pyarrow.Table``, ``pyarrow.RecordBatch``, ``pyarrow.RecordBatchReader``
  (copied once to a private temporary Arrow IPC file, batch by batch, since a
  reader is read only once), a pandas ``DataFrame`` (converted by
  ``pyarrow.Table.from_pandas``: a named index becomes a column; pandas is
  used only when a DataFrame is given), or any object with the Arrow
  C stream interface (``__arrow_c_stream__``).

``open_table`` gives a ``TableSource`` for any of them, as a context manager
that removes what it spooled. A source reads the columns asked for, batch
after batch, names rows in messages as a user finds them (CSV and JSON
lines: the line of the file, the header being line 1 for CSV; other
formats: the row, counting from 1) and has a ``digest`` that ``finish``
compares with the one ``initiate`` recorded:

* for a table read from a file (standard input included): BLAKE2b-128,
  personalised ``ostrelline pays``, of the file's bytes; for a folder of
  Parquet files, of each file's path relative to the folder, its length and
  its bytes, in path order;
* for a table given in memory: BLAKE2b-128, personalised ``ostrelline tabl``,
  of the Arrow IPC stream of the table as pyarrow writes it, its schema
  without metadata and its rows in record batches of 65,536 rows. Equal
  content of equal types gives equal digests, however the table is chunked;
  the same rows as another type (a DataFrame's int64 against a CSV file's
  strings) do not.
"""
from __future__ import annotations

import codecs
import contextlib
import enum
import hashlib
import os
import re
import shutil
import sys
import tempfile
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from .errors import Extra, InputError, MissingDependencyError, PathLike, UsageError, os_failure

if TYPE_CHECKING:
    import pandas
    import pyarrow

__all__ = [
    "TableInput",
    "TableFormat",
    "CsvOptions",
    "TableSource",
    "STDIN",
    "open_table",
    "source_of",
    "table_format",
    "check_columns",
    "arrow",
]

#: What the steps accept as a table.
TableInput = Union[str, "os.PathLike[str]", "pyarrow.Table", "pyarrow.RecordBatch", "pyarrow.RecordBatchReader",
                   "pandas.DataFrame"]

#: The table name that means standard input.
STDIN = "-"
# What is read of a file to tell what it is.
_SNIFF = 1 << 16
# Rows per batch of the digest of a table given in memory (part of its definition).
_DIGEST_ROWS = 65536
_JSON_SUFFIXES = (".jsonl", ".ndjson", ".json")


def arrow() -> Any:
    """pyarrow, or the error naming the extra that brings it.

    Returns:
        The ``pyarrow`` module.

    Raises:
        MissingDependencyError: pyarrow is not installed (names the extra).
    """
    try:
        import pyarrow
    except ImportError:
        raise MissingDependencyError("reading CSV and Parquet files", "pyarrow", Extra.TOOLS) from None
    return pyarrow


class TableFormat(str, enum.Enum):
    """What a table is read as."""

    CSV = "csv"
    PARQUET = "parquet"
    #: a folder of Parquet files
    PARQUET_FOLDER = "parquet-folder"
    #: an Arrow IPC file (Feather version 2)
    ARROW = "arrow"
    ARROW_STREAM = "arrow-stream"
    JSON_LINES = "jsonl"
    #: a table given in memory
    MEMORY = "memory"


@dataclass(frozen=True)
class CsvOptions:
    """How CSV text is read: the field ``delimiter`` (one character), the
    text's ``encoding`` (any codec name Python knows) and the ``quote_char``
    around fields that hold the delimiter or line breaks (None: no quoting).

    Raises:
        UsageError: a delimiter or quote character that is not one character,
            the two alike, a line break among them, or an unknown encoding.
    """

    delimiter: str = ","
    encoding: str = "utf-8"
    quote_char: Optional[str] = '"'

    def __post_init__(self) -> None:
        for what, value in (("delimiter", self.delimiter), ("quote character", self.quote_char)):
            if value is None and what != "delimiter":
                continue
            if not isinstance(value, str) or len(value) != 1:
                raise UsageError(f"the CSV {what} is one character, not {value!r}")
            if value in "\r\n":
                raise UsageError(f"the CSV {what} cannot be a line break")
        if self.delimiter == self.quote_char:
            raise UsageError(f"the CSV delimiter and quote character are both {self.delimiter!r}")
        try:
            name = codecs.lookup(self.encoding).name
        except (LookupError, TypeError):
            raise UsageError(
                f"{self.encoding!r} is no text encoding Python knows (utf-8, latin-1, cp1252, ...)"
            ) from None
        object.__setattr__(self, "encoding", name)

    @classmethod
    def parse(
        cls, delimiter: Optional[str] = None, encoding: Optional[str] = None, quote_char: Optional[str] = None
    ) -> "CsvOptions":
        """The options as a shell user types them, None for the default:
        ``tab`` or ``\\t`` (backslash, t) for a tab delimiter, an empty
        ``quote_char`` for no quoting.

        Returns:
            The ``CsvOptions``.

        Raises:
            UsageError: as ``CsvOptions`` does.
        """
        default = cls()
        if delimiter is not None and delimiter.lower() in ("tab", "\\t"):
            delimiter = "\t"
        quote: Optional[str] = default.quote_char if quote_char is None else (quote_char or None)
        return cls(default.delimiter if delimiter is None else delimiter,
                   default.encoding if encoding is None else encoding, quote)

    @property
    def utf8(self) -> bool:
        return self.encoding == "utf-8"


_DEFAULT_CSV = CsvOptions()

# Files that are not tables, told by their first bytes.
_NOT_TABLES: Tuple[Tuple[bytes, str], ...] = (
    (b"FEA1", "a Feather version 1 file (write it as Feather version 2, the Arrow IPC file)"),
    (b"\x1f\x8b", "a gzip-compressed file (decompress it first)"),
    (b"BZh", "a bzip2-compressed file (decompress it first)"),
    (b"\xfd7zXZ\x00", "an xz-compressed file (decompress it first)"),
    (b"\x28\xb5\x2f\xfd", "a Zstandard-compressed file (decompress it first)"),
    (b"PK\x03\x04", "a ZIP archive (an Excel workbook is one too)"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "an OLE2 compound file (an old Excel workbook?)"),
    (b"SQLite format 3\x00", "an SQLite database"),
    (b"Obj\x01", "an Avro file"),
    (b"%PDF-", "a PDF document"),
)
_UTF16 = ((b"\xff\xfe", "UTF-16 text (save it as UTF-8)"), (b"\xfe\xff", "UTF-16 text (save it as UTF-8)"))
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


def _not_text(path: PathLike, offset: int, byte: int, head: bytes, encoding: str) -> InputError:
    if encoding != "utf-8":
        return InputError(path, f"is not {encoding} text (byte 0x{byte:02x} at offset {offset}): not a CSV table")
    # Text in a single-byte encoding: printable bytes and line ends only.
    text = not re.search(rb"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]", head)
    hint = " (Latin-1 or Windows-1252 text? save it as UTF-8, or name its encoding: --encoding latin-1)" if text else ""
    return InputError(path, f"is not UTF-8 text (byte 0x{byte:02x} at offset {offset}): not a CSV table{hint}")


def _first_undecodable(path: PathLike, encoding: str, limit: Optional[int] = None) -> Optional[Tuple[int, int]]:
    """The offset and value of the first byte of the file (of its first
    ``limit`` bytes) that is not text in ``encoding``; None when there is none."""
    decoder = codecs.getincrementaldecoder(encoding)()
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


def table_format(path: PathLike, csv: Optional[CsvOptions] = None) -> TableFormat:
    """What the file or folder ``path`` holds, told from its first bytes.

    Returns:
        The ``TableFormat``: Parquet or Arrow IPC by their magic, a folder of
        Parquet files, JSON lines or CSV when it is text in the encoding of
        ``csv`` (UTF-8 by default).

    Raises:
        MissingFileError: there is no such file (also a ``FileNotFoundError``).
        FileAccessError: it may not be read (also a ``PermissionError``).
        InputError: it is no table (a file of the tools, a compressed file, an
            archive, binary data, text in another encoding, an empty file, a
            folder without Parquet files).
    """
    options = csv or _DEFAULT_CSV
    if os.path.isdir(path):
        if not _folder_files(path):
            raise InputError(path, "is a folder without Parquet files: not a table")
        return TableFormat.PARQUET_FOLDER
    try:
        with open(path, "rb") as file:
            head = file.read(_SNIFF)
    except OSError as error:
        raise os_failure(path, error, table=True) from None
    if head.startswith(b"PAR1"):
        return TableFormat.PARQUET
    if head.startswith(b"ARROW1"):
        return TableFormat.ARROW
    if head.startswith(b"\xff\xff\xff\xff"):
        return TableFormat.ARROW_STREAM
    if not head:
        raise InputError(path, "is empty (0 bytes): not a table")
    from .files import MAGIC

    if head.startswith(MAGIC):
        raise _tools_file(path, head)
    for magic, what in _NOT_TABLES:
        if head.startswith(magic):
            raise InputError(path, f"is {what}, not a table")
    for magic, what in _UTF16 if not options.encoding.startswith("utf-16") else ():
        if head.startswith(magic):
            raise InputError(path, f"is {what}, not a table as it is read (name its encoding: --encoding utf-16)")
    bad = _first_undecodable(path, options.encoding, _SNIFF)
    if bad is not None:
        raise _not_text(path, bad[0], bad[1], head, options.encoding)
    if options.utf8 and b"\0" in head:
        raise InputError(path, f"holds a NUL byte at offset {head.index(0)}: binary data, not a CSV table")
    if os.fspath(path).lower().endswith(_JSON_SUFFIXES) or (options.utf8 and head.lstrip()[:1] == b"{"):
        return TableFormat.JSON_LINES
    return TableFormat.CSV


def _folder_files(path: PathLike) -> List[str]:
    """The Parquet files of a folder, as pyarrow's dataset discovery finds them
    (names starting with "." or "_" are not data), in path order."""
    found = []
    for directory, folders, names in os.walk(path):
        folders[:] = sorted(f for f in folders if not f.startswith((".", "_")))
        for name in sorted(names):
            if not name.startswith((".", "_")):
                found.append(os.path.join(directory, name))
    return sorted(found, key=lambda p: os.path.relpath(p, path))


def check_columns(name: str, available: Sequence[str], wanted: Sequence[str]) -> None:
    """Refuses columns the table lacks, or that name two of its columns.

    Returns:
        None.

    Raises:
        InputError: a column missing, or named twice in the table.
    """
    missing = [c for c in wanted if c not in available]
    if missing:
        raise InputError(
            name, f"has no column {', '.join(repr(c) for c in missing)} (it has {', '.join(map(repr, available))})"
        )
    # A name that heads two columns would silently pick one of them.
    repeated = [c for c in dict.fromkeys(wanted) if list(available).count(c) > 1]
    if repeated:
        raise InputError(name, f"has more than one column named {', '.join(map(repr, repeated))}")


class TableSource:
    """One table, however it was given: its columns, its rows batch after
    batch, how a reader finds a row again, and its digest.

    ``name`` names it in messages (the path, ``<stdin>``, or the kind of
    object given); ``format`` is its ``TableFormat``; ``path`` the file (or
    folder) read, None for a table in memory; ``spooled`` tells a private
    temporary copy made by ``open_table`` (of standard input or a reader),
    which only this process can read; ``options``, for CSV, its
    ``CsvOptions``."""

    format: TableFormat = TableFormat.MEMORY
    path: Optional[str] = None
    spooled = False
    options: Optional[CsvOptions] = None

    def __init__(self, name: str):
        self.name = name

    def schema(self) -> Any:
        """The table's Arrow schema as it is read (CSV columns as strings)."""
        raise NotImplementedError

    def columns(self) -> List[str]:
        """The column names, in order."""
        return list(self.schema().names)

    def check(self, columns: Sequence[str]) -> None:
        """Refuses columns the table lacks or has twice (``InputError``)."""
        check_columns(self.name, self.columns(), columns)

    def count_rows(self, columns: Sequence[str]) -> int:
        """The number of rows (reading the named columns where the format does not record it)."""
        return sum(batch.num_rows for batch in self.batches(columns, 65536))

    def batches(self, columns: Optional[Sequence[str]] = None, batch_rows: int = 65536) -> Iterator[Any]:
        """Record batches of the named columns (every column when None), each
        column once, in the table's order of rows."""
        wanted = self.columns() if columns is None else list(dict.fromkeys(columns))
        self.check(wanted)
        return self._batches(wanted, batch_rows)

    def _batches(self, columns: List[str], batch_rows: int) -> Iterator[Any]:
        raise NotImplementedError

    def numbers(self, indices: Sequence[int]) -> Tuple[str, Dict[int, int]]:
        """How a reader of the table finds the rows of ``indices`` (from 0):
        the noun ("line" or "row") and the number of each."""
        return "row", {i: i + 1 for i in indices}

    def lines(self, indices: Iterable[int]) -> Dict[int, int]:
        """The line of the file on which each row of ``indices`` (from 0)
        starts, for the formats that have lines (the row number otherwise)."""
        return self.numbers(list(indices))[1]

    def digest(self) -> str:
        """The digest that ties the results to the queries (see the module's text)."""
        pa = arrow()
        digest = hashlib.blake2b(digest_size=16, person=b"ostrelline tabl")

        class Sink:
            closed = False

            def write(self, data: Any) -> int:
                digest.update(data)
                return len(data)

            def flush(self) -> None:
                pass

            def close(self) -> None:
                pass

        sink = pa.PythonFile(Sink(), mode="w")
        schema = self.schema().remove_metadata()
        with pa.ipc.new_stream(sink, schema) as writer:
            pending: List[Any] = []
            count = 0
            for batch in self.batches(None, _DIGEST_ROWS):
                pending.append(batch.replace_schema_metadata(None))
                count += batch.num_rows
                while count >= _DIGEST_ROWS:
                    part = pa.Table.from_batches(pending, schema)
                    writer.write_batch(part.slice(0, _DIGEST_ROWS).combine_chunks().to_batches()[0])
                    rest = part.slice(_DIGEST_ROWS)
                    pending, count = rest.combine_chunks().to_batches() if rest.num_rows else [], rest.num_rows
            if count:
                writer.write_batch(pa.Table.from_batches(pending, schema).combine_chunks().to_batches()[0])
        return digest.hexdigest()


class _FileSource(TableSource):
    path: str

    def __init__(self, path: PathLike, name: Optional[str] = None, content_digest: bool = False):
        super().__init__(os.fspath(path) if name is None else name)
        self.path = os.fspath(path)
        self._content_digest = content_digest

    def digest(self) -> str:
        if self._content_digest:
            return super().digest()
        digest = hashlib.blake2b(digest_size=16, person=b"ostrelline pays")
        try:
            with open(self.path, "rb") as file:
                for block in iter(lambda: file.read(1 << 20), b""):
                    digest.update(block)
        except OSError as error:
            raise os_failure(self.name, error, table=True) from None
        return digest.hexdigest()


class _BadRow:
    """The invalid-row handler of a CSV read: notes the first row with another
    number of fields than the header, and fails the read."""

    def __init__(self) -> None:
        self.row: Optional[Tuple[int, int, Optional[int]]] = None

    def __call__(self, row: Any) -> str:
        if self.row is None:
            self.row = (row.expected_columns, row.actual_columns, row.number)
        return "error"


class _CsvSource(_FileSource):
    format = TableFormat.CSV
    options: CsvOptions

    def __init__(self, path: PathLike, options: CsvOptions, name: Optional[str] = None):
        super().__init__(path, name)
        self.options = options
        self._schema: Any = None

    def check(self, columns: Sequence[str]) -> None:
        try:
            super().check(columns)
        except InputError as error:
            names = self.columns()
            others = [d for d in ";\t|," if d != self.options.delimiter and len(names) == 1 and d in names[0]]
            if not others:
                raise
            shown = "tab" if others[0] == "\t" else others[0]
            raise InputError(self.name, f"{error.problem}: a file separated by {shown!r}? "
                                        f"name its delimiter (--delimiter {shown!r})") from None

    def _open(self, read: Any, convert: Any, bad_row: _BadRow) -> Any:
        pa = arrow()
        from pyarrow import csv

        parse = csv.ParseOptions(
            delimiter=self.options.delimiter, quote_char=self.options.quote_char or False,
            invalid_row_handler=bad_row,
        )
        try:
            return csv.open_csv(self.path, read_options=read, parse_options=parse, convert_options=convert)
        except (pa.ArrowException, UnicodeDecodeError, OSError) as error:
            raise self._failure(error, bad_row) from None

    def _read_options(self, **options: Any) -> Any:
        from pyarrow import csv

        encoding = "utf8" if self.options.utf8 else self.options.encoding
        return csv.ReadOptions(encoding=encoding, **options)

    def schema(self) -> Any:
        if self._schema is None:
            pa = arrow()
            # Every column is read as strings (leading zeros stay).
            names = self._open(self._read_options(block_size=1 << 20), None, _BadRow()).schema.names
            self._schema = pa.schema([pa.field(n, pa.string()) for n in names])
        return self._schema

    def _batches(self, columns: List[str], batch_rows: int) -> Iterator[Any]:
        pa = arrow()
        from pyarrow import csv

        bad_row = _BadRow()
        # Blocks of roughly batch_rows rows of a few dozen bytes each.
        read = self._read_options(block_size=max(1 << 16, 64 * batch_rows))
        convert = csv.ConvertOptions(
            include_columns=columns, column_types={c: pa.string() for c in columns}, strings_can_be_null=False,
        )
        reader = self._open(read, convert, bad_row)
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return
            except (pa.ArrowException, UnicodeDecodeError) as error:
                raise self._failure(error, bad_row) from None
            yield batch

    def _failure(self, error: BaseException, bad_row: _BadRow) -> InputError:
        """The InputError for a failed read, naming the line where it can be
        told; never with the file's content (pyarrow's messages quote the row)."""
        if bad_row.row is not None:
            expected, actual, number = bad_row.row
            if number is None:
                number = self._bad_row_number()
            where = "a row"
            if number is not None:  # counts the header and the rows, not the empty lines
                where = f"line {self.lines([number - 2]).get(number - 2, number)}"
            fields = f"{actual} field{'s' if actual != 1 else ''}"
            return InputError(self.name, f"cannot be read as CSV: {where} has {fields}, the header {expected}")
        if isinstance(error, UnicodeDecodeError) or "invalid UTF8" in str(error) or "decode" in str(error):
            bad = _first_undecodable(self.path, self.options.encoding)
            if bad is not None:
                with open(self.path, "rb") as file:
                    head = file.read(_SNIFF)
                return _not_text(self.name, bad[0], bad[1], head, self.options.encoding)
        message = str(error).splitlines()[0] if str(error) else type(error).__name__
        message = re.sub(r"(got \d+):.*", r"\1", message)  # the row's text follows
        line = self._first_malformed_line()
        where = f": line {line}" if line is not None else ""
        return InputError(self.name, f"cannot be read as CSV{where} ({message[:200]})")

    def _bad_row_number(self) -> Optional[int]:
        """The number of the first row with the wrong number of fields (a read on
        one thread numbers the rows; a read on several does not)."""
        pa = arrow()
        from pyarrow import csv

        bad_row = _BadRow()
        try:
            reader = self._open(
                self._read_options(use_threads=False), csv.ConvertOptions(column_types={}, strings_can_be_null=False),
                bad_row,
            )
            for _ in iter(reader.read_next_batch, None):
                pass
        except (StopIteration, pa.ArrowException, UnicodeDecodeError, OSError, InputError):
            pass
        return bad_row.row[2] if bad_row.row is not None else None

    def _reader(self, file: Any) -> Any:
        import csv

        if self.options.quote_char is None:
            return csv.reader(file, delimiter=self.options.delimiter, quoting=csv.QUOTE_NONE, strict=True)
        return csv.reader(file, delimiter=self.options.delimiter, quotechar=self.options.quote_char, strict=True)

    def _text(self) -> Any:
        encoding = "utf-8-sig" if self.options.utf8 else self.options.encoding
        return open(self.path, newline="", encoding=encoding, errors="replace")

    def _first_malformed_line(self) -> Optional[int]:
        """The line where Python's csv reader first fails on the file, or where
        a row's field count first differs from the header's; None when neither."""
        import csv

        try:
            with self._text() as file:
                reader = self._reader(file)
                width = None
                try:
                    for fields in reader:
                        if not fields:
                            continue
                        if width is None:
                            width = len(fields)
                        elif len(fields) != width:
                            return int(reader.line_num)
                except csv.Error:
                    return int(reader.line_num)  # the line the reader stopped on
        except OSError:
            pass
        return None

    def lines(self, indices: Iterable[int]) -> Dict[int, int]:
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
            with self._text() as file:
                reader = self._reader(file)
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

    def numbers(self, indices: Sequence[int]) -> Tuple[str, Dict[int, int]]:
        lines = self.lines(indices)
        return "line", {i: lines.get(i, i + 2) for i in indices}


class _ParquetSource(_FileSource):
    format = TableFormat.PARQUET

    def _file(self) -> Any:
        pa = arrow()
        import pyarrow.parquet as pq

        try:
            return pq.ParquetFile(self.path)
        except (pa.ArrowException, OSError) as error:
            raise InputError(self.name, f"cannot be read as Parquet ({error})") from None

    def schema(self) -> Any:
        return self._file().schema_arrow

    def count_rows(self, columns: Sequence[str]) -> int:
        self.check(columns)
        return int(self._file().metadata.num_rows)

    def _batches(self, columns: List[str], batch_rows: int) -> Iterator[Any]:
        pa = arrow()
        try:
            yield from self._file().iter_batches(batch_size=batch_rows, columns=columns)
        except (pa.ArrowException, OSError) as error:
            raise InputError(self.name, f"cannot be read as Parquet ({str(error).splitlines()[0]})") from None


class _FolderSource(_FileSource):
    """A folder of Parquet files as one table."""

    format = TableFormat.PARQUET_FOLDER

    def _dataset(self) -> Any:
        pa = arrow()
        import pyarrow.dataset as ds

        try:
            return ds.dataset(self.path, format="parquet", partitioning="hive")
        except (pa.ArrowException, OSError) as error:
            raise InputError(self.name, f"cannot be read as a folder of Parquet files ({str(error).splitlines()[0]})") \
                from None

    def schema(self) -> Any:
        return self._dataset().schema

    def count_rows(self, columns: Sequence[str]) -> int:
        self.check(columns)
        return int(self._dataset().count_rows())

    def _batches(self, columns: List[str], batch_rows: int) -> Iterator[Any]:
        pa = arrow()
        dataset = self._dataset()
        try:
            for fragment in sorted(dataset.get_fragments(), key=lambda f: f.path):
                yield from fragment.to_batches(schema=dataset.schema, columns=columns, batch_size=batch_rows,
                                               use_threads=False)
        except (pa.ArrowException, OSError) as error:
            raise InputError(self.name, f"cannot be read as Parquet ({str(error).splitlines()[0]})") from None

    def digest(self) -> str:
        digest = hashlib.blake2b(digest_size=16, person=b"ostrelline pays")
        for path in _folder_files(self.path):
            relative = os.path.relpath(path, self.path).replace(os.sep, "/").encode("utf-8")
            digest.update(len(relative).to_bytes(8, "little") + relative + os.path.getsize(path).to_bytes(8, "little"))
            with open(path, "rb") as file:
                for block in iter(lambda: file.read(1 << 20), b""):
                    digest.update(block)
        return digest.hexdigest()


class _IpcSource(_FileSource):
    """An Arrow IPC file (random access) or stream."""

    def __init__(self, path: PathLike, stream: bool, name: Optional[str] = None, content_digest: bool = False):
        super().__init__(path, name, content_digest)
        self.format = TableFormat.ARROW_STREAM if stream else TableFormat.ARROW

    def _reader(self) -> Any:
        pa = arrow()
        try:
            if self.format is TableFormat.ARROW_STREAM:
                return pa.ipc.open_stream(pa.OSFile(self.path))
            return pa.ipc.open_file(pa.memory_map(self.path))
        except (pa.ArrowException, OSError) as error:
            raise InputError(self.name, f"cannot be read as Arrow IPC ({str(error).splitlines()[0]})") from None

    def schema(self) -> Any:
        return self._reader().schema

    def count_rows(self, columns: Sequence[str]) -> int:
        if self.format is TableFormat.ARROW_STREAM:
            return super().count_rows(columns)
        self.check(columns)
        reader = self._reader()
        return sum(reader.get_record_batch(i).num_rows for i in range(reader.num_record_batches))

    def _batches(self, columns: List[str], batch_rows: int) -> Iterator[Any]:
        pa = arrow()
        reader = self._reader()
        try:
            if self.format is TableFormat.ARROW_STREAM:
                batches: Iterable[Any] = reader
            else:
                batches = (reader.get_record_batch(i) for i in range(reader.num_record_batches))
            for batch in batches:
                batch = batch.select(columns)
                for start in range(0, batch.num_rows, batch_rows):
                    yield batch.slice(start, batch_rows)
        except (pa.ArrowException, OSError) as error:
            raise InputError(self.name, f"cannot be read as Arrow IPC ({str(error).splitlines()[0]})") from None


class _JsonSource(_FileSource):
    """JSON lines: one object a line, its keys the columns (empty lines hold no row)."""

    format = TableFormat.JSON_LINES

    def _open(self, batch_rows: int) -> Any:
        pa = arrow()
        from pyarrow import json

        try:
            return json.open_json(self.path, read_options=json.ReadOptions(block_size=max(1 << 16, 128 * batch_rows)))
        except (pa.ArrowException, OSError) as error:
            raise self._failure(error) from None

    def _failure(self, error: BaseException) -> InputError:
        message = str(error).splitlines()[0] if str(error) else type(error).__name__
        found = re.search(r" in row (\d+)$", message)
        if found is not None:
            index = int(found.group(1))
            line = self.lines([index]).get(index)
            message = message[: found.start()]
            if line is not None:
                return InputError(self.name, f"cannot be read as JSON lines: line {line}: {message[:200]}")
        return InputError(self.name, f"cannot be read as JSON lines ({message[:200]})")

    def schema(self) -> Any:
        return self._open(4096).schema

    def _batches(self, columns: List[str], batch_rows: int) -> Iterator[Any]:
        pa = arrow()
        reader = self._open(batch_rows)
        while True:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return
            except pa.ArrowException as error:
                raise self._failure(error) from None
            missing = [c for c in columns if c not in batch.schema.names]
            if missing:
                raise InputError(self.name, f"has rows without the column {missing[0]!r} past its first rows")
            yield batch.select(columns)

    def lines(self, indices: Iterable[int]) -> Dict[int, int]:
        """The line of each row of ``indices`` (from 0): empty lines hold no row."""
        wanted = set(indices)
        found: Dict[int, int] = {}
        if not wanted:
            return found
        last, record = max(wanted), 0
        with open(self.path, "rb") as file:
            for number, line in enumerate(file, 1):
                if not line.strip():
                    continue
                if record in wanted:
                    found[record] = number
                if record >= last:
                    break
                record += 1
        return found

    def numbers(self, indices: Sequence[int]) -> Tuple[str, Dict[int, int]]:
        lines = self.lines(indices)
        return "line", {i: lines.get(i, i + 1) for i in indices}


class _MemorySource(TableSource):
    """A pyarrow Table given in memory."""

    def __init__(self, table: Any, name: str):
        super().__init__(name)
        self.table = table

    def schema(self) -> Any:
        return self.table.schema

    def count_rows(self, columns: Sequence[str]) -> int:
        self.check(columns)
        return int(self.table.num_rows)

    def _batches(self, columns: List[str], batch_rows: int) -> Iterator[Any]:
        yield from self.table.select(columns).to_batches(max_chunksize=batch_rows)


def _is_dataframe(table: Any) -> bool:
    """A pandas DataFrame, told without importing pandas."""
    return type(table).__module__.split(".")[0] == "pandas" and type(table).__name__ == "DataFrame"


def source_of(table: Any, csv: Optional[CsvOptions] = None, name: Optional[str] = None) -> TableSource:
    """The source of a table given as anything but standard input or a
    reader (which ``open_table`` spools); ``name`` names it in messages
    instead of its path.

    Returns:
        The ``TableSource``.

    Raises:
        TypeError: ``table`` is none of the forms a table takes.
        UsageError: ``table`` is standard input or a reader.
        MissingFileError, FileAccessError: the file cannot be opened.
        InputError: the file is no table.
    """
    if isinstance(table, TableSource):
        return table
    if isinstance(table, (str, os.PathLike)):
        path = os.fspath(table)
        if path == STDIN and name is None:
            raise UsageError("standard input (-) is read through open_table, which spools it")
        fmt = table_format(path, csv)
        if fmt is TableFormat.CSV:
            return _CsvSource(path, csv or _DEFAULT_CSV, name)
        if fmt is TableFormat.PARQUET:
            return _ParquetSource(path, name)
        if fmt is TableFormat.PARQUET_FOLDER:
            return _FolderSource(path, name)
        if fmt is TableFormat.JSON_LINES:
            return _JsonSource(path, name)
        return _IpcSource(path, fmt is TableFormat.ARROW_STREAM, name)
    pa = arrow()
    if isinstance(table, pa.Table):
        return _MemorySource(table, "<pyarrow Table>")
    if isinstance(table, pa.RecordBatch):
        return _MemorySource(pa.Table.from_batches([table]), "<pyarrow RecordBatch>")
    if _is_dataframe(table):
        try:
            converted = pa.Table.from_pandas(table)
        except (pa.ArrowException, TypeError, ValueError) as error:
            raise InputError("<pandas DataFrame>", f"cannot be converted to an Arrow table ({error})") from None
        return _MemorySource(converted, "<pandas DataFrame>")
    if isinstance(table, bytes):
        raise TypeError("a table is a path, a pyarrow Table or RecordBatchReader or a pandas DataFrame, not bytes")
    raise TypeError(
        f"a table is a path, a pyarrow Table or RecordBatchReader or a pandas DataFrame, not {type(table).__name__}"
    )


def _spool_file(stream: Any) -> str:
    """Copies ``stream`` (binary) into a new private temporary file; returns its path."""
    fd, path = tempfile.mkstemp(prefix="ostrelline-", suffix=".spool")
    try:
        with os.fdopen(fd, "wb") as out:
            shutil.copyfileobj(stream, out, 1 << 20)
    except BaseException:
        os.unlink(path)
        raise
    return path


def _spool_reader(reader: Any) -> str:
    """Writes the batches of a RecordBatchReader into a new private temporary
    Arrow IPC file; returns its path."""
    pa = arrow()
    fd, path = tempfile.mkstemp(prefix="ostrelline-", suffix=".arrow")
    os.close(fd)
    try:
        with pa.OSFile(path, "wb") as sink, pa.ipc.new_file(sink, reader.schema) as writer:
            for batch in reader:
                writer.write_batch(batch)
    except BaseException:
        os.unlink(path)
        raise
    return path


@contextlib.contextmanager
def open_table(table: Any, csv: Optional[CsvOptions] = None) -> Iterator[TableSource]:
    """The ``TableSource`` of a table given in any of the forms the steps take
    (see the module's text), for the ``with`` block; what it spooled to a
    temporary file (standard input, a RecordBatchReader) is removed at its end.

    Returns:
        A context manager giving the ``TableSource``.

    Raises:
        TypeError: ``table`` is none of the forms a table takes.
        MissingFileError, FileAccessError: the file cannot be opened.
        InputError: the file is no table.
    """
    spooled: Optional[str] = None
    try:
        if isinstance(table, str) and table == STDIN:
            spooled = _spool_file(sys.stdin.buffer)
            source = source_of(spooled, csv, "<stdin>")
            source.spooled = True
        elif not isinstance(table, (str, os.PathLike, TableSource)) and _is_stream(table):
            pa = arrow()
            reader = table if isinstance(table, pa.RecordBatchReader) else pa.RecordBatchReader.from_stream(table)
            spooled = _spool_reader(reader)
            source = _IpcSource(spooled, False, "<pyarrow RecordBatchReader>", content_digest=True)
            source.spooled = True
        else:
            source = source_of(table, csv)
        yield source
    finally:
        if spooled is not None:
            with contextlib.suppress(OSError):
                os.unlink(spooled)


def _is_stream(table: Any) -> bool:
    """A RecordBatchReader, or another object offering an Arrow C stream (not
    a Table or DataFrame, which are read as they are)."""
    if _is_dataframe(table):
        return False
    pa = arrow()
    if isinstance(table, (pa.Table, pa.RecordBatch)):
        return False
    return isinstance(table, pa.RecordBatchReader) or hasattr(table, "__arrow_c_stream__")
