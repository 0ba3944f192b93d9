"""The protocol operations: stores, queries, blinding, combining, decryption
and match results, with their messages, checked against independent readers
of the byte formats and a Python model of the group."""
import math
import time

import pytest

import ed25519_ref as ed
import okvs_ref
import ostrelline
from conftest import raises_panic

B = ed.compress(ed.BASE)
IDENTITY = ed.IDENTITY_BYTES
BAD_POINT = bytes([2]) + bytes(31)


def point_of(k):
    return ed.compress(ed.mul(k, ed.BASE))


def entries(stream, width):
    return [stream[i : i + width] for i in range(0, len(stream), width)]


def secret(sk):
    return ed.scalar_from_secret_key(sk)


# --------------------------------------------------------------------------- build_okvs


@pytest.mark.parametrize("n", [0, 1, 2, 3, 10, 101])
def test_store_sizes(parties, n):
    pk = parties["sender"][0]
    store = ostrelline.build_okvs(pk, [[f"row {i}"] for i in range(n)])
    assert len(store) == 24 + 64 * (math.ceil(2.4 * n) + 32)


def test_stored_values_encrypt_the_identity(parties):
    pk, sk = parties["sender"]
    x = secret(sk)
    rows = [["alice", "1"], ["bob", "2"], ["carol", "3"], [], ["ü"]]
    data = ostrelline.build_okvs(pk, rows)
    store = okvs_ref.Store(data)
    for row in rows:
        value = store.decode(row)
        first = okvs_ref.uniform_bytes_to_point(value[:32])
        second = okvs_ref.uniform_bytes_to_point(value[32:])
        assert ed.mul(x, first) == second
        # Genuine uniform point bytes always have bit 0 of byte 0 clear.
        assert value[0] & 1 == 0 and value[32] & 1 == 0
    # Two builds of the same rows differ everywhere that is random.
    again = ostrelline.build_okvs(pk, rows)
    assert again != data and again[:24] != data[:24]


def test_duplicate_rows_are_refused_at_once(parties):
    pk = parties["sender"][0]
    start = time.monotonic()
    with raises_panic(exact="rows 1 and 3 have the same key bytes; every row must be distinct"):
        ostrelline.build_okvs(pk, [["a"], ["ab", "c"], ["x"], ["a", "bc"]])
    with raises_panic(exact="rows 0 and 1 have the same key bytes; every row must be distinct"):
        ostrelline.build_okvs(pk, [[], ["", ""]])
    assert time.monotonic() - start < 10


@pytest.mark.parametrize("key", [ed.IDENTITY_BYTES, ed.ORDER2_BYTES])
def test_keys_that_can_encrypt_nothing(key):
    start = time.monotonic()
    with raises_panic("identity or the point of order 2"):
        ostrelline.build_okvs(key, [["a"]])
    assert time.monotonic() - start < 5
    assert len(ostrelline.build_okvs(key, [])) == 2072


@pytest.mark.parametrize("key", [ed.ORDER4_BYTES, ed.ORDER4_NEG_BYTES, ed.ORDER8_BYTES])
def test_small_order_keys_still_encrypt(key):
    rows = [[f"r{i}"] for i in range(4)]
    store = okvs_ref.Store(ostrelline.build_okvs(key, rows))
    point = ed.decompress(key)
    multiples = [ed.mul(j, point) for j in range(8)]
    for row in rows:
        value = store.decode(row)
        second = okvs_ref.uniform_bytes_to_point(value[32:])
        assert ed.mul(8, second) == ed.IDENTITY
        assert second in multiples


def test_bad_public_key_before_any_work(parties):
    with raises_panic(exact="The public key was not a valid curve point."):
        ostrelline.build_okvs(BAD_POINT, [["a"], ["a"]])


# --------------------------------------------------------------------------- initiate_queries


