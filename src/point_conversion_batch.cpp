// The uniform point bytes conversions of point_conversion.cpp over eight
// lanes, with the same formulas on batch field elements. Selections and sign
// normalisations are lane masks; the only decisions taken on values are the
// ones the scalar functions take (whether a representative exists, and the
// internal check that cannot fail on correct arithmetic).
#include "edwards25519/batch/batch.hpp"
#include "src/point_conversion.hpp"
#include "support/failure.hpp"

namespace ostrelline::point_conversion {

namespace b = edwards25519::batch;
using b::FieldBatch;
using b::LaneMask;
using b::PointBatch;
namespace constants = edwards25519::constants;

namespace {

struct Constants {
    FieldBatch one, a, minus_a, a_squared, d;
};

const Constants& batch_constants() {
    static const Constants c = [] {
        const edwards25519::FieldElement& a = constants::MONTGOMERY_A;
        return Constants{b::field_broadcast(edwards25519::FieldElement::one()), b::field_broadcast(a),
                         b::field_broadcast(-a), b::field_broadcast(a.square()),
                         b::field_broadcast(constants::EDWARDS_D)};
    }();
    return c;
}

}  // namespace

// As the scalar function: n = Z + Y, d = Z - Y, m = -2 n (n + A d); one
// inverse square root s of m Z^2 gives rho = +-s Z t (t = n or n + A d by the
// choice bit) and 1/Z = s^2 m Z for the sign of x.
LaneMask point_to_uniform_bytes(const PointBatch& p, const std::uint8_t choice_bits[b::kLanes],
                                std::uint8_t* const out[b::kLanes]) {
    const Constants& c = batch_constants();
    LaneMask choice = 0;
    for (std::size_t i = 0; i < b::kLanes; ++i) choice = static_cast<LaneMask>(choice | ((choice_bits[i] & 1u) << i));
    const FieldBatch n = b::add(p.Z, p.Y);
    const FieldBatch d = b::sub(p.Z, p.Y);
    const FieldBatch n_plus_ad = b::add(n, b::mul(c.a, d));
    const FieldBatch m = b::mul(b::neg(b::add(n, n)), n_plus_ad);
    LaneMask has_root = 0;
    const FieldBatch s = b::sqrt_ratio_i(c.one, b::mul(m, b::square(p.Z)), has_root);

    FieldBatch rho = b::mul(b::mul(s, p.Z), b::select(n, n_plus_ad, choice));
    rho = b::conditional_negate(rho, b::is_negative(rho));

    // elligator_encode(rho) leads back to u: -A d = W (1 + 2 rho^2).
    const FieldBatch w_numerator = b::select(b::neg(n_plus_ad), n, choice);
    const FieldBatch rho2 = b::square(rho);
    const FieldBatch check = b::mul(w_numerator, b::add(c.one, b::add(rho2, rho2)));
    const LaneMask consistent = b::equal(b::mul(c.minus_a, d), check);
    if ((has_root & ~consistent & b::kAllLanes) != 0) support::fail(kInvalidElligatorPoint);

    const FieldBatch z_inverse = b::mul(b::mul(b::square(s), m), p.Z);
    const LaneMask x_negative = b::is_negative(b::mul(p.X, z_inverse));
    b::field_to_bytes(rho, out);
    for (std::size_t i = 0; i < b::kLanes; ++i) out[i][31] = static_cast<std::uint8_t>(out[i][31] | (((x_negative >> i) & 1u) << 7));
    return has_root;
}

// As the scalar function: u = U / D1 with D1 = 1 + 2 r^2 and U = -2 A r^2 or
// -A by the square test, y = (U - D1) / (U + D1), x from y by sqrt_ratio_i.
PointBatch uniform_bytes_to_point(const std::uint8_t* const bytes[b::kLanes]) {
    const Constants& c = batch_constants();
    LaneMask sign = 0;
    for (std::size_t i = 0; i < b::kLanes; ++i) sign = static_cast<LaneMask>(sign | ((bytes[i][31] >> 7) << i));
    const FieldBatch r = b::field_from_bytes(bytes);
    const FieldBatch r2 = b::square(r);
    const FieldBatch two_r2 = b::add(r2, r2);
    const FieldBatch d1 = b::add(c.one, two_r2);
    const FieldBatch e_scaled =
        b::mul(b::mul(c.minus_a, b::add(b::sub(c.a_squared, b::mul(c.a_squared, d1)), b::square(d1))), d1);
    LaneMask w_on_curve = 0;
    b::sqrt_ratio_i(e_scaled, c.one, w_on_curve);
    const FieldBatch u_numerator = b::select(b::neg(b::mul(c.a, two_r2)), c.minus_a, w_on_curve);

    const FieldBatch y_numerator = b::sub(u_numerator, d1);
    const FieldBatch y_denominator = b::add(u_numerator, d1);
    const FieldBatch yn2 = b::square(y_numerator);
    const FieldBatch yd2 = b::square(y_denominator);
    LaneMask has_x = 0;
    FieldBatch x = b::sqrt_ratio_i(b::sub(yn2, yd2), b::add(b::mul(c.d, yn2), yd2), has_x);
    const LaneMask valid = static_cast<LaneMask>(has_x & ~b::is_zero(y_denominator));
    if (valid != b::kAllLanes) support::fail(kInvalidElligatorPoint);
    x = b::conditional_negate(x, sign);
    return PointBatch{b::mul(x, y_denominator), y_numerator, y_denominator, b::mul(x, y_numerator)};
}

}  // namespace ostrelline::point_conversion
