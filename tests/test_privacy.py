"""What each party can compute from what it receives, tried as that party
would: the payment network with a bank's store in hand, a bank with the
points it decrypts, a bank that forges its store, and anyone reading the
errors and the fault report of a call given a secret key of the wrong type."""
import random
import subprocess
import sys

import pytest

import ed25519_ref as ed
import okvs_ref as ref
import ostrelline
import ostrelline_hiding
from conftest import PanicException, raises_panic

# As a "secret key": decrypt gives each point's prime-order part (1/8 (8 P)).
UNIT_KEY = (1).to_bytes(32, "little")
IDENTITY = ed.IDENTITY_BYTES

# Critical values for the tests below, chosen so that a sound store fails
# them with probability below 10^-4 per run.
CHI2_7_DF = 29.88  # chi-square, 7 degrees of freedom, upper 10^-4 tail
BIT_Z = 5.0  # two-proportion z for each of 512 bits: 512 * 5.7e-7 = 3e-4


def times_order(compressed_points):
    """l P for each point: the identity exactly when P has no small-order
    component, and otherwise l T = 5 T, which names the class of P's
    small-order part T. T is P less its prime-order part, which the module's
    decrypt by the key 1 gives (checked once against the reference)."""
    _check_prime_order_part()
    parts = ostrelline.decrypt(b"".join(compressed_points), UNIT_KEY)
    out = []
    for i, compressed in enumerate(compressed_points):
        torsion = ed.add(ed.decompress(compressed), ed.neg(ed.decompress(parts[32 * i : 32 * i + 32])))
        out.append(ed.compress(ed.mul(5, torsion)))
    return out


_PRIME_PART_CHECKED = []


def _check_prime_order_part():
    """decrypt by 1 of q B + k T8 is q B, by the reference, for every k."""
    if _PRIME_PART_CHECKED:
        return
    q = ed.mul(123456789 * 2**200 + 987654321, ed.BASE)
    t8 = ed.decompress(ed.ORDER8_BYTES)
    mixed = [ed.compress(ed.add(q, ed.mul(k, t8))) for k in range(8)]
    assert ostrelline.decrypt(b"".join(mixed), UNIT_KEY) == ed.compress(q) * 8
    _PRIME_PART_CHECKED.append(True)


def decoded_cells(store, rows):
    """What the payment network reads from a store at its rows: the 64 bytes
    of each lookup, and the compressed points of both halves."""
    reader = ref.Store(store)
    cells = [reader.decode(row) for row in rows]
    firsts = [ed.compress(ref.uniform_bytes_to_point(c[:32])) for c in cells]
    seconds = [ed.compress(ref.uniform_bytes_to_point(c[32:])) for c in cells]
    return cells, firsts, seconds


def chi_square(counts_a, counts_b):
    """Pearson's statistic of a 2 x k contingency table."""
    total_a, total_b = sum(counts_a), sum(counts_b)
    statistic = 0.0
    for a, b in zip(counts_a, counts_b):
        column = a + b
        if column == 0:
            continue
        for observed, total in ((a, total_a), (b, total_b)):
            expected = column * total / (total_a + total_b)
            statistic += (observed - expected) ** 2 / expected
    return statistic


def class_counts(classes, names):
    return [sum(1 for c in classes if c == name) for name in names]


def largest_bit_z(cells_a, cells_b):
    """The largest two-proportion z over the 512 bits of the cells."""
    worst = 0.0
    n_a, n_b = len(cells_a), len(cells_b)
    ints_a = [int.from_bytes(c, "little") for c in cells_a]
    ints_b = [int.from_bytes(c, "little") for c in cells_b]
    for bit in range(512):
        ones_a = sum((v >> bit) & 1 for v in ints_a)
        ones_b = sum((v >> bit) & 1 for v in ints_b)
        pooled = (ones_a + ones_b) / (n_a + n_b)
        spread = (pooled * (1 - pooled) * (1 / n_a + 1 / n_b)) ** 0.5
        if spread == 0:
            continue
        worst = max(worst, abs(ones_a / n_a - ones_b / n_b) / spread)
    return worst


