"""A Python module for the cryptographic operations necessary to do feature extraction (element matching in two datasets)."""
from typing import List, Sequence, Tuple, Union

__all__ = ["key_gen", "build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"]

# One row: its column strings in a list or a tuple. A bare `str` is a sequence
# of strings too, but the module refuses it as a row (TypeError), so it is not
# one here either.
_Row = Union[List[str], Tuple[str, ...]]

def key_gen() -> Tuple[bytes, bytes]:
    """Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: bytes)."""

def build_okvs(public_key: bytes, strings_in_each_row: Sequence[_Row]) -> bytes:
    """Builds an OKVS for one party. Takes the public key of this party and the data from the database, which is a list of rows. Each row is a list of the relevant columns as a String."""

def initiate_queries(
    sender_data: Sequence[_Row],
    receiver_data: Sequence[_Row],
    sender_okvs: bytes,
    receiver_okvs: bytes,
    swift_pk: bytes,
) -> bytes: ...
def randomize(ciphertexts: bytes) -> bytes: ...
def combine(sender_ciphertexts: bytes, receiver_ciphertexts: bytes) -> Tuple[bytes, bytes, bytes, bytes]: ...
def decrypt(points: bytes, bank_secret_key: bytes) -> bytes: ...
def finish(
    sender_points: bytes,
    receiver_points: bytes,
    gamma_points: bytes,
    delta_points: bytes,
    swift_secret_key: bytes,
) -> List[bool]: ...
