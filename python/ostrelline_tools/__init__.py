"""The party tools of the matching protocol: the steps each party runs, on
files that check themselves.

* ``steps``: ``keygen``, ``build_store``, ``initiate``, ``randomize``,
  ``combine``, ``decrypt``, ``finish``, ``describe``, ``export`` (also here).
* ``files``: the self-checking header and its reading and writing.
* ``tables``: the input tables in every form they are given (files of CSV,
  Parquet, Arrow IPC and JSON lines, folders of Parquet files, standard
  input, pyarrow Tables and RecordBatchReaders, pandas DataFrames).
* ``rows``: rows read from tables, checked, and the collision-free row encoding.
* ``results``: the results table and the formats it is written in.
* ``errors``: the exceptions (``ToolError`` and its subclasses, also here).
* ``cli``: the ``ostrelline`` command.

``__version__`` is the version of the ``ostrelline`` distribution, which
ships these tools (the same as ``ostrelline_parallel.__version__``).
"""
from ostrelline_parallel import __version__

from . import errors, files, kinds, results, rows, steps, tables
from .errors import (
    BadFileError, FileAccessError, InputError, KeyMismatchError, MissingDependencyError, MissingFileError, ModuleError,
    OutputExistsError, ToolError, ToolWarning, UsageError,
)
from .tables import CsvOptions, TableInput
from .steps import build_store, combine, decrypt, describe, export, finish, initiate, keygen, randomize

__all__ = [
    "__version__",
    "errors",
    "files",
    "kinds",
    "results",
    "rows",
    "steps",
    "tables",
    "CsvOptions",
    "TableInput",
    "ToolError",
    "BadFileError",
    "KeyMismatchError",
    "InputError",
    "MissingFileError",
    "FileAccessError",
    "OutputExistsError",
    "UsageError",
    "ModuleError",
    "MissingDependencyError",
    "ToolWarning",
    "keygen",
    "build_store",
    "initiate",
    "randomize",
    "combine",
    "decrypt",
    "finish",
    "describe",
    "export",
]
