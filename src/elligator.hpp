// The uniform point bytes conversions, written once over any lane field: the
// scalar layer (point_conversion.cpp) and the portable backend instantiate
// them with the one-lane scalar field, every vector backend with its own. Selections and sign normalisations are lane masks;
// the only decisions taken on values are whether a representative exists
// (returned to the caller) and the internal check that cannot fail on
// correct arithmetic.
#pragma once

#include <cstdint>

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/field.hpp"

namespace ostrelline::elligator {

namespace e = edwards25519::batch::engine;
using edwards25519::batch::LaneField;

// The message of the internal failure raised when a conversion that always
// succeeds on valid data does not.
inline constexpr const char* kInvalidElligatorPoint =
    "The point from the Elligator map is invalid, this should never happen.";
// Raises kInvalidElligatorPoint. Out of line (point_conversion.cpp, compiled
// for any CPU), so that no translation unit of a vector backend emits the
// failure's string code, which the linker could hand to every caller.
[[noreturn]] void invalid_elligator_point();


// Lane i of p to the 32 bytes at out[i]: equivalent to u = to_montgomery(p),
// rho = elligator_decode(u, choice), the bytes of rho with bit 255 set when
// the point the bytes map back to (p's y, non-negative x) differs from p,
// i.e. the sign of p's x. Everything comes from one inverse square root:
//   u = N / D with N = Z + Y, D = Z - Y, and u + A = (N + A D) / D;
//   -2 u (u + A) = m / D^2 with m = -2 N (N + A D), so it is a square exactly
//   when m is (D = 0 only at the identity, where m = -8 Z^2 is no square);
//   s = 1 / sqrt(m Z^2) gives 1 / sqrt(m) = s Z and 1 / Z = s^2 m Z;
//   rho = +-t / sqrt(m) with t = N (choice clear) or N + A D (choice set).
// Returns the lanes that have a representative; the bytes of the others are
// meaningless.
template <LaneField F>
typename F::Mask point_to_uniform_bytes(const e::Point<F>& p, const typename F::Mask& choice,
                                        std::uint8_t* const* out) {
    using E = typename F::Element;
    namespace constants = edwards25519::constants;
    const E a = F::broadcast(constants::MONTGOMERY_A);
    const E one = F::one();
    const E n = F::add(p.Z, p.Y);
    const E d = F::sub(p.Z, p.Y);
    const E n_plus_ad = F::add(n, F::mul(a, d));
    const E m = F::mul(F::neg(F::add(n, n)), n_plus_ad);
    const e::SqrtRatio<F> s = e::sqrt_ratio_i<F>(one, F::mul(m, F::square(p.Z)));

    E rho = F::mul(F::mul(s.root, p.Z), F::select(n, n_plus_ad, choice));
    rho = e::abs<F>(rho);

    // elligator_encode(rho) must lead back to u: w = -A / (1 + 2 rho^2) equals
    // -u - A (choice clear) or u (choice set), i.e. -A D = W (1 + 2 rho^2)
    // with W the matching numerator over D. Only broken arithmetic fails this.
    const E w_numerator = F::select(F::neg(n_plus_ad), n, choice);
    const E rho2 = F::square(rho);
    const E check = F::mul(w_numerator, F::add(one, F::add(rho2, rho2)));
    const auto consistent = F::equal(F::mul(F::neg(a), d), check);
    if (s.was_square.and_not(consistent).declassify() != 0) invalid_elligator_point();

    const E z_inverse = F::mul(F::mul(F::square(s.root), m), p.Z);
    F::to_bytes(rho, F::is_negative(F::mul(p.X, z_inverse)), out);
    return s.was_square;
}

// Lane i from the 32 bytes at bytes[i]: equivalent to
// to_edwards(elligator_encode(r), bit 255) with two exponentiations instead
// of four, in projective form:
//   w = -A / D1 with D1 = 1 + 2 r^2, and -w - A = -2 A r^2 / D1;
//   w^3 + A w^2 + w = -A (A^2 - A^2 D1 + D1^2) / D1^3, a square exactly when
//   -A (A^2 - A^2 D1 + D1^2) D1 is;
//   u = U / D1 gives y = (U - D1) / (U + D1) and
//   x^2 = (y^2 - 1) / (d y^2 + 1) = (Yn^2 - Yd^2) / (d Yn^2 + Yd^2).
// Every input has a point: the check fails only on broken arithmetic.
template <LaneField F>
e::Point<F> uniform_bytes_to_point(const std::uint8_t* const* bytes) {
    using E = typename F::Element;
    namespace constants = edwards25519::constants;
    const E a = F::broadcast(constants::MONTGOMERY_A);
    const E minus_a = F::neg(a);
    const E a2 = F::square(a);
    const E one = F::one();
    const auto sign = F::top_bits(bytes);
    const E r = F::from_bytes(bytes);

    const E r2 = F::square(r);
    const E two_r2 = F::add(r2, r2);
    const E d1 = F::add(one, two_r2);
    const E e_scaled = F::mul(F::mul(minus_a, F::add(F::sub(a2, F::mul(a2, d1)), F::square(d1))), d1);
    const auto w_on_curve = e::sqrt_ratio_i<F>(e_scaled, one).was_square;
    const E u_numerator = F::select(F::neg(F::mul(a, two_r2)), minus_a, w_on_curve);

    const E y_numerator = F::sub(u_numerator, d1);
    const E y_denominator = F::add(u_numerator, d1);
    const E yn2 = F::square(y_numerator);
    const E yd2 = F::square(y_denominator);
    const e::SqrtRatio<F> x_root =
        e::sqrt_ratio_i<F>(F::sub(yn2, yd2), F::add(F::mul(F::broadcast(constants::EDWARDS_D), yn2), yd2));
    const auto valid = x_root.was_square.and_not(F::is_zero(y_denominator));
    if (F::all_lanes().and_not(valid).declassify() != 0) invalid_elligator_point();
    const E x = e::conditional_negate<F>(x_root.root, sign);
    return {F::mul(x, y_denominator), y_numerator, y_denominator, F::mul(x, y_numerator)};
}

}  // namespace ostrelline::elligator
