// Scalars mod l = 2^252 + 27742317777372353535851937790883648493.
//
// Arithmetic runs on five 52-bit limbs with Montgomery reduction, R = 2^260.
// montgomery_mul(a, b) = a b / R mod l for a b < l R; reductions by l use a
// masked final subtraction, so nothing branches on the values.
#include "edwards25519/scalar.hpp"

#include "edwards25519/bytes.hpp"
#include "support/rng.hpp"

namespace edwards25519 {

namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t kMask52 = (std::uint64_t{1} << 52) - 1;

struct Limbs52 {
    std::uint64_t v[5];
};

// l in radix 2^52 (0x1000000000000000000000000000000014def9dea2f79cd65812631a5cf5d3ed).
constexpr Limbs52 kL{{0x2631a5cf5d3ed, 0xdea2f79cd6581, 0x14def9, 0x0, 0x100000000000}};

// -l^-1 mod 2^52, by Newton's iteration x <- x (2 - l0 x) from x = l0, which
// is right to 3 bits for odd l0 and doubles the correct bits each step.
constexpr std::uint64_t compute_l_factor() {
    std::uint64_t x = kL.v[0];
    for (int i = 0; i < 5; ++i) x *= 2 - kL.v[0] * x;
    return (0 - x) & kMask52;
}
constexpr std::uint64_t kLFactor = compute_l_factor();
static_assert(((kLFactor * kL.v[0]) & kMask52) == kMask52, "l * l_factor = -1 mod 2^52");

// x - l if x >= l, else x; x < 2l with normalised limbs.
constexpr Limbs52 sub_l_if_needed(const Limbs52& x) {
    Limbs52 r{};
    std::uint64_t borrow = 0;
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t d = x.v[i] - kL.v[i] - borrow;
        r.v[i] = d & kMask52;
        borrow = d >> 63;
    }
    // Borrow out means x < l: add l back under the mask.
    const std::uint64_t mask = 0 - borrow;
    std::uint64_t carry = 0;
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t s = r.v[i] + (kL.v[i] & mask) + carry;
        r.v[i] = s & kMask52;
        carry = s >> 52;
    }
    return r;
}

// 2x mod l for x < l.
constexpr Limbs52 double_mod_l(const Limbs52& x) {
    Limbs52 r{};
    std::uint64_t carry = 0;
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t s = (x.v[i] << 1) + carry;
        r.v[i] = s & kMask52;
        carry = s >> 52;
    }
    return sub_l_if_needed(r);
}

// 2^k mod l.
constexpr Limbs52 pow2_mod_l(int k) {
    Limbs52 r{{1, 0, 0, 0, 0}};
    for (int i = 0; i < k; ++i) r = double_mod_l(r);
    return r;
}

constexpr Limbs52 kR = pow2_mod_l(260);   // R mod l
constexpr Limbs52 kRR = pow2_mod_l(520);  // R^2 mod l

// (t + n l) / R for the n < R that makes the low 260 bits vanish; t is given
// as ten column sums. Result below 2l when t < l R, then reduced below l.
Limbs52 montgomery_reduce(u128 t[10]) noexcept {
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t n = (static_cast<std::uint64_t>(t[i]) * kLFactor) & kMask52;
        for (int j = 0; j < 5; ++j) t[i + j] += static_cast<u128>(n) * kL.v[j];
        t[i + 1] += t[i] >> 52;  // the low 52 bits of t[i] are now zero
    }
    Limbs52 r{};
    for (int i = 0; i < 5; ++i) {
        r.v[i] = static_cast<std::uint64_t>(t[5 + i]) & kMask52;
        if (i < 4) t[6 + i] += t[5 + i] >> 52;
    }
    const Limbs52 out = sub_l_if_needed(r);
    // r is the result itself whenever it is below l: of a secret scalar, no
    // copy stays in this frame.
    support::secure_zero(r.v, sizeof r.v);
    return out;
}

Limbs52 montgomery_mul(const Limbs52& a, const Limbs52& b) noexcept {
    u128 t[10] = {};
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) t[i + j] += static_cast<u128>(a.v[i]) * b.v[j];
    const Limbs52 out = montgomery_reduce(t);
    support::secure_zero(t, sizeof t);
    return out;
}

Limbs52 add_limbs(const Limbs52& a, const Limbs52& b) noexcept {
    Limbs52 r{};
    std::uint64_t carry = 0;
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t s = a.v[i] + b.v[i] + carry;
        r.v[i] = s & kMask52;
        carry = s >> 52;
    }
    r.v[4] |= carry << 52;  // sums stay below 2^257, so the top limb may exceed 52 bits
    return r;
}

