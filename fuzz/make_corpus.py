"""Writes the seed corpora of the fuzz harnesses (fuzz/corpus/<harness>/).

The seeds are genuine protocol values made with the module itself, plus the
boundary cases of each format, so that the fuzzers start from inputs that
reach deep into every parser. Run from the repository root with the module
importable:  python fuzz/make_corpus.py
"""
import os
import struct

import ostrelline

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
IDENTITY = bytes([1]) + bytes(31)
ORDER_TWO = bytes([0xEC]) + bytes([0xFF]) * 30 + bytes([0x7F])  # y = -1
ORDER_FOUR = bytes(32)  # y = 0
NOT_A_POINT = bytes([2]) + bytes(31)
NON_CANONICAL = bytes([0xEE]) + bytes([0xFF]) * 30 + bytes([0x7F])  # y = p + 1: the identity


def write(harness, name, data):
    folder = os.path.join(ROOT, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def key_prefix(keys):
    out = bytes([len(keys)])
    for key in keys:
        out += bytes([len(key)]) + key
    return out


def main():
    pk_s, sk_s = ostrelline.key_gen()
    pk_r, sk_r = ostrelline.key_gen()
    pk_q, sk_q = ostrelline.key_gen()
    rows_s = [["DE89", "3704"], ["FR76", "3000"]]
    rows_r = [["GB29", "NWBK"]]
    store_s = ostrelline.build_okvs(pk_s, rows_s)
    store_r = ostrelline.build_okvs(pk_r, rows_r)

    write("store", "genuine", key_prefix([b"DE893704", b"FR763000", b"XX"]) + store_s)
    write("store", "empty_graph", key_prefix([b"a"]) + bytes(2072))
    write("store", "remainder", key_prefix([b"a", b"b"]) + store_r[:24] + bytes(64 + 5) + store_r[-2048:])
    write("store", "short_2071", key_prefix([]) + bytes(2071))
    write("store", "short_2048", key_prefix([]) + bytes(2048))
    write("store", "short_100", key_prefix([]) + bytes(100))
    write("store", "short_7", key_prefix([]) + bytes(7))

    queries = ostrelline.initiate_queries([rows_s[0], ["XX00"]], rows_r * 2, store_s, store_r, pk_q)
    write("wide_streams", "genuine", struct.pack("<H", 128) + queries)
    write("wide_streams", "randomized", struct.pack("<H", 256) + ostrelline.randomize(queries) + queries[:128])
    write("wide_streams", "identity", struct.pack("<H", 128) + IDENTITY * 4 + queries[:128])
    write("wide_streams", "short_tail", struct.pack("<H", 130) + queries[:130] + queries[:128])
    write("wide_streams", "not_a_point", struct.pack("<H", 128) + IDENTITY * 2 + NOT_A_POINT + IDENTITY
          + queries[:128])
    write("wide_streams", "small_order", struct.pack("<H", 128) + ORDER_TWO + ORDER_FOUR + NON_CANONICAL
          + IDENTITY + queries[:128])

    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    ds = ostrelline.decrypt(s, sk_s)
    dr = ostrelline.decrypt(r, sk_r)
    write("points", "genuine", bytes([0]) + sk_q + bytes([len(ds), len(dr), len(g), len(d)]) + ds + dr + g + d)
    write("points", "small_order", bytes([0]) + sk_s + bytes([32, 32, 32, 32]) + ORDER_TWO + ORDER_FOUR
          + NON_CANONICAL + IDENTITY)
    write("points", "short_key", bytes([231]) + sk_s[:31] + bytes([32, 0, 0, 0]) + s[:32])
    write("points", "ragged", bytes([0]) + sk_r + bytes([33, 32, 32, 32]) + s[:33] + NOT_A_POINT + g[:32])

    write("uniform", "store_cell", store_s[24:56])
    write("uniform", "zero", bytes(32))
    write("uniform", "ones", bytes([0xFF]) * 32)
    write("uniform", "p", bytes([0xED]) + bytes([0xFF]) * 30 + bytes([0x7F]))
    write("uniform", "random", os.urandom(32))

    write("keys", "public", pk_s)
    write("keys", "secret", sk_s)
    write("keys", "identity", IDENTITY)
    write("keys", "order_two", ORDER_TWO)
    write("keys", "order_four", ORDER_FOUR)
    write("keys", "not_a_point", NOT_A_POINT)
    write("keys", "short", pk_s[:31])
    write("keys", "long", sk_s + b"\0")
    write("keys", "empty", b"")


if __name__ == "__main__":
    main()
