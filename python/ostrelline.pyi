"""A Python module for the cryptographic operations necessary to do feature extraction (element matching in two datasets)."""
from typing import List, Sequence, Tuple

__all__: List[str]

def key_gen() -> Tuple[bytes, bytes]:
    """Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: bytes)."""

def build_okvs(public_key: bytes, strings_in_each_row: Sequence[Sequence[str]]) -> bytes:
    """Builds an OKVS for one party. Takes the public key of this party and the data from the database, which is a list of rows. Each row is a list of the relevant columns as a String."""

def initiate_queries(
    sender_data: Sequence[Sequence[str]],
    receiver_data: Sequence[Sequence[str]],
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
