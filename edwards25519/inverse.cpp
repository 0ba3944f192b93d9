// FieldElement::invert: constant-time inversion in GF(2^255 - 19) by
// divsteps, the field's one inversion (the lane fields invert by the
// exponentiation of batch/engine.hpp).
//
// divstep(delta, f, g) with f odd is
//   (1 - delta, g, (g - f) / 2)   when delta > 0 and g is odd,
//   (1 + delta, f, (g + f) / 2)   when g is odd otherwise,
//   (1 + delta, f, g / 2)         when g is even.
// From (1, p, x) with 0 <= x < p < 2^255, g reaches 0 and f = +-gcd(p, x)
// within floor((49 * 256 + 57) / 17) = 741 steps, the bound of the gcd
// analysis by divsteps for inputs below 2^256; 13 batches of 60 steps cover
// it. Alongside f and g we keep d, e with d x = f and e x = g (mod p), so at
// the end x^-1 = +-d.
//
// Each batch runs 60 divsteps on the low 64 bits of f and g only (enough to
// decide every step) and records them as an integer matrix M with
// 2^60 (f', g') = M (f, g); applying M to the full f, g and to d, e (where
// the division by 2^60 is made exact by adding a multiple of p) gives the
// state after the batch. Every step is branch-free and the step count is
// fixed, so nothing depends on x but the values.
#include "edwards25519/field.hpp"

#include "edwards25519/bytes.hpp"

namespace edwards25519 {

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

constexpr int kHalfBatch = 30;
constexpr int kShift = 2 * kHalfBatch;  // steps per batch, and the limb radix 2^60
constexpr int kBatches = 13;
constexpr std::uint64_t kMask = (std::uint64_t{1} << kShift) - 1;

// Σ v[i] 2^(60 i): v[0..3] in [0, 2^60), v[4] signed.
struct Signed60 {
    std::int64_t v[5];
};

constexpr std::int64_t limb(std::uint64_t x) { return static_cast<std::int64_t>(x); }

// p = 2^255 - 19 and 16 p = 2^259 - 304 in radix 2^60.
constexpr Signed60 kP{{limb(kMask - 18), limb(kMask), limb(kMask), limb(kMask), (1 << 15) - 1}};
constexpr Signed60 kSixteenP{{limb(kMask - 303), limb(kMask), limb(kMask), limb(kMask), (1 << 19) - 1}};

// p^-1 mod 2^60 by Newton's iteration (exact to 3 bits at the start).
constexpr std::uint64_t compute_p_inverse() {
    const std::uint64_t p0 = static_cast<std::uint64_t>(kP.v[0]);
    std::uint64_t x = p0;
    for (int i = 0; i < 5; ++i) x *= 2 - p0 * x;
    return x & kMask;
}
constexpr std::uint64_t kPInverse = compute_p_inverse();
static_assert(((kPInverse * static_cast<std::uint64_t>(kP.v[0])) & kMask) == 1, "p p^-1 = 1 mod 2^60");

struct Matrix {
    std::int64_t u, v, q, r;
};

// 30 divsteps on the low words f, g, which are updated in place (each step
// uses one more bit of g, so 64-bit words last two of these). Each row of
// the matrix is packed in one word, u + 2^32 v and q + 2^32 r: the rows
// only ever get swapped, negated, added and doubled, which act on the packed
// integer as on both entries, and entries stay within 2^30 in magnitude.
//
// The loop tracks zeta = -delta, so delta > 0 is the sign bit of zeta, and
// computes +-f from that sign before g's parity is known, which keeps the
// chain from one g to the next short.
Matrix divsteps(std::int64_t& zeta, std::uint64_t& f, std::uint64_t& g) noexcept {
    std::uint64_t uv = 1, qr = std::uint64_t{1} << 32;
    for (int i = 0; i < kHalfBatch; ++i) {
        const std::uint64_t delta_positive = static_cast<std::uint64_t>(zeta >> 63);
        const std::uint64_t odd = 0 - (g & 1);
        const std::uint64_t swap = delta_positive & odd;
        // Odd g takes g - f under a swap and g + f otherwise; the swap also
        // moves g into f and the row (q, r) into (u, v). Halving g is
        // recorded by doubling the row of f.
        const std::uint64_t f_signed = ((f ^ delta_positive) - delta_positive) & odd;
        const std::uint64_t uv_signed = ((uv ^ delta_positive) - delta_positive) & odd;
        f ^= (f ^ g) & swap;
        uv ^= (uv ^ qr) & swap;
        g = (g + f_signed) >> 1;
        qr += uv_signed;
        uv <<= 1;
        // delta' = 1 - delta under a swap, 1 + delta otherwise: zeta' = ~zeta or zeta - 1.
        zeta = static_cast<std::int64_t>((static_cast<std::uint64_t>(zeta) ^ swap) + ~swap);
    }
    const auto low = [](std::uint64_t packed) {
        return static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(packed)));
    };
    const auto high = [&](std::uint64_t packed) { return (static_cast<std::int64_t>(packed) - low(packed)) >> 32; };
    return {low(uv), high(uv), low(qr), high(qr)};
}