def test_query_algebra(parties):
    (spk, ssk), (rpk, rsk), (qpk, qsk) = parties["sender"], parties["receiver"], parties["swift"]
    s_store = ostrelline.build_okvs(spk, [["s1"], ["s2"]])
    r_store = ostrelline.build_okvs(rpk, [["r1"], ["r2"]])
    out = ostrelline.initiate_queries([["s1"], ["s2"], ["zz"]], [["r1"], ["nope"], ["r2"]], s_store, r_store, qpk)
    assert len(out) == 3 * 128
    xs, xr, xq = secret(ssk), secret(rsk), secret(qsk)
    holds = []
    for entry in entries(out, 128):
        sender, receiver, gamma, delta = (ed.decompress(c) for c in entries(entry, 32))
        expected = ed.add(ed.add(ed.mul(xs, sender), ed.mul(xr, receiver)), ed.mul(xq, gamma))
        holds.append(expected == delta)
    assert holds == [True, False, False]
    # Fresh blinding: the same query twice gives different bytes.
    again = ostrelline.initiate_queries([["s1"]], [["r1"]], s_store, r_store, qpk)
    assert again != out[:128]


def test_query_edges(parties):
    pk = parties["swift"][0]
    store = ostrelline.build_okvs(pk, [["a"]])
    assert ostrelline.initiate_queries([], [["a"]], store, store, pk) == b""
    assert len(ostrelline.initiate_queries([["a"]] * 3, [["a"]], store, store, pk)) == 128
    # The stores and key are checked even when nothing is queried.
    with raises_panic(exact="range end index 8 out of range for slice of length 7"):
        ostrelline.initiate_queries([], [], bytes(7), store, pk)
    with raises_panic(exact="slice index starts at 24 but ends at 23"):
        ostrelline.initiate_queries([], [], store, bytes(2071), pk)
    with raises_panic(exact="The public key was not a valid curve point."):
        ostrelline.initiate_queries([], [], store, store, BAD_POINT)
    with raises_panic(exact="The receiver_okvs object should be of type `bytes`.: PyDowncastError { from: None, "
                      'to: "PyBytes" }'):
        ostrelline.initiate_queries([], [], store, None, pk)
    empty = ostrelline.build_okvs(pk, [])
    with raises_panic(exact="attempt to calculate the remainder with a divisor of zero"):
        ostrelline.initiate_queries([["a"]], [["a"]], store, empty, pk)
    # The sender row is looked up even when no receiver row pairs with it.
    with raises_panic(exact="attempt to calculate the remainder with a divisor of zero"):
        ostrelline.initiate_queries([["a"]], [], empty, store, pk)
    # Foreign bytes of store length decode without error.
    assert len(ostrelline.initiate_queries([["q"]], [["r"]], bytes(2072 + 64), bytes(2072 + 64 * 3 + 5), pk)) == 128


# --------------------------------------------------------------------------- randomize


def test_randomize_scales_each_entry_by_one_scalar():
    entry = point_of(1) + point_of(2) + point_of(3) + point_of(4)
    other = IDENTITY + point_of(5) + ed.ORDER8_BYTES + point_of(10)
    out = ostrelline.randomize(entry + other)
    assert len(out) == 256
    p = [ed.decompress(c) for c in entries(out[:128], 32)]
    assert out[:128] != entry
    assert p[1] == ed.add(p[0], p[0]) and p[2] == ed.add(p[1], p[0]) and p[3] == ed.add(p[2], p[0])
    q = [ed.decompress(c) for c in entries(out[128:], 32)]
    assert out[128:160] == IDENTITY
    assert q[3] == ed.add(q[1], q[1])
    assert ed.mul(8, q[2]) == ed.IDENTITY
    assert ostrelline.randomize(b"") == b""


def test_randomize_failures():
    valid = point_of(1) * 4
    with raises_panic(exact="range end index 32 out of range for slice of length 2"):
        ostrelline.randomize(valid + b"ab")
    with raises_panic(exact="range end index 96 out of range for slice of length 72"):
        ostrelline.randomize(valid + bytes(72))
    with raises_panic(exact="called `Option::unwrap()` on a `None` value"):
        ostrelline.randomize(point_of(1) * 2 + BAD_POINT + point_of(1))
    # The bad entry is reported even though a short chunk follows it.
    with raises_panic(exact="called `Option::unwrap()` on a `None` value"):
        ostrelline.randomize(BAD_POINT * 4 + b"x")