# --------------------------------------------------------------------------- the store itself

HELD = [[f"DE{i:08d}"] for i in range(1200)]
ABSENT = [[f"FR{i:08d}"] for i in range(1200)]


@pytest.fixture(scope="module")
def bank_key():
    return ostrelline.key_gen()


@pytest.fixture(scope="module", params=["specified", "hiding"])
def store_view(request, bank_key):
    """A store of each kind over HELD, and what its lookups give at held and
    at absent rows."""
    builder = ostrelline.build_okvs if request.param == "specified" else ostrelline_hiding.build_okvs
    store = builder(bank_key[0], HELD)
    return request.param, decoded_cells(store, HELD), decoded_cells(store, ABSENT)


def test_small_order_classes_tell_held_rows_only_in_specified_stores(store_view):
    kind, (_, held_1, held_2), (_, absent_1, absent_2) = store_view
    names = sorted(set(times_order([ed.compress(ed.mul(k, ref_torsion_generator())) for k in range(8)])))
    assert len(names) == 8
    statistics = []
    for held, absent in ((held_1, absent_1), (held_2, absent_2)):
        statistics.append(chi_square(class_counts(times_order(held), names), class_counts(times_order(absent), names)))
    if kind == "specified":
        # The attack works on the specified kind (the test has the power to see it) ...
        assert min(statistics) > 1000
    else:
        # ... and does no better than chance on the membership-hiding kind.
        assert max(statistics) < CHI2_7_DF, statistics


def test_no_bit_of_a_lookup_tells_held_rows_in_hiding_stores(store_view):
    kind, (held_cells, _, _), (absent_cells, _, _) = store_view
    z = largest_bit_z(held_cells, absent_cells)
    if kind == "specified":
        assert z > 20  # bit 0 of each half is always clear at held rows
    else:
        assert z < BIT_Z, z


def ref_torsion_generator():
    return ed.decompress(bytes.fromhex("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05"))


# --------------------------------------------------------------------------- what the banks decrypt


def multiply(scalar, point):
    """scalar * point through the module's decrypt, for speed."""
    return ed.decompress(ostrelline.decrypt(ed.compress(point), scalar.to_bytes(32, "little")))


def builders():
    """Every kind of store the query side must serve: both builders of the
    module and an encoder written independently in Python (placement of the
    values and their uniform point bytes; only the multiplications borrowed)."""

    def python_encoder(public_key, rows):
        rng = random.Random(len(rows))
        point = ed.decompress(public_key)
        return ref.encode(rows, [ref.zero_ciphertext(point, rng, multiply) for _ in rows], rng)

    return {
        "build_okvs": ostrelline.build_okvs,
        "hiding": ostrelline_hiding.build_okvs,
        "python": python_encoder,
    }


def run_protocol(sender_rows, receiver_rows, sender_store, receiver_store, keys):
    (_, sk_s), (_, sk_r), (pk_q, sk_q) = keys
    queries = ostrelline.initiate_queries(sender_rows, receiver_rows, sender_store, receiver_store, pk_q)
    blinded = (ostrelline.randomize(queries), ostrelline.randomize(queries))
    s, r, g, d = ostrelline.combine(*blinded)
    matches = ostrelline.finish(ostrelline.decrypt(s, sk_s), ostrelline.decrypt(r, sk_r), g, d, sk_q)
    return matches, queries, blinded, (s, r, g, d)


@pytest.fixture(scope="module")
def keys():
    return [ostrelline.key_gen() for _ in range(3)]


