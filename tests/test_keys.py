"""Key pairs and the two key readers."""
import pytest

import ed25519_ref as ed
import ostrelline
from conftest import raises_panic


def test_key_gen_pairs_are_consistent():
    seen = set()
    for _ in range(20):
        pair = ostrelline.key_gen()
        assert type(pair) is tuple and len(pair) == 2
        pk, sk = pair
        assert type(pk) is bytes and type(sk) is bytes
        assert len(pk) == 32 and len(sk) == 32
        x = int.from_bytes(sk, "little")
        assert x < ed.L and sk[31] <= 0x10
        assert ed.compress(ed.mul(x, ed.BASE)) == pk
        seen.add(pk)
    assert len(seen) == 20


@pytest.mark.parametrize("length", [0, 31, 33, 64])
def test_public_key_length(parties, length):
    message = f"source slice length ({length}) does not match destination slice length (32)"
    with raises_panic(exact=message):
        ostrelline.build_okvs(b"\x01" * length, [["a"]])
    with raises_panic(exact=message):
        ostrelline.initiate_queries([], [], bytes(2072), bytes(2072), b"\x01" * length)


def test_public_key_must_be_a_point():
    with raises_panic(exact="The public key was not a valid curve point."):
        ostrelline.build_okvs(bytes([2]) + bytes(31), [])
    # y >= p is read modulo p: p + 1 stands for y = 1, the identity.
    non_canonical_identity = (ed.P + 1).to_bytes(32, "little")
    assert len(ostrelline.build_okvs(non_canonical_identity, [])) == 2072
    # The identity and small-order keys are accepted as swift keys.
    for key in (ed.IDENTITY_BYTES, ed.ORDER2_BYTES, ed.ORDER4_BYTES, ed.ORDER8_BYTES):
        assert ostrelline.initiate_queries([], [], bytes(2072), bytes(2072), key) == b""


def test_secret_key_reader(parties):
    pk, sk = parties["sender"]
    base = ed.compress(ed.BASE)
    assert ostrelline.decrypt(base, sk) == pk
    # Bit 255 of the key is ignored.
    high = sk[:31] + bytes([sk[31] | 0x80])
    points = base + ed.ORDER8_BYTES + ed.compress(ed.mul(7, ed.BASE))
    assert ostrelline.decrypt(points, high) == ostrelline.decrypt(points, sk)
    # An unreduced key answers as its value: l + x as x on the prime-order
    # subgroup, and a point of order 8 gives the identity for every key
    # (decrypt answers on the prime-order part of a point only).
    x = int.from_bytes(sk, "little")
    unreduced = (ed.L + x).to_bytes(32, "little")
    result = ostrelline.decrypt(base + ed.ORDER8_BYTES, unreduced)
    assert result == pk + ed.IDENTITY_BYTES
    assert ostrelline.decrypt(points, unreduced) == ostrelline.decrypt(points, sk)
    top = ((1 << 255) - 1).to_bytes(32, "little")
    assert ostrelline.decrypt(ed.ORDER8_BYTES, top) == ed.IDENTITY_BYTES
    assert ostrelline.decrypt(base, top) == ed.compress(ed.mul((1 << 255) - 1, ed.BASE))


@pytest.mark.parametrize("length", [0, 31, 33])
def test_secret_key_length_comes_before_points(length):
    message = f"source slice length ({length}) does not match destination slice length (32)"
    with raises_panic(exact=message):
        ostrelline.decrypt("not bytes", bytes(length))
    with raises_panic(exact=message):
        ostrelline.finish(1, 2, 3, 4, bytes(length))
