"""A small, slow, independent edwards25519 written with Python integers.

Used by the tests as an oracle for what the module computes: decompression
without subgroup checks, addition, multiplication by any integer, and
canonical compression.
"""

P = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493
D = (-121665 * pow(121666, P - 2, P)) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)

IDENTITY = (0, 1)


def _recover_x(y, sign):
    x2 = (y * y - 1) * pow(D * y * y + 1, P - 2, P) % P
    if x2 == 0:
        return 0
    x = pow(x2, (P + 3) // 8, P)
    if (x * x - x2) % P != 0:
        x = x * SQRT_M1 % P
    if (x * x - x2) % P != 0:
        return None
    if (x & 1) != sign:
        x = P - x
    return x


def decompress(data: bytes):
    assert len(data) == 32
    value = int.from_bytes(data, "little")
    sign = value >> 255
    y = (value & ((1 << 255) - 1)) % P
    x = _recover_x(y, sign)
    if x is None:
        return None
    return (x, y)


def compress(point) -> bytes:
    x, y = point
    return (y | ((x & 1) << 255)).to_bytes(32, "little")


def add(a, b):
    x1, y1 = a
    x2, y2 = b
    t = D * x1 * x2 * y1 * y2 % P
    x3 = (x1 * y2 + x2 * y1) * pow(1 + t, P - 2, P) % P
    y3 = (y1 * y2 + x1 * x2) * pow(1 - t, P - 2, P) % P
    return (x3, y3)


def neg(a):
    return ((-a[0]) % P, a[1])


def mul(k: int, point):
    result = IDENTITY
    addend = point
    while k > 0:
        if k & 1:
            result = add(result, addend)
        addend = add(addend, addend)
        k >>= 1
    return result


BASE = decompress(bytes.fromhex("5866666666666666666666666666666666666666666666666666666666666666"))


def scalar_from_secret_key(secret_key: bytes) -> int:
    """The module's reading of a secret key: 32 bytes, bit 255 cleared, not reduced."""
    return int.from_bytes(secret_key, "little") & ((1 << 255) - 1)


def bank_answer(secret_key: bytes, point):
    """What a bank's decrypt gives for a point: (x / 8 mod l) (8 P), x the key as
    the module reads it; x P for P of the prime-order subgroup."""
    x = scalar_from_secret_key(secret_key)
    return mul(x * pow(8, -1, L) % L, mul(8, point))


# The identity, the point of order 2, and points of order 4 and 8.
IDENTITY_BYTES = bytes([1]) + bytes(31)
ORDER2_BYTES = bytes.fromhex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f")
ORDER4_BYTES = bytes(32)
ORDER4_NEG_BYTES = bytes(31) + b"\x80"
ORDER8_BYTES = bytes.fromhex("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05")