@pytest.mark.parametrize("sender_kind", ["build_okvs", "hiding", "python"])
@pytest.mark.parametrize("receiver_kind", ["build_okvs", "hiding", "python"])
def test_held_rows_match_with_every_kind_of_store(keys, sender_kind, receiver_kind):
    make = builders()
    senders = [[f"s{i}"] for i in range(12)]
    receivers = [[f"r{i}"] for i in range(12)]
    sender_store = make[sender_kind](keys[0][0], senders)
    receiver_store = make[receiver_kind](keys[1][0], receivers)
    # Queries 0..7 hold both rows, 8..9 miss the sender row, 10..11 the receiver row.
    query_s = senders[:8] + [["xs"], ["ys"]] + senders[10:]
    query_r = receivers[:10] + [["xr"], ["yr"]]
    matches, *_ = run_protocol(query_s, query_r, sender_store, receiver_store, keys)
    assert matches == [True] * 8 + [False] * 4


def test_no_output_point_carries_a_small_order_component(keys):
    rows = [[f"a{i}"] for i in range(24)]
    absent = [[f"b{i}"] for i in range(24)]
    for builder in (ostrelline.build_okvs, ostrelline_hiding.build_okvs):
        sender_store = builder(keys[0][0], rows)
        receiver_store = builder(keys[1][0], rows)
        for query_rows in (rows, absent):
            _, queries, blinded, combined = run_protocol(query_rows, query_rows, sender_store, receiver_store, keys)
            streams = [queries, *blinded]
            points = [s[i : i + 32] for s in streams for i in range(0, len(s), 32)]
            points += [c[i : i + 32] for c in combined for i in range(0, len(c), 32)]
            assert set(times_order(points)) == {IDENTITY}


def test_forged_stores_match_nothing(keys):
    """A bank that sends a store of zero bytes (or 0xff bytes) decodes to
    small-order points at every row; with the query side clearing them, no
    row matches, whichever side forges and whatever its key's parity."""
    rows = [[f"p{i}"] for i in range(40)]
    size = len(ostrelline.build_okvs(keys[0][0], rows))
    odd_and_even = {}
    while len(odd_and_even) < 2:
        pair = ostrelline.key_gen()
        odd_and_even.setdefault(pair[1][0] & 1, pair)
    for pair in odd_and_even.values():
        for forged in (bytes(size), b"\xff" * size):
            genuine_s = ostrelline.build_okvs(pair[0], rows)
            genuine_r = ostrelline.build_okvs(keys[1][0], rows)
            party_keys = [pair, keys[1], keys[2]]
            for sender_store, receiver_store in ((forged, genuine_r), (genuine_s, forged), (forged, forged)):
                matches, *_ = run_protocol(rows, rows, sender_store, receiver_store, party_keys)
                assert not any(matches)
            # The same bank key matches its genuine rows.
            assert all(run_protocol(rows, rows, genuine_s, genuine_r, party_keys)[0])


# --------------------------------------------------------------------------- what a bank's key answers


def keys_of_every_residue(rng):
    """A secret key x for each residue r of x mod 8 (x < l, as key_gen writes
    them), and the residues."""
    keys = []
    for residue in range(8):
        x = rng.randrange(8, ed.L - 8)
        x -= x % 8 - residue
        keys.append(x.to_bytes(32, "little"))
    return keys, list(range(8))


def recover_residue(answer_of):
    """The payment network's attack on a bank's key: it sends a point T8 of
    order 8, and a point q B + T8 with q its own, and reads x mod 8 off each
    answer (x T8 directly; the second answer less q times the bank's public
    key). ``answer_of(point)`` is the bank's answer to one point; returns the
    residues each answer names (None where it names none)."""
    t8 = ed.decompress(ed.ORDER8_BYTES)
    multiples = [ed.compress(ed.mul(k, t8)) for k in range(8)]
    q = 0x1F2E3D4C5B6A79880123456789ABCDEF
    chosen_q = ed.mul(q, ed.BASE)
    public = answer_of(ed.BASE)  # the bank's public key: x B
    direct = answer_of(t8)
    mixed = ed.add(answer_of(ed.add(chosen_q, t8)), ed.neg(ed.mul(q, public)))
    named = []
    for answer in (direct, mixed):
        found = [k for k in range(8) if multiples[k] == ed.compress(answer)]
        named.append(found[0] if found else None)
    return named


