"""Independent readers and writers of the module's byte formats, for the
tests: the store layout, its lookup (with the `xxhash` package's XXH3) and an
encoder of its own, and uniform point bytes in both directions (Elligator 2
written with Python integers)."""
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


def point_to_uniform_bytes(point, choice: int):
    """Uniform point bytes of a point (the Elligator 2 inverse in Python
    integers), or None when the point has none: the non-negative square root
    of -u / (2 (u + A)) for choice 0, of -(u + A) / (2 u) for choice 1, with
    the sign of x in bit 255."""
    x, y = point
    if y == 1:
        return None
    u = (1 + y) * pow(1 - y, ed.P - 2, ed.P) % ed.P
    n = -2 * u * (u + A) % ed.P
    if n == 0 or not _is_square(n):
        return None
    t = u if choice == 0 else (u + A) % ed.P
    ratio = -t * pow(2 * ((u + A) if choice == 0 else u), ed.P - 2, ed.P) % ed.P
    rho = _sqrt(ratio)
    if rho % 2:
        rho = ed.P - rho
    return (rho | ((x & 1) << 255)).to_bytes(32, "little")


def _sqrt(value):
    root = pow(value, (ed.P + 3) // 8, ed.P)
    if root * root % ed.P != value % ed.P:
        root = root * pow(2, (ed.P - 1) // 4, ed.P) % ed.P
    assert root * root % ed.P == value % ed.P
    return root


def zero_ciphertext(public_point, rng, multiply=ed.mul):
    """A fresh encryption of the identity under a public key point, (r B, r P),
    both halves uniform point bytes. `multiply(r, point)` may be a faster
    multiplication than the Python one."""
    while True:
        r = rng.randrange(1, ed.L)
        first = point_to_uniform_bytes(multiply(r, ed.BASE), rng.getrandbits(1))
        second = point_to_uniform_bytes(multiply(r, public_point), rng.getrandbits(1))
        if first is not None and second is not None:
            return first + second


def encode(rows, values, rng):
    """A store in the module's byte format mapping rows[i] to values[i] (64
    bytes each), written independently of the module: the lookup of `decode`
    is a linear map over GF(2) from the cells to the value, so the cells are
    any solution of one equation per row, with the free cells random."""
    n = len(rows)
    m = graph_size(n)
    while True:
        seeds = [rng.getrandbits(64) for _ in range(3)]
        equations = []
        for row, value in zip(rows, values):
            key = "".join(row).encode("utf-8")
            p1 = xxhash.xxh3_64_intdigest(key, seed=seeds[0]) % m
            p2 = xxhash.xxh3_64_intdigest(key, seed=seeds[1]) % m
            h = xxhash.xxh3_64_intdigest(key, seed=seeds[2])
            mask = (1 << p1) ^ (1 << p2) ^ ((h & 0xFFFFFFFF) << m)
            equations.append([mask, int.from_bytes(value, "little")])
        cells = _solve(equations, m + 32, rng)
        if cells is not None:
            break
    out = b"".join(seed.to_bytes(8, "little") for seed in seeds)
    return out + b"".join(cell.to_bytes(64, "little") for cell in cells)


def _solve(equations, unknowns, rng):
    pivots = []  # (column, mask, value), each pivot column cleared from the others
    for mask, value in equations:
        for column, pmask, pvalue in pivots:
            if (mask >> column) & 1:
                mask ^= pmask
                value ^= pvalue
        if mask == 0:
            if value != 0:
                return None
            continue
        column = mask.bit_length() - 1
        for k, (c, pmask, pvalue) in enumerate(pivots):
            if (pmask >> column) & 1:
                pivots[k] = (c, pmask ^ mask, pvalue ^ value)
        pivots.append((column, mask, value))
    cells = [rng.getrandbits(512) for _ in range(unknowns)]
    pivot_columns = {column for column, _, _ in pivots}
    for column, mask, value in pivots:
        # value = cell[column] ^ xor of the free cells in mask.
        total = value
        for other in range(unknowns):
            if other != column and (mask >> other) & 1:
                assert other not in pivot_columns
                total ^= cells[other]
        cells[column] = total
    return cells
