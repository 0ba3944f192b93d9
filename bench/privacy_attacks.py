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


def torsion_free(points):
    out = ostrelline.decrypt(b"".join(points), L_KEY)
    return [out[i : i + 32] == ed.IDENTITY_BYTES for i in range(0, len(out), 32)]


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


if __name__ == "__main__":
    main()
