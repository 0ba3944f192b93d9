// Constant-time inversion in GF(2^255 - 19) by divsteps.
//
// divstep(delta, f, g) with f odd is
//   (1 - delta, g, (g - f) / 2)   when delta > 0 and g is odd,
//   (1 + delta, f, (g + f) / 2)   when g is odd otherwise,
//   (1 + delta, f, g / 2)         when g is even.
// From (1, p, x) with 0 <= x < p < 2^255, g reaches 0 and f = +-gcd(p, x)
// within floor((49 * 255 + 57) / 17) = 738 steps, the bound of the gcd
// analysis by divsteps; 12 batches of 62 steps cover it. Alongside f and g we
// keep d, e with d x = f and e x = g (mod p), so at the end x^-1 = +-d.
//
// Each batch runs 62 divsteps on the low 64 bits of f and g only (enough to
// decide every step) and records them as an integer matrix M with
// 2^62 (f', g') = M (f, g); applying M to the full f, g and to d, e (where
// the division by 2^62 is made exact by adding a multiple of p) gives the
// state after the batch. Every step is branch-free and the step count is
// fixed, so nothing depends on x but the values.
#include "edwards25519/inverse.hpp"

#include "edwards25519/bytes.hpp"

namespace edwards25519::detail {

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

constexpr int kBatch = 62;
constexpr int kBatches = 12;
constexpr std::uint64_t kMask62 = (std::uint64_t{1} << 62) - 1;

// Σ v[i] 2^(62 i): v[0..3] in [0, 2^62), v[4] signed.
struct Signed62 {
    std::int64_t v[5];
};

// p = 2^255 - 19 in radix 2^62.
constexpr Signed62 kP{{static_cast<std::int64_t>(kMask62 - 18), static_cast<std::int64_t>(kMask62),
                       static_cast<std::int64_t>(kMask62), static_cast<std::int64_t>(kMask62), 127}};

// p^-1 mod 2^62 by Newton's iteration (exact to 3 bits at the start).
constexpr std::uint64_t compute_p_inverse() {
    const std::uint64_t p0 = static_cast<std::uint64_t>(kP.v[0]);
    std::uint64_t x = p0;
    for (int i = 0; i < 5; ++i) x *= 2 - p0 * x;
    return x & kMask62;
}
constexpr std::uint64_t kPInverse = compute_p_inverse();
static_assert(((kPInverse * static_cast<std::uint64_t>(kP.v[0])) & kMask62) == 1, "p p^-1 = 1 mod 2^62");

struct Matrix {
    std::int64_t u, v, q, r;
};

// 62 divsteps on the low words; returns the matrix with
// 2^62 f' = u f + v g and 2^62 g' = q f + r g.
Matrix divsteps(std::int64_t& delta, std::uint64_t f, std::uint64_t g) noexcept {
    std::uint64_t u = 1, v = 0, q = 0, r = 1;  // two's complement
    for (int i = 0; i < kBatch; ++i) {
        const std::uint64_t delta_positive = static_cast<std::uint64_t>((-delta) >> 63);
        const std::uint64_t odd = 0 - (g & 1);
        const std::uint64_t swap = delta_positive & odd;
        // Odd g takes g - f under a swap and g + f otherwise; the swap also
        // moves g into f, the row (q, r) into (u, v), and negates delta.
        const std::uint64_t f_signed = ((f & odd) ^ swap) - swap;
        const std::uint64_t u_signed = ((u & odd) ^ swap) - swap;
        const std::uint64_t v_signed = ((v & odd) ^ swap) - swap;
        f ^= (f ^ g) & swap;
        u ^= (u ^ q) & swap;
        v ^= (v ^ r) & swap;
        g = (g + f_signed) >> 1;
        q += u_signed;
        r += v_signed;
        u <<= 1;
        v <<= 1;
        delta = static_cast<std::int64_t>((static_cast<std::uint64_t>(delta) ^ swap) - swap) + 1;
    }
    return {static_cast<std::int64_t>(u), static_cast<std::int64_t>(v), static_cast<std::int64_t>(q),
            static_cast<std::int64_t>(r)};
}

// (a x + b y + c z) / 2^62 for a combination whose low 62 bits vanish.
// Products stay below 2^124 each, so the 128-bit sums do not overflow.
Signed62 combine_shift(std::int64_t a, const Signed62& x, std::int64_t b, const Signed62& y, std::uint64_t c,
                       const Signed62& z) noexcept {
    i128 acc = static_cast<i128>(a) * x.v[0] + static_cast<i128>(b) * y.v[0] +
               static_cast<i128>(static_cast<u128>(c) * static_cast<std::uint64_t>(z.v[0]));
    acc >>= 62;
    Signed62 out{};
    for (int i = 1; i < 5; ++i) {
        acc += static_cast<i128>(a) * x.v[i] + static_cast<i128>(b) * y.v[i] + static_cast<i128>(c) * z.v[i];
        out.v[i - 1] = static_cast<std::int64_t>(static_cast<std::uint64_t>(acc) & kMask62);
        acc >>= 62;
    }
    out.v[4] = static_cast<std::int64_t>(acc);
    return out;
}

// The multiple c of p, 0 <= c < 2^62, that makes a x0 + b y0 + c p = 0 mod 2^62.
std::uint64_t cancel_low(std::int64_t a, const Signed62& x, std::int64_t b, const Signed62& y) noexcept {
    const std::uint64_t low = static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(x.v[0]) +
                              static_cast<std::uint64_t>(b) * static_cast<std::uint64_t>(y.v[0]);
    return ((0 - low) * kPInverse) & kMask62;
}

}  // namespace