def test_randomize_canonicalises():
    non_canonical = (ed.P + 1).to_bytes(32, "little")  # y = 1 written as p + 1
    assert ostrelline.randomize(non_canonical * 4) == IDENTITY * 4


# --------------------------------------------------------------------------- combine


def test_combine_adds_entry_by_entry():
    a = [point_of(k) for k in (1, 2, 3, 4, 5, 6, 7, 8)]
    b = [point_of(k) for k in (10, 20, 30, 40, 50, 60, 70, 80)]
    out = ostrelline.combine(b"".join(a), b"".join(b) + bytes(128))
    assert type(out) is tuple and len(out) == 4
    for k in range(4):
        assert len(out[k]) == 64
        for i in range(2):
            assert out[k][32 * i : 32 * i + 32] == point_of((k + 1 + 4 * i) * 11)
    assert ostrelline.combine(b"".join(b), b"".join(a)) == out


def test_combine_lengths_and_failures():
    entry = point_of(3) * 4
    assert ostrelline.combine(b"", entry) == (b"", b"", b"", b"")
    # The third chunk of the longer input is not examined.
    two, three = entry * 2, entry * 2 + BAD_POINT * 4
    assert [len(s) for s in ostrelline.combine(two, three)] == [64] * 4
    assert [len(s) for s in ostrelline.combine(entry + b"ab", entry)] == [32] * 4
    with raises_panic(exact="range end index 32 out of range for slice of length 2"):
        ostrelline.combine(entry + b"ab", entry * 2)
    with raises_panic(exact="range end index 64 out of range for slice of length 40"):
        ostrelline.combine(entry, bytes(40))
    with raises_panic(exact="called `Option::unwrap()` on a `None` value"):
        ostrelline.combine(entry, point_of(1) + BAD_POINT + point_of(1) * 2)


def test_combine_with_identity_leaves_components():
    stream = b"".join(point_of(k) for k in range(1, 9))
    parts = ostrelline.combine(stream, IDENTITY * 8)
    assert b"".join(parts[k][32 * i : 32 * i + 32] for i in range(2) for k in range(4)) == stream


# --------------------------------------------------------------------------- decrypt


def test_decrypt(parties):
    pk, sk = parties["receiver"]
    x = secret(sk)
    assert ostrelline.decrypt(b"", sk) == b""
    assert ostrelline.decrypt(IDENTITY + B, sk) == IDENTITY + pk
    assert ostrelline.decrypt(point_of(5), sk) == point_of(5 * x)
    with raises_panic(exact="source slice length (1) does not match destination slice length (32)"):
        ostrelline.decrypt(B + b"x", sk)
    with raises_panic(exact="called `Option::unwrap()` on a `None` value"):
        ostrelline.decrypt(B + BAD_POINT + b"x", sk)
    with raises_panic(exact="The points object should be of type `bytes`.: PyDowncastError { from: 'x', "
                      'to: "PyBytes" }'):
        ostrelline.decrypt("x", sk)


def test_decrypt_twice_is_decrypting_by_the_product(parties):
    sk1, sk2 = parties["sender"][1], parties["receiver"][1]
    product = (secret(sk1) * secret(sk2) % ed.L).to_bytes(32, "little")
    points = b"".join(point_of(k) for k in (1, 99, 12345))
    assert ostrelline.decrypt(ostrelline.decrypt(points, sk1), sk2) == ostrelline.decrypt(points, product)


# --------------------------------------------------------------------------- finish


