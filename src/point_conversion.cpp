#include "src/point_conversion.hpp"

#include "edwards25519/batch/scalar_field.hpp"
#include "edwards25519/choice.hpp"
#include "src/elligator.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace ostrelline::elligator {

void invalid_elligator_point() { support::fail(kInvalidElligatorPoint); }

}  // namespace ostrelline::elligator

namespace ostrelline::point_conversion {

using edwards25519::Choice;
using edwards25519::CompressedEdwardsY;
using edwards25519::EdwardsPoint;
using edwards25519::FieldElement;
namespace constants = edwards25519::constants;

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