FieldElement invert_divsteps(const FieldElement& x) noexcept {
    const std::array<std::uint8_t, 32> bytes = x.to_bytes();
    const std::uint64_t w0 = load_le64(bytes.data()), w1 = load_le64(bytes.data() + 8),
                        w2 = load_le64(bytes.data() + 16), w3 = load_le64(bytes.data() + 24);
    const auto limb = [](std::uint64_t word) { return static_cast<std::int64_t>(word & kMask62); };
    Signed62 f = kP;
    Signed62 g{{limb(w0), limb((w0 >> 62) | (w1 << 2)), limb((w1 >> 60) | (w2 << 4)), limb((w2 >> 58) | (w3 << 6)),
                static_cast<std::int64_t>(w3 >> 56)}};
    Signed62 d{{0, 0, 0, 0, 0}}, e{{1, 0, 0, 0, 0}};
    std::int64_t delta = 1;

    // After k batches |d|, |e| < k p + 1: each batch's matrix rows have
    // absolute sums at most 2^62 and the added multiple of p is below 2^62 p.
    for (int b = 0; b < kBatches; ++b) {
        const Matrix m = divsteps(delta, static_cast<std::uint64_t>(f.v[0]) | (static_cast<std::uint64_t>(f.v[1]) << 62),
                                  static_cast<std::uint64_t>(g.v[0]) | (static_cast<std::uint64_t>(g.v[1]) << 62));
        const Signed62 nf = combine_shift(m.u, f, m.v, g, 0, kP);
        const Signed62 ng = combine_shift(m.q, f, m.r, g, 0, kP);
        const Signed62 nd = combine_shift(m.u, d, m.v, e, cancel_low(m.u, d, m.v, e), kP);
        const Signed62 ne = combine_shift(m.q, d, m.r, e, cancel_low(m.q, d, m.r, e), kP);
        f = nf, g = ng, d = nd, e = ne;
    }

    // d + 16 p is positive and below 29 p < 2^260; fold bits 255.. back as
    // 19 each (2^255 = 19 mod p) into a loosely reduced field element.
    const Signed62 sixteen_p{{static_cast<std::int64_t>(kMask62 - 303), static_cast<std::int64_t>(kMask62),
                              static_cast<std::int64_t>(kMask62), static_cast<std::int64_t>(kMask62), 2047}};
    std::uint64_t limbs[5];
    i128 carry = 0;
    for (int i = 0; i < 5; ++i) {
        carry += static_cast<i128>(d.v[i]) + sixteen_p.v[i];
        limbs[i] = i < 4 ? static_cast<std::uint64_t>(carry) & kMask62 : static_cast<std::uint64_t>(carry);
        carry >>= 62;
    }
    const std::uint64_t top = limbs[4] >> 7;  // bits 255..259
    const auto packed = store_le256(limbs[0] | (limbs[1] << 62), (limbs[1] >> 2) | (limbs[2] << 60),
                                    (limbs[2] >> 4) | (limbs[3] << 58), (limbs[3] >> 6) | (limbs[4] << 56));
    FieldElement result = FieldElement::from_bytes(packed.data());  // drops bit 255
    result.v[0] += 19 * top;
    // f = -1 when the gcd came out negative: then x^-1 = -d.
    result.conditional_negate(Choice::from_bit(static_cast<std::uint8_t>(static_cast<std::uint64_t>(f.v[4]) >> 63)));
    return result;
}

}  // namespace edwards25519::detail