def module_answer(key):
    return lambda point: ed.decompress(ostrelline.decrypt(ed.compress(point), key))


def plain_product(key):
    """The answer of a bank whose decrypt multiplied by the key as it was: x P."""
    x = ed.scalar_from_secret_key(key)
    return lambda point: ed.mul(x, point)


def test_chosen_small_order_points_tell_nothing_of_the_key():
    keys, residues = keys_of_every_residue(random.Random(8))
    # The attack has the power to read x mod 8 off a plain multiplication ...
    assert [recover_residue(plain_product(key)) for key in keys] == [[r, r] for r in residues]
    # ... and reads the same off every key through decrypt, whatever its
    # residue: right for one key in eight, as a guess would be.
    guesses = [recover_residue(module_answer(key)) for key in keys]
    assert guesses == [[0, 0]] * 8
    # Every point of order dividing 8, and each added to a prime-order point,
    # gives the same bytes under all eight keys as that prime-order point.
    t8 = ed.decompress(ed.ORDER8_BYTES)
    torsion = [ed.compress(ed.mul(k, t8)) for k in range(8)]
    q = ed.mul(0xC0FFEE, ed.BASE)
    mixed = [ed.compress(ed.add(q, ed.mul(k, t8))) for k in range(8)]
    for key in keys:
        assert ostrelline.decrypt(b"".join(torsion), key) == IDENTITY * 8
        assert ostrelline.decrypt(b"".join(mixed), key) == ostrelline.decrypt(ed.compress(q), key) * 8
    # Unreduced keys (x + l, which differ from x modulo 8) answer as x.
    for key in keys:
        unreduced = (int.from_bytes(key, "little") + ed.L).to_bytes(32, "little")
        assert ostrelline.decrypt(b"".join(torsion + mixed), unreduced) == ostrelline.decrypt(
            b"".join(torsion + mixed), key
        )


def test_answers_on_prime_order_points_are_the_plain_products():
    """On random streams of prime-order points the answers are x P by the
    reference, byte for byte, for keys of every residue, reduced or not."""
    rng = random.Random(2)
    keys, _ = keys_of_every_residue(rng)
    keys += [ostrelline.key_gen()[1], (ed.scalar_from_secret_key(keys[0]) + ed.L).to_bytes(32, "little")]
    for key in keys:
        points = [ed.mul(rng.randrange(1, ed.L), ed.BASE) for _ in range(rng.randrange(1, 6))]
        expected = b"".join(ed.compress(plain_product(key)(p)) for p in points)
        assert ostrelline.decrypt(b"".join(ed.compress(p) for p in points), key) == expected
        # The independent reference of the answer agrees on these points.
        assert expected == b"".join(ed.compress(ed.bank_answer(key, p)) for p in points)


def test_decrypted_streams_of_a_run_still_match(keys):
    """The points a bank decrypts in a run, small-order parts dropped or not,
    give the match bits of the truth with stores of every builder."""
    rows = [[f"m{i}"] for i in range(10)]
    queries_s = rows[:6] + [[f"n{i}"] for i in range(4)]
    for builder in builders().values():
        sender_store = builder(keys[0][0], rows)
        receiver_store = builder(keys[1][0], rows)
        matches, _, _, (s, r, g, d) = run_protocol(queries_s, rows, sender_store, receiver_store, keys)
        assert matches == [True] * 6 + [False] * 4
        # What the banks answered is x P by the reference for every point.
        for stream, key in ((s, keys[0][1]), (r, keys[1][1])):
            answered = ostrelline.decrypt(stream, key)
            for i in range(0, len(stream), 32):
                assert answered[i : i + 32] == ed.compress(plain_product(key)(ed.decompress(stream[i : i + 32])))


