#include "src/point_conversion.hpp"

#include "edwards25519/choice.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace ostrelline::point_conversion {

using edwards25519::Choice;
using edwards25519::CompressedEdwardsY;
using edwards25519::EdwardsPoint;
using edwards25519::FieldElement;
using edwards25519::MontgomeryPoint;
namespace constants = edwards25519::constants;

MontgomeryPoint elligator_encode(const FieldElement& r) {
    const FieldElement& a = constants::MONTGOMERY_A;
    const FieldElement one = FieldElement::one();
    // 1 + 2 r^2 is never 0: -1/2 is not a square modulo p.
    FieldElement w = -a * (one + r.square2()).invert();
    FieldElement e = w * (w.square() + a * w + one);
    Choice e_is_square = FieldElement::sqrt_ratio_i(e, one).first;
    FieldElement u = FieldElement::select(-w - a, w, e_is_square);
    return MontgomeryPoint{u.to_bytes()};
}

std::optional<FieldElement> elligator_decode(const MontgomeryPoint& u_bytes, std::uint8_t choice_bit) {
    const FieldElement& a = constants::MONTGOMERY_A;
    FieldElement u = FieldElement::from_bytes(u_bytes.bytes);
    FieldElement u_plus_a = u + a;
    FieldElement n = -(u + u) * u_plus_a;
    // s = +-sqrt(1 / n); false for n = 0 (u = 0 or u = -A) and for non-squares.
    auto [has_root, s] = FieldElement::sqrt_ratio_i(FieldElement::one(), n);
    if (!has_root.declassify()) return std::nullopt;
    FieldElement rho = s * FieldElement::select(u, u_plus_a, Choice::from_bit(choice_bit));
    rho.conditional_negate(rho.is_negative());
    return rho;
}

MontgomeryPoint to_montgomery(const EdwardsPoint& p) { return p.to_montgomery(); }

std::optional<EdwardsPoint> to_edwards(const MontgomeryPoint& u_bytes, std::uint8_t sign) {
    const FieldElement one = FieldElement::one();
    FieldElement u = FieldElement::from_bytes(u_bytes.bytes);
    FieldElement u_plus_one = u + one;
    // No point of the curve has u = -1 (there v^2 = A - 2, a non-square).
    if (u_plus_one.is_zero().declassify()) return std::nullopt;
    CompressedEdwardsY compressed{((u - one) * u_plus_one.invert()).to_bytes()};
    compressed.bytes[31] = static_cast<std::uint8_t>(compressed.bytes[31] ^ (sign << 7));
    return compressed.decompress();
}

// Equivalent to: u = to_montgomery(p); rho = elligator_decode(u, choice_bit);
// out = bytes of rho, with bit 255 set when to_edwards(elligator_encode(rho), 0)
// differs from p. That point has p's y and a non-negative x, so the flag is
// the sign of p's own x. Everything is derived from one inverse square root:
//   u = N / D with N = Z + Y, D = Z - Y, and u + A = (N + A D) / D;
//   -2 u (u + A) = m / D^2 with m = -2 N (N + A D), so it is a square exactly
//   when m is (D = 0 only at the identity, where m = -8 Z^2 is no square);
//   s = 1 / sqrt(m Z^2) gives 1 / sqrt(m) = s Z and 1 / Z = s^2 m Z;
//   rho = +-t / sqrt(m) with t = N (bit 0) or N + A D (bit 1).
std::optional<std::array<std::uint8_t, 32>> point_to_uniform_bytes(const EdwardsPoint& p,
                                                                   std::uint8_t choice_bit) {
    const FieldElement& a = constants::MONTGOMERY_A;
    const FieldElement one = FieldElement::one();
    const FieldElement n = p.Z + p.Y;
    const FieldElement d = p.Z - p.Y;
    const FieldElement n_plus_ad = n + a * d;
    const FieldElement m = -(n + n) * n_plus_ad;
    auto [has_root, s] = FieldElement::sqrt_ratio_i(one, m * p.Z.square());
    if (!has_root.declassify()) return std::nullopt;

    const Choice choice = Choice::from_bit(choice_bit);
    FieldElement rho = s * p.Z * FieldElement::select(n, n_plus_ad, choice);
    rho.conditional_negate(rho.is_negative());

    // elligator_encode(rho) must lead back to u: w = -A / (1 + 2 rho^2) equals
    // -u - A for bit 0 and u for bit 1, i.e. -A D = W (1 + 2 rho^2) with W the
    // matching numerator over D. Only broken arithmetic can fail this.
    const FieldElement w_numerator = FieldElement::select(-n_plus_ad, n, choice);
    if (!(-a * d).ct_eq(w_numerator * (one + rho.square2())).declassify()) {
        support::fail(kInvalidElligatorPoint);
    }

    const FieldElement z_inverse = s.square() * m * p.Z;
    const Choice x_negative = (p.X * z_inverse).is_negative();
    std::array<std::uint8_t, 32> out = rho.to_bytes();
    out[31] = static_cast<std::uint8_t>(out[31] | (x_negative.mask() & 0x80));
    return out;
}

