"""The attacks a curious or dishonest party can run with only what the
protocol hands it, and how well each does: run it against any build of the
module (PYTHONPATH selects which) to compare builds.

1. The payment network tests rows against a bank's store offline: a row is
   judged held when both decoded points have no small-order component
   (l S1 = l S2 = identity), or, without the curve, when the lowest bit of
   both 32-byte halves is clear.
2. A bank judges which decrypted `sender` points came from its held rows:
   held when the point it receives has no small-order component.
3. A bank sends a store of zero bytes (or 0xff bytes) and counts how many rows
   it does not hold match, with an odd secret key.
4. A secret key passed as bytearray: does the error show it?
5. The payment network asks a bank to decrypt chosen points: a point T8 of
   order 8, and q B + T8 for a q of its own, and reads the bank's key modulo
   8 off the answers (x T8, and the answer less q times the public key), for
   keys of every residue.

    PYTHONPATH=tests python3 bench/privacy_attacks.py [--rows N]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import ed25519_ref as ed  # noqa: E402
import okvs_ref as ref  # noqa: E402
import ostrelline  # noqa: E402

try:
    import ostrelline_hiding  # noqa: E402
except ImportError:  # a build without the membership-hiding kind
    ostrelline_hiding = None
if ostrelline_hiding is not None and os.path.dirname(ostrelline_hiding.__file__) != os.path.dirname(ostrelline.__file__):
    ostrelline_hiding = None  # from another build than the module under test

L_KEY = ed.L.to_bytes(32, "little")
UNIT_KEY = (1).to_bytes(32, "little")


def torsion_free(points):
    """Whether each point lies in the prime-order subgroup, through the
    module's decrypt on any build: l P is the identity where decrypt
    multiplies by the key as it is, and decrypt by 1 gives P itself where it
    answers on the prime-order part of P only."""
    joined = b"".join(points)
    by_order = ostrelline.decrypt(joined, L_KEY)
    by_unit = ostrelline.decrypt(joined, UNIT_KEY)
    return [by_order[i : i + 32] == ed.IDENTITY_BYTES and by_unit[i : i + 32] == joined[i : i + 32]
            for i in range(0, len(joined), 32)]


def offline_judgements(store, rows):
    reader = ref.Store(store)
    cells = [reader.decode(row) for row in rows]
    firsts = torsion_free([ed.compress(ref.uniform_bytes_to_point(c[:32])) for c in cells])
    seconds = torsion_free([ed.compress(ref.uniform_bytes_to_point(c[32:])) for c in cells])
    by_subgroup = sum(a and b for a, b in zip(firsts, seconds))
    by_low_bits = sum((c[0] & 1) == 0 and (c[32] & 1) == 0 for c in cells)
    return by_subgroup, by_low_bits


def bank_view(store_s, store_r, held, absent, keys):
    """The sending bank's guess from the points it decrypts."""
    pk_q = keys[2][0]
    rows = held + absent
    queries = ostrelline.initiate_queries(rows, rows, store_s, store_r, pk_q)
    s, _, _, _ = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    free = torsion_free([s[i : i + 32] for i in range(0, len(s), 32)])
    return sum(free[: len(held)]), sum(free[len(held) :])


def forged_matches(rows, keys):
    while True:
        pk_s, sk_s = ostrelline.key_gen()
        if sk_s[0] & 1:
            break
    genuine_r = ostrelline.build_okvs(keys[1][0], rows)
    size = len(genuine_r)
    results = {}
    for name, forged in (("zero bytes", bytes(size)), ("0xff bytes", b"\xff" * size)):
        queries = ostrelline.initiate_queries(rows, rows, forged, genuine_r, keys[2][0])
        s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
        matches = ostrelline.finish(ostrelline.decrypt(s, sk_s), ostrelline.decrypt(r, keys[1][1]), g, d, keys[2][1])
        results[name] = sum(matches)
    return results


def key_echo():
    secret = bytes(range(1, 33))
    try:
        ostrelline.decrypt(b"", bytearray(secret))
    except BaseException as error:  # noqa: BLE001 - whatever the build raises
        return repr(bytearray(secret)) in str(error)
    return False


def key_residues(trials):
    """Keys of each residue mod 8, ``trials`` each: how many the payment
    network's two chosen points named correctly."""
    t8 = ed.decompress(ed.ORDER8_BYTES)
    multiples = [ed.compress(ed.mul(k, t8)) for k in range(8)]
    q = 0x1F2E3D4C5B6A79880123456789ABCDEF
    mixed = ed.compress(ed.add(ed.mul(q, ed.BASE), t8))
    right = [0, 0]
    for trial in range(trials):
        for residue in range(8):
            _, secret = ostrelline.key_gen()
            x = int.from_bytes(secret, "little")
            x -= x % 8 - residue
            if x >= ed.L:
                x -= 8
            secret = x.to_bytes(32, "little")
            public_point = ed.decompress(ostrelline.decrypt(ed.compress(ed.BASE), secret))
            answers = ostrelline.decrypt(ed.ORDER8_BYTES + mixed, secret)
            direct = answers[:32]
            shifted = ed.compress(ed.add(ed.decompress(answers[32:]), ed.neg(ed.mul(q, public_point))))
            for i, answer in enumerate((direct, shifted)):
                right[i] += answer == multiples[residue]
    return right


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1000, help="held and absent rows per test (default 1000)")
    args = parser.parse_args()
    n = args.rows
    keys = [ostrelline.key_gen() for _ in range(3)]
    held = [[f"H{i:09d}"] for i in range(n)]
    absent = [[f"A{i:09d}"] for i in range(n)]
    print(f"module: {ostrelline.__file__}")
    print(f"rows: {n} held, {n} absent\n")
    kinds = [("specified (build_okvs)", ostrelline.build_okvs)]
    if ostrelline_hiding is not None:
        kinds.append(("membership-hiding", ostrelline_hiding.build_okvs))
    print("1. offline, payment network: rows judged held, held / absent")
    for name, builder in kinds:
        store = builder(keys[0][0], held)
        h_sub, h_bits = offline_judgements(store, held)
        a_sub, a_bits = offline_judgements(store, absent)
        print(f"   {name:24s} subgroup test {h_sub:5d} / {a_sub:5d}    low bits {h_bits:5d} / {a_bits:5d}")
    print("2. sending bank, decrypted points without small-order component: held / absent")
    for name, builder in kinds:
        store_s, store_r = builder(keys[0][0], held), builder(keys[1][0], held + absent)
        h, a = bank_view(store_s, store_r, held, absent, keys)
        print(f"   {name:24s} {h:5d} / {a:5d}")
    print(f"3. forged sender store, odd bank key: matches among {n} rows the bank does not hold")
    for name, count in forged_matches(absent, keys).items():
        print(f"   {name:24s} {count:5d}")
    print(f"4. secret key as bytearray echoed in the error: {key_echo()}")
    trials = max(1, n // 100)
    direct, mixed = key_residues(trials)
    print(f"5. payment network, bank key mod 8 named right from chosen points, of {8 * trials} keys "
          f"(chance: {trials}): order 8 {direct}, q B + T8 {mixed}")


if __name__ == "__main__":
    main()
