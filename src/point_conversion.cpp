#include "src/point_conversion.hpp"

#include "edwards25519/batch/scalar_field.hpp"
#include "edwards25519/choice.hpp"
#include "src/elligator.hpp"
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

// The lane-field form of elligator.hpp on one lane of the scalar field.
std::optional<std::array<std::uint8_t, 32>> point_to_uniform_bytes(const EdwardsPoint& p,
                                                                   std::uint8_t choice_bit) {
    using F = edwards25519::batch::ScalarField;
    std::array<std::uint8_t, 32> out{};
    std::uint8_t* dst[1] = {out.data()};
    const auto has_root = elligator::point_to_uniform_bytes<F>({p.X, p.Y, p.Z, p.T}, F::mask_from_bits(choice_bit), dst);
    if (has_root.declassify() == 0) return std::nullopt;
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

EdwardsPoint uniform_bytes_to_point(const std::uint8_t bytes[32]) {
    const std::uint8_t* in[1] = {bytes};
    const auto p = elligator::uniform_bytes_to_point<edwards25519::batch::ScalarField>(in);
    return EdwardsPoint{p.X, p.Y, p.Z, p.T};
}

}  // namespace ostrelline::point_conversion