// The matrix of 60 steps, b after a. Entries stay within 2^60 in magnitude.
Matrix compose(const Matrix& b, const Matrix& a) noexcept {
    return {b.u * a.u + b.v * a.q, b.u * a.v + b.v * a.r, b.q * a.u + b.r * a.q, b.q * a.v + b.r * a.r};
}

// (a x + b y + c z) / 2^60 for a combination whose low 60 bits vanish.
// Each product is below 2^120, so the 128-bit sums do not overflow.
Signed60 combine_shift(std::int64_t a, const Signed60& x, std::int64_t b, const Signed60& y, std::uint64_t c,
                       const Signed60& z) noexcept {
    const auto term = [&](int i) {
        return static_cast<i128>(a) * x.v[i] + static_cast<i128>(b) * y.v[i] +
               static_cast<i128>(static_cast<u128>(c) * static_cast<std::uint64_t>(z.v[i]));
    };
    i128 acc = term(0) >> kShift;
    Signed60 out{};
    for (int i = 1; i < 5; ++i) {
        acc += term(i);
        out.v[i - 1] = static_cast<std::int64_t>(static_cast<std::uint64_t>(acc) & kMask);
        acc >>= kShift;
    }
    out.v[4] = static_cast<std::int64_t>(acc);
    return out;
}

// The multiple c of p, 0 <= c < 2^60, that makes a x0 + b y0 + c p = 0 mod 2^60.
std::uint64_t cancel_low(std::int64_t a, const Signed60& x, std::int64_t b, const Signed60& y) noexcept {
    const std::uint64_t low = static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(x.v[0]) +
                              static_cast<std::uint64_t>(b) * static_cast<std::uint64_t>(y.v[0]);
    return ((0 - low) * kPInverse) & kMask;
}

std::uint64_t low_word(const Signed60& x) noexcept {
    return static_cast<std::uint64_t>(x.v[0]) | (static_cast<std::uint64_t>(x.v[1]) << kShift);
}

}  // namespace

FieldElement FieldElement::invert() const noexcept {
    const std::array<std::uint8_t, 32> bytes = to_bytes();
    const std::uint64_t w0 = load_le64(bytes.data()), w1 = load_le64(bytes.data() + 8),
                        w2 = load_le64(bytes.data() + 16), w3 = load_le64(bytes.data() + 24);
    Signed60 f = kP;
    Signed60 g{{limb(w0 & kMask), limb(((w0 >> 60) | (w1 << 4)) & kMask), limb(((w1 >> 56) | (w2 << 8)) & kMask),
                limb(((w2 >> 52) | (w3 << 12)) & kMask), limb(w3 >> 48)}};
    Signed60 d{{0, 0, 0, 0, 0}}, e{{1, 0, 0, 0, 0}};
    std::int64_t zeta = -1;  // delta = 1

    // After k batches |d|, |e| < k p + 1: each batch's matrix rows have
    // absolute sums at most 2^60 and the added multiple of p is below 2^60 p.
    for (int b = 0; b < kBatches; ++b) {
        std::uint64_t f_low = low_word(f), g_low = low_word(g);
        const Matrix first = divsteps(zeta, f_low, g_low);
        const Matrix m = compose(divsteps(zeta, f_low, g_low), first);
        const Signed60 nf = combine_shift(m.u, f, m.v, g, 0, kP);
        const Signed60 ng = combine_shift(m.q, f, m.r, g, 0, kP);
        const Signed60 nd = combine_shift(m.u, d, m.v, e, cancel_low(m.u, d, m.v, e), kP);
        const Signed60 ne = combine_shift(m.q, d, m.r, e, cancel_low(m.q, d, m.r, e), kP);
        f = nf, g = ng, d = nd, e = ne;
    }

    // d + 16 p is positive and below 30 p < 2^260; fold bits 255.. back as
    // 19 each (2^255 = 19 mod p) into a loosely reduced field element.
    std::uint64_t limbs[5];
    i128 carry = 0;
    for (int i = 0; i < 5; ++i) {
        carry += static_cast<i128>(d.v[i]) + kSixteenP.v[i];
        limbs[i] = i < 4 ? static_cast<std::uint64_t>(carry) & kMask : static_cast<std::uint64_t>(carry);
        carry >>= kShift;
    }
    const std::uint64_t top = limbs[4] >> 15;  // bits 255..259
    const auto packed = store_le256(limbs[0] | (limbs[1] << 60), (limbs[1] >> 4) | (limbs[2] << 56),
                                    (limbs[2] >> 8) | (limbs[3] << 52), (limbs[3] >> 12) | (limbs[4] << 48));
    FieldElement result = FieldElement::from_bytes(packed.data());  // drops bit 255
    result.v[0] += 19 * top;
    // f = -1 when the gcd came out negative: then x^-1 = -d.
    result.conditional_negate(Choice::from_bit(static_cast<std::uint8_t>(static_cast<std::uint64_t>(f.v[4]) >> 63)));
    return result;
}

}  // namespace edwards25519
