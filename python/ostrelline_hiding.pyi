"""The membership-hiding store of the matching protocol: `build_okvs` with the arguments, checks and failures of `ostrelline.build_okvs`; and the two steps of `ostrelline.initiate_queries` apart: `decode_okvs` and `queries_from_cells`."""
from typing import List, Sequence, Tuple, Union

__all__ = ["build_okvs", "decode_okvs", "queries_from_cells"]

# One row: its column strings in a list or a tuple, as for ostrelline.build_okvs.
_Row = Union[List[str], Tuple[str, ...]]

def build_okvs(public_key: bytes, strings_in_each_row: Sequence[_Row]) -> bytes:
    """Builds a membership-hiding OKVS for one party. Takes the public key of this party and the data from the database, which is a list of rows. Each row is a list of the relevant columns as a String. The store has the byte format of ostrelline.build_okvs, but its bytes at a held row look like those at any other row; held rows match only on a query side that clears small-order components, as ostrelline.initiate_queries does."""

def decode_okvs(data: Sequence[_Row], okvs: bytes) -> bytes:
    """The lookups of ostrelline.initiate_queries alone: the 64-byte cell of each row of `data` in the store `okvs`, in row order, concatenated. Rows and store are read, and refused, as initiate_queries reads sender_data and sender_okvs."""

def queries_from_cells(sender_cells: bytes, receiver_cells: bytes, swift_pk: bytes) -> bytes:
    """The cryptography of ostrelline.initiate_queries alone: the 128-byte query i from cell i of sender_cells and of receiver_cells (64 bytes each, as decode_okvs returns them) under swift_pk, for every i below the shorter stream's cell count, as initiate_queries makes it after its lookups."""