// Low 256 bits of 32 bytes.
Limbs52 load_limbs(const std::uint8_t b[32]) noexcept {
    const std::uint64_t w0 = load_le64(b), w1 = load_le64(b + 8), w2 = load_le64(b + 16),
                        w3 = load_le64(b + 24);
    return {{w0 & kMask52, ((w0 >> 52) | (w1 << 12)) & kMask52, ((w1 >> 40) | (w2 << 24)) & kMask52,
             ((w2 >> 28) | (w3 << 36)) & kMask52, w3 >> 16}};
}

// Written straight into the scalar's bytes: a returned array would be a
// temporary copy of a possibly secret value left behind on the stack.
void store_limbs(const Limbs52& x, std::array<std::uint8_t, 32>& out) noexcept {
    store_le64(out.data(), x.v[0] | (x.v[1] << 52));
    store_le64(out.data() + 8, (x.v[1] >> 12) | (x.v[2] << 40));
    store_le64(out.data() + 16, (x.v[2] >> 24) | (x.v[3] << 28));
    store_le64(out.data() + 24, (x.v[3] >> 36) | (x.v[4] << 16));
}

}  // namespace

Scalar::~Scalar() { support::secure_zero(bytes_.data(), bytes_.size()); }

Scalar Scalar::from_bytes_mod_order_wide(const std::uint8_t bytes[64]) noexcept {
    std::uint64_t w[8];
    for (int i = 0; i < 8; ++i) w[i] = load_le64(bytes + 8 * i);
    // lo: bits 0..259, hi: bits 260..511; the value is lo + hi R.
    Limbs52 lo{{w[0] & kMask52, ((w[0] >> 52) | (w[1] << 12)) & kMask52,
                ((w[1] >> 40) | (w[2] << 24)) & kMask52, ((w[2] >> 28) | (w[3] << 36)) & kMask52,
                ((w[3] >> 16) | (w[4] << 48)) & kMask52}};
    Limbs52 hi{{(w[4] >> 4) & kMask52, ((w[4] >> 56) | (w[5] << 8)) & kMask52,
                ((w[5] >> 44) | (w[6] << 20)) & kMask52, ((w[6] >> 32) | (w[7] << 32)) & kMask52,
                w[7] >> 20}};
    // lo R / R = lo and hi R^2 / R = hi R, both reduced; their sum is below 2l.
    Limbs52 sum = add_limbs(montgomery_mul(lo, kR), montgomery_mul(hi, kRR));
    Limbs52 reduced = sub_l_if_needed(sum);
    Scalar s;
    store_limbs(reduced, s.bytes_);
    // The result's limbs (a fresh secret key, when keys are drawn) and what
    // led to them are wiped, as are the input's words.
    for (Limbs52* limbs : {&lo, &hi, &sum, &reduced}) support::secure_zero(limbs->v, sizeof limbs->v);
    support::secure_zero(w, sizeof w);
    return s;
}

Scalar Scalar::from_bytes_mod_order(const std::uint8_t bytes[32]) noexcept {
    Scalar s;
    store_limbs(montgomery_mul(load_limbs(bytes), kR), s.bytes_);
    return s;
}

Scalar Scalar::from_bits(const std::uint8_t bytes[32]) noexcept {
    Scalar s;
    for (std::size_t i = 0; i < 32; ++i) s.bytes_[i] = bytes[i];
    s.bytes_[31] &= 0x7f;
    return s;
}

// (a b / R) R^2 / R = a b. a b < 2^510 < l R even for unreduced operands.
// The operands' limbs, the intermediate and the result's limbs are wiped:
// either operand may be a secret key (decrypt's x / 8).
Scalar operator*(const Scalar& a, const Scalar& b) noexcept {
    Limbs52 la = load_limbs(a.bytes_.data()), lb = load_limbs(b.bytes_.data());
    Limbs52 ab = montgomery_mul(la, lb);
    Limbs52 r = montgomery_mul(ab, kRR);
    Scalar s;
    store_limbs(r, s.bytes_);
    for (Limbs52* limbs : {&la, &lb, &ab, &r}) support::secure_zero(limbs->v, sizeof limbs->v);
    return s;
}

// The sum is below 2^256; multiplying by R / R reduces it whatever its size.
Scalar operator+(const Scalar& a, const Scalar& b) noexcept {
    const Limbs52 sum = add_limbs(load_limbs(a.bytes_.data()), load_limbs(b.bytes_.data()));
    Scalar s;
    store_limbs(montgomery_mul(sum, kR), s.bytes_);
    return s;
}

Scalar random_scalar() {
    std::array<std::uint8_t, 64> wide{};
    support::random_bytes(wide);
    Scalar scalar = Scalar::from_bytes_mod_order_wide(wide.data());
    support::secure_zero(wide.data(), wide.size());
    return scalar;
}

}  // namespace edwards25519