# --------------------------------------------------------------------------- secret keys in errors


SECRET = bytes(range(7, 39))


@pytest.mark.parametrize(
    "wrong",
    [bytearray(SECRET), SECRET.hex(), list(SECRET), memoryview(SECRET)],
    ids=["bytearray", "hex-str", "list", "memoryview"],
)
@pytest.mark.parametrize("operation", ["decrypt", "finish"])
def test_secret_keys_of_the_wrong_type_are_not_echoed(capfd, wrong, operation):
    parameter = "bank_secret_key" if operation == "decrypt" else "swift_secret_key"
    with raises_panic() as caught:
        if operation == "decrypt":
            ostrelline.decrypt(b"", wrong)
        else:
            ostrelline.finish(b"", b"", b"", b"", wrong)
    stderr = capfd.readouterr().err
    assert caught.message == (
        f"The {parameter} object should be of type `bytes`.: PyDowncastError {{ from: "
        f'<redacted {type(wrong).__name__}>, to: "PyBytes" }}'
    )
    assert caught.message in stderr
    for trace in (repr(wrong), SECRET.hex(), repr(SECRET), str(list(SECRET))[1:-1]):
        assert trace not in caught.message
        assert trace not in stderr


def test_other_refused_arguments_keep_their_repr():
    with raises_panic(exact='The points object should be of type `bytes`.: PyDowncastError { from: 7, to: "PyBytes" }'):
        ostrelline.decrypt(7, SECRET)


# --------------------------------------------------------------------------- the second module


def test_hiding_module_build_okvs_has_the_same_failures(bank_key):
    assert ostrelline_hiding.__all__[0] == "build_okvs"
    assert not set(ostrelline_hiding.__all__) & (set(ostrelline.__all__) - {"build_okvs"})
    assert ostrelline_hiding.build_okvs.__module__ == "ostrelline_hiding"
    assert len(ostrelline_hiding.build_okvs(bank_key[0], [])) == 2072
    assert len(ostrelline_hiding.build_okvs(bank_key[0], [["a"]])) == 2264
    bad_calls = [
        ((bytearray(32), []), {}),
        ((bank_key[0][:31], [["a"]]), {}),
        ((b"\x02" + bytes(31), [["a"]]), {}),
        ((bank_key[0], [["ab", "c"], ["a", "bc"]]), {}),
        ((ed.IDENTITY_BYTES, [["a"]]), {}),
        ((bank_key[0], "abc"), {}),
        ((bank_key[0], [[1]]), {}),
        ((bank_key[0],), {}),
        ((), {"public_key": bank_key[0], "rows": []}),
    ]
    for args, kwargs in bad_calls:
        outcomes = []
        for module in (ostrelline, ostrelline_hiding):
            try:
                module.build_okvs(*args, **kwargs)
            except BaseException as error:  # noqa: BLE001 - comparing whatever is raised
                outcomes.append((type(error), str(error)))
        assert len(outcomes) == 2 and outcomes[0] == outcomes[1], (args, outcomes)


def test_both_modules_raise_one_panic_class():
    # A fresh interpreter, with the hiding module failing first, so that the
    # class is created there and found by the other module; the backtrace
    # hint is written once for the process, not once per module.
    program = (
        "import ostrelline_hiding, ostrelline\n"
        "def kind(call):\n"
        "    try:\n        call()\n"
        "    except BaseException as e:\n        return type(e)\n"
        "a = kind(lambda: ostrelline_hiding.build_okvs(1, []))\n"
        "b = kind(lambda: ostrelline.randomize(1))\n"
        "assert a is b and not issubclass(a, Exception) and a.__name__ == 'PanicException', (a, b)\n"
        "print('ok')\n"
    )
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "ok", result.stderr
    assert len(result.stderr.splitlines()) == 3 and result.stderr.count("backtrace") == 1, result.stderr
    with pytest.raises(PanicException):
        ostrelline_hiding.build_okvs(1, [])