def test_finish_relation(parties):
    qsk = parties["swift"][1]
    xq = secret(qsk)
    g = point_of(7)
    d_true = point_of(3 + 4 + 7 * xq)
    result = ostrelline.finish(point_of(3) * 2, point_of(4) * 2, g * 2, d_true + point_of(1), qsk)
    assert result == [True, False]
    # Equality is of points, not of encodings.
    non_canonical = (ed.P + 1).to_bytes(32, "little")
    assert ostrelline.finish(IDENTITY, IDENTITY, IDENTITY, non_canonical, qsk) == [True]
    assert ostrelline.finish(IDENTITY, IDENTITY, B, IDENTITY, qsk) == [False]
    eight = (8 * 12345).to_bytes(32, "little")
    assert ostrelline.finish(IDENTITY, IDENTITY, ed.ORDER8_BYTES, IDENTITY, eight) == [True]


def test_finish_lengths_and_order_of_checks(parties):
    qsk = parties["swift"][1]
    assert ostrelline.finish(b"", B, B, B, qsk) == []
    assert ostrelline.finish(B * 3, B * 2, B * 4, B * 2 + b"x", qsk) == [False, False]
    with raises_panic("The points object should be of type `bytes`."):
        ostrelline.finish(b"", b"", b"", None, qsk)
    with raises_panic("The swift_secret_key object should be of type `bytes`."):
        ostrelline.finish(None, None, None, None, None)
    with raises_panic(exact="source slice length (1) does not match destination slice length (32)"):
        ostrelline.finish(B * 2, B * 2, B + b"x", B * 2, qsk)
    with raises_panic(exact="called `Option::unwrap()` on a `None` value"):
        ostrelline.finish(B, B, B, BAD_POINT, qsk)


# --------------------------------------------------------------------------- the whole protocol


def run_protocol(parties, sender_rows, receiver_rows, queries):
    (spk, ssk), (rpk, rsk), (qpk, qsk) = parties["sender"], parties["receiver"], parties["swift"]
    sender_store = ostrelline.build_okvs(spk, sender_rows)
    receiver_store = ostrelline.build_okvs(rpk, receiver_rows)
    stream = ostrelline.initiate_queries(
        [q[0] for q in queries], [q[1] for q in queries], sender_store, receiver_store, qpk
    )
    first, second = ostrelline.randomize(stream), ostrelline.randomize(stream)
    s, r, g, d = ostrelline.combine(first, second)
    return ostrelline.finish(ostrelline.decrypt(s, ssk), ostrelline.decrypt(r, rsk), g, d, qsk)


def test_protocol_three_parties(parties):
    sender_rows = [["DE89", "3704", "0044"], ["FR76", "3000"], ["NL91", "ABNA"]]
    receiver_rows = [["GB29", "NWBK"], ["ES91", "2100"], ["IT60", "X054"]]
    queries = [
        (["DE89", "3704", "0044"], ["GB29", "NWBK"]),  # both held
        (["DE8937040044"], ["GB", "29NWBK"]),  # same rows, columns split differently
        (["FR76", "3000"], ["nobody"]),  # receiver missing
        (["nobody"], ["ES91", "2100"]),  # sender missing
        (["nobody"], ["nobody"]),
        (["NL91", "ABNA"], ["IT60", "X054"]),
        (["GB29", "NWBK"], ["DE89", "3704", "0044"]),  # rows held by the other bank
        (["3704", "DE89", "0044"], ["GB29", "NWBK"]),  # column order matters
    ]
    assert run_protocol(parties, sender_rows, receiver_rows, queries) == [
        True, True, False, False, False, True, False, False,
    ]


def test_protocol_stress(parties):
    n = 3000
    sender_rows = [[f"acct-{i}", "bank-s"] for i in range(n)]
    receiver_rows = [[f"acct-{i}", "bank-r"] for i in range(n)]
    queries, truth = [], []
    for i in range(n):
        s_held, r_held = i % 3 != 1, i % 5 != 2
        s = [f"acct-{i}", "bank-s"] if s_held else [f"absent-{i}", "bank-s"]
        r = [f"acct-{(i * 7) % n}", "bank-r"] if r_held else [f"absent-{i}", "bank-r"]
        queries.append((s, r))
        truth.append(s_held and r_held)
    assert run_protocol(parties, sender_rows, receiver_rows, queries) == truth