std::optional<std::array<std::uint8_t, 32>> point_to_uniform_bytes(const EdwardsPoint& p) {
    return point_to_uniform_bytes(p, static_cast<std::uint8_t>(support::random_u32() >> 31));
}

std::array<std::uint8_t, 32> with_representative(const std::array<std::uint8_t, 32>& bytes, std::uint8_t negate) {
    FieldElement r = FieldElement::from_bytes(bytes);
    r.conditional_negate(Choice::from_bit(negate));
    std::array<std::uint8_t, 32> out = r.to_bytes();
    out[31] = static_cast<std::uint8_t>(out[31] | (bytes[31] & 0x80));
    return out;
}

// Equivalent to to_edwards(elligator_encode(r), sign) with two exponentiations
// instead of four, in projective form:
//   w = -A / D1 with D1 = 1 + 2 r^2, and -w - A = -2 A r^2 / D1;
//   w^3 + A w^2 + w = -A (A^2 - A^2 D1 + D1^2) / D1^3, a square exactly when
//   -A (A^2 - A^2 D1 + D1^2) D1 is;
//   u = U / D1 gives y = (U - D1) / (U + D1) and
//   x^2 = (y^2 - 1) / (d y^2 + 1) = (Yn^2 - Yd^2) / (d Yn^2 + Yd^2).
EdwardsPoint uniform_bytes_to_point(const std::uint8_t bytes[32]) {
    const FieldElement& a = constants::MONTGOMERY_A;
    const FieldElement one = FieldElement::one();
    const Choice sign = Choice::from_bit(static_cast<std::uint8_t>(bytes[31] >> 7));
    const FieldElement r = FieldElement::from_bytes(bytes);

    const FieldElement two_r2 = r.square2();
    const FieldElement d1 = one + two_r2;
    const FieldElement a2 = a.square();
    const FieldElement e_scaled = -a * (a2 - a2 * d1 + d1.square()) * d1;
    const Choice w_on_curve = FieldElement::sqrt_ratio_i(e_scaled, one).first;
    const FieldElement u_numerator = FieldElement::select(-(a * two_r2), -a, w_on_curve);

    const FieldElement y_numerator = u_numerator - d1;
    const FieldElement y_denominator = u_numerator + d1;
    const FieldElement yn2 = y_numerator.square();
    const FieldElement yd2 = y_denominator.square();
    auto [has_x, x] = FieldElement::sqrt_ratio_i(yn2 - yd2, constants::EDWARDS_D * yn2 + yd2);
    // Fails only for u = -1 or a y without x, neither of which the map gives.
    if (!(has_x & !y_denominator.is_zero()).declassify()) support::fail(kInvalidElligatorPoint);
    x.conditional_negate(sign);
    return EdwardsPoint{x * y_denominator, y_numerator, y_denominator, x * y_numerator};
}

}  // namespace ostrelline::point_conversion
