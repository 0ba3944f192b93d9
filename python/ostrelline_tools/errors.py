"""The exceptions of the party tools.

Every failure the tools report derives from ``ToolError``, an ordinary
``Exception``, so that ``except Exception`` and ``except ToolError`` catch it:

* ``BadFileError``: a file the tools refuse (wrong kind, truncated, corrupted,
  made for another party or run); ``path`` names the file, ``problem`` says
  what is wrong with it.
* ``KeyMismatchError`` (a ``BadFileError``): a file made under or for another
  key than the one it is used with.
* ``InputError`` (a ``BadFileError``): an input table the tools cannot read as rows (missing
  column, empty cell, unsupported column type, unreadable file).
* ``ModuleError``: a failure inside the extension module (its PanicException,
  a ``BaseException`` that is not an attribute of the module), raised again
  with the module's message.

Ctrl-C still raises ``KeyboardInterrupt``; nothing is written then.
"""
from __future__ import annotations

import os
from typing import Union

__all__ = ["ToolError", "BadFileError", "KeyMismatchError", "InputError", "ModuleError"]

PathLike = Union[str, "os.PathLike[str]"]


class ToolError(Exception):
    """Base class of every failure the party tools report."""


class BadFileError(ToolError):
    """A file that is refused: ``path`` is the file, ``problem`` what is wrong with it."""

    def __init__(self, path: PathLike, problem: str):
        self.path = os.fspath(path)
        self.problem = problem
        super().__init__(f"{self.path}: {problem}")


class KeyMismatchError(BadFileError):
    """A file made under or for a key other than the one it is used with."""


class InputError(BadFileError):
    """An input table (CSV or Parquet) that cannot be read as rows."""


class ModuleError(ToolError):
    """A failure inside the extension module, with the module's message."""

    def __init__(self, step: str, message: str):
        self.step = step
        self.message = message
        super().__init__(f"{step} failed inside the module: {message}")
