"""Independent readers of the module's byte formats, for the tests: the store
layout and its lookup (with the `xxhash` package's XXH3), and the decoding of
uniform point bytes (Elligator 2 written with Python integers)."""
import math

import xxhash

import ed25519_ref as ed

A = 486662


def _is_square(value):
    return value % ed.P == 0 or pow(value, (ed.P - 1) // 2, ed.P) == 1


def uniform_bytes_to_point(data: bytes):
    value = int.from_bytes(data, "little")
    sign = value >> 255
    r = (value & ((1 << 255) - 1)) % ed.P
    w = (-A * pow(1 + 2 * r * r, ed.P - 2, ed.P)) % ed.P
    e = (w * w * w + A * w * w + w) % ed.P
    u = w if _is_square(e) else (-w - A) % ed.P
    assert u != ed.P - 1
    y = (u - 1) * pow(u + 1, ed.P - 2, ed.P) % ed.P
    point = ed.decompress((y | (sign << 255)).to_bytes(32, "little"))
    assert point is not None
    return point


def graph_size(n):
    return math.ceil(n * 2.4)


class Store:
    def __init__(self, data: bytes):
        assert len(data) >= 2072
        self.seeds = [int.from_bytes(data[8 * i : 8 * i + 8], "little") for i in range(3)]
        m = (len(data) - 2072) // 64
        self.graph = [data[24 + 64 * i : 24 + 64 * (i + 1)] for i in range(m)]
        tail = data[len(data) - 2048 :]
        self.binary = [tail[64 * j : 64 * (j + 1)] for j in range(32)]

    def decode(self, row):
        key = "".join(row).encode("utf-8")
        m = len(self.graph)
        p1 = xxhash.xxh3_64_intdigest(key, seed=self.seeds[0]) % m
        p2 = xxhash.xxh3_64_intdigest(key, seed=self.seeds[1]) % m
        h = xxhash.xxh3_64_intdigest(key, seed=self.seeds[2])
        value = bytes(a ^ b for a, b in zip(self.graph[p1], self.graph[p2]))
        for j in range(32):
            if (h >> j) & 1:
                value = bytes(a ^ b for a, b in zip(value, self.binary[j]))
        return value
