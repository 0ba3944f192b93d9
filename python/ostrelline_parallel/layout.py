"""The two rules of the store format that every layer above the module uses.

* A row's key: the module looks a row up by the UTF-8 bytes of its strings
  joined, so ``["ab", "c"]``, ``["a", "bc"]`` and ``["abc"]`` are one key.
  ``row_text`` is that key as a string (what a task carries for a row: the
  module takes the row ``[row_text(row)]`` for the same key bytes), and
  ``row_key`` its bytes, which the shard hash reads.
* A store's size: a store of n rows is ``STORE_FIXED`` bytes (three seeds and
  32 binary cells) and m = ceil(2.4 n) graph cells of ``STORE_CELL`` bytes.
"""
from __future__ import annotations

from typing import Iterable

__all__ = ["STORE_FIXED", "STORE_CELL", "store_cells", "store_size", "row_text", "row_key"]

#: Bytes of a store before its graph cells: three 8-byte seeds and 32 binary cells of 64 bytes.
STORE_FIXED = 2072
#: Bytes of one graph cell of a store.
STORE_CELL = 64


def store_cells(rows: int) -> int:
    """The graph cells of a store of ``rows`` rows: ceil(2.4 rows), in integers."""
    if rows < 0:
        raise ValueError("the row count cannot be negative")
    return (12 * rows + 4) // 5


def store_size(rows: int) -> int:
    """The bytes of a store of ``rows`` rows, of either construction."""
    return STORE_FIXED + STORE_CELL * store_cells(rows)


def row_text(row: Iterable[str]) -> str:
    """A row's key as a string: its strings joined."""
    return "".join(row)


def row_key(row: Iterable[str]) -> bytes:
    """A row's key bytes, as the module looks the row up and the shard hash reads it."""
    return "".join(row).encode("utf-8")
