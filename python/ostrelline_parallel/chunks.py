"""Cutting byte streams and row lists into chunks on entry boundaries, and
joining the results of the chunks again.

Every stream of the protocol is a concatenation of fixed-size independent
entries (128 bytes per wide ciphertext, 32 bytes per point). An operation cuts
its stream into entries from the start; a last entry that is too short stops
it. Operations over several streams pair entries by index and stop at the
shortest stream. The helpers here cut only at multiples of the entry width, so
every chunk holds whole entries except that the last chunk of a stream keeps
its short tail, exactly where the single call would meet it.
"""
from __future__ import annotations

import itertools
from typing import List, Sequence, Tuple, TypeVar

__all__ = [
    "WIDE",
    "POINT",
    "DEFAULT_CHUNK_SIZE",
    "entry_count",
    "chunk_bounds",
    "split_stream",
    "split_streams",
    "split_rows",
    "split_query_rows",
    "join_bytes",
    "join_streams",
    "join_lists",
]

#: Bytes per wide ciphertext (from ``initiate_queries`` and ``randomize``; into ``randomize`` and ``combine``).
WIDE = 128
#: Bytes per compressed point (from ``combine`` and ``decrypt``; into ``decrypt`` and ``finish``).
POINT = 32
#: Entries (queries) per chunk when the caller does not choose.
DEFAULT_CHUNK_SIZE = 4096

T = TypeVar("T")


def _check_size(chunk_size: int) -> int:
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int):
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, not {chunk_size}")
    return chunk_size


def _check_width(width: int) -> int:
    if isinstance(width, bool) or not isinstance(width, int) or width < 1:
        raise ValueError(f"width must be a positive int, not {width!r}")
    return width


def entry_count(stream: bytes, width: int) -> int:
    """Entries an operation reads from ``stream``: a trailing short entry counts as one."""
    width = _check_width(width)
    return -(-len(stream) // width)


def chunk_bounds(entries: int, chunk_size: int) -> List[Tuple[int, int]]:
    """Half-open entry ranges ``[(start, stop), ...]`` of at most ``chunk_size``
    entries covering ``range(entries)`` in order. There is always at least one
    range, ``(0, 0)`` for no entries, so that an operation still checks its
    other arguments."""
    chunk_size = _check_size(chunk_size)
    if entries <= 0:
        return [(0, 0)]
    return [(start, min(start + chunk_size, entries)) for start in range(0, entries, chunk_size)]


def split_stream(stream: bytes, width: int, chunk_size: int) -> List[bytes]:
    """Cuts one stream into pieces of ``chunk_size`` entries of ``width`` bytes.

    The pieces joined give ``stream`` back; a trailing short entry stays at the
    end of the last piece. An empty stream gives one empty piece."""
    width = _check_width(width)
    return [stream[width * a : width * b] for a, b in chunk_bounds(entry_count(stream, width), chunk_size)]


def split_streams(streams: Sequence[bytes], width: int, chunk_size: int) -> List[Tuple[bytes, ...]]:
    """Cuts streams whose entries pair by index, as ``combine`` and ``finish`` read them.

    Only the entries that the operation pairs are kept: as many as the shortest
    stream has (a trailing short entry counts). Each returned tuple holds one
    piece per stream, covering the same entry range; a short tail of a stream
    that has exactly that many entries stays at the end of its last piece, and
    entries past the shortest stream, which the operation never examines, are
    dropped."""
    width = _check_width(width)
    if not streams:
        raise ValueError("split_streams needs at least one stream")
    entries = min(entry_count(s, width) for s in streams)
    return [tuple(s[width * a : width * b] for s in streams) for a, b in chunk_bounds(entries, chunk_size)]


def split_rows(rows: Sequence[T], chunk_size: int) -> List[Sequence[T]]:
    """Cuts a row list into slices of ``chunk_size`` rows (one empty slice for no rows)."""
    return [rows[a:b] for a, b in chunk_bounds(len(rows), chunk_size)]


def split_query_rows(
    sender_rows: Sequence[T], receiver_rows: Sequence[T], chunk_size: int
) -> List[Tuple[Sequence[T], Sequence[T]]]:
    """Cuts the two row lists of ``initiate_queries`` into pairs of slices.

    Query i pairs sender row i with receiver row i, so there are as many queries
    as the shorter list has rows. The single call also looks up the sender row
    that follows the last query when the sender list is the longer one; the
    last pair keeps that row so that the chunked calls look up the same rows."""
    queries = min(len(sender_rows), len(receiver_rows))
    bounds = chunk_bounds(queries, chunk_size)
    extra = 1 if len(sender_rows) > queries else 0
    pairs = []
    for index, (a, b) in enumerate(bounds):
        last = index == len(bounds) - 1
        pairs.append((sender_rows[a : b + extra if last else b], receiver_rows[a:b]))
    return pairs


def join_bytes(pieces: Sequence[bytes]) -> bytes:
    """Joins the byte-string results of chunks, in chunk order."""
    return b"".join(pieces)


def join_streams(pieces: Sequence[Tuple[bytes, ...]]) -> Tuple[bytes, ...]:
    """Joins chunk results that are tuples of streams (``combine``) component by component."""
    if not pieces:
        return ()
    return tuple(b"".join(piece[k] for piece in pieces) for k in range(len(pieces[0])))


def join_lists(pieces: Sequence[Sequence[T]]) -> List[T]:
    """Joins list results (``finish``), in chunk order."""
    return list(itertools.chain.from_iterable(pieces))
