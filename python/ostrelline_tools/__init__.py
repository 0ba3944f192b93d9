"""The party tools of the matching protocol: the steps each party runs, on
files that check themselves.

* ``steps``: ``keygen``, ``build_store``, ``initiate``, ``randomize``,
  ``combine``, ``decrypt``, ``finish``, ``describe``, ``export`` (also here).
* ``files``: the self-checking header and its reading and writing.
* ``rows``: reading CSV and Parquet tables, and the collision-free row encoding.
* ``errors``: the exceptions (``ToolError`` and its subclasses, also here).
* ``cli``: the ``ostrelline`` command.

``__version__`` is the version of the ``ostrelline`` distribution, which
ships these tools (the same as ``ostrelline_parallel.__version__``).
"""
from __future__ import annotations

from ostrelline_parallel import __version__

from . import errors, files, kinds, rows, steps
from .errors import BadFileError, InputError, KeyMismatchError, MissingDependencyError, ModuleError, ToolError
from .steps import build_store, combine, decrypt, describe, export, finish, initiate, keygen, randomize

__all__ = [
    "errors",
    "files",
    "kinds",
    "rows",
    "steps",
    "ToolError",
    "BadFileError",
    "KeyMismatchError",
    "InputError",
    "ModuleError",
    "MissingDependencyError",
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
