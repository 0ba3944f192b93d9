"""The membership-hiding store of the matching protocol: `build_okvs` with the arguments, checks and failures of `ostrelline.build_okvs`; the two steps of `ostrelline.initiate_queries` apart: `decode_okvs` and `queries_from_cells`; and `build_okvs_packed`, either kind of store from rows packed into one buffer of key bytes and an array of offsets, with `distinct_packed` to keep one of rows that repeat."""
from typing import List, Literal, Sequence, Tuple, Union

__all__ = ["build_okvs", "decode_okvs", "queries_from_cells", "distinct_packed", "build_okvs_packed"]

# One row: its column strings in a list or a tuple, as for ostrelline.build_okvs.
_Row = Union[List[str], Tuple[str, ...]]

def build_okvs(public_key: bytes, strings_in_each_row: Sequence[_Row]) -> bytes:
    """Builds a membership-hiding OKVS for one party. Takes the public key of this party and the data from the database, which is a list of rows. Each row is a list of the relevant columns as a String. The store has the byte format of ostrelline.build_okvs, but its bytes at a held row look like those at any other row; held rows match only on a query side that clears small-order components, as ostrelline.initiate_queries does."""

def decode_okvs(data: Sequence[_Row], okvs: bytes) -> bytes:
    """The lookups of ostrelline.initiate_queries alone: the 64-byte cell of each row of `data` in the store `okvs`, in row order, concatenated. Rows and store are read, and refused, as initiate_queries reads sender_data and sender_okvs."""

def queries_from_cells(sender_cells: bytes, receiver_cells: bytes, swift_pk: bytes) -> bytes:
    """The cryptography of ostrelline.initiate_queries alone: the 128-byte query i from cell i of sender_cells and of receiver_cells (64 bytes each, as decode_okvs returns them) under swift_pk, for every i below the shorter stream's cell count, as initiate_queries makes it after its lookups."""

def distinct_packed(row_keys: bytes, row_offsets: bytes) -> Tuple[bytes, bytes]:
    """The distinct rows of packed rows (row_keys and row_offsets as build_okvs_packed takes them), each where it first occurs, in order, packed the same way: a tuple (row_keys, row_offsets). Rows are told apart by their key bytes, as a build tells them."""

def build_okvs_packed(public_key: bytes, row_keys: bytes, row_offsets: bytes,
                      construction: Literal["hiding", "specified"]) -> bytes:
    """build_okvs of rows handed over packed: row_keys holds the key bytes of every row one after the other (a row's strings joined, in UTF-8), row_offsets n + 1 offsets into it, 8 bytes each, little-endian, from 0 to len(row_keys): row i is row_keys[offsets[i]:offsets[i + 1]]. construction 'hiding' builds the store of ostrelline_hiding.build_okvs, 'specified' that of ostrelline.build_okvs, with their checks and failures and the same bytes for the same rows and random draws."""
