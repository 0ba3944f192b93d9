"""The membership-hiding store of the matching protocol: `build_okvs` with the arguments, checks and failures of `ostrelline.build_okvs`."""
from typing import List, Sequence, Tuple, Union

__all__ = ["build_okvs"]

# One row: its column strings in a list or a tuple, as for ostrelline.build_okvs.
_Row = Union[List[str], Tuple[str, ...]]

def build_okvs(public_key: bytes, strings_in_each_row: Sequence[_Row]) -> bytes:
    """Builds a membership-hiding OKVS for one party. Takes the public key of this party and the data from the database, which is a list of rows. Each row is a list of the relevant columns as a String. The store has the byte format of ostrelline.build_okvs, but its bytes at a held row look like those at any other row; held rows match only on a query side that clears small-order components, as ostrelline.initiate_queries does."""
