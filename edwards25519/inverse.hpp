// Constant-time field inversion by divsteps, faster than the exponentiation
// of FieldElement::invert and equal to it (0 maps to 0). Internal.
#pragma once

#include "edwards25519/field.hpp"

namespace edwards25519::detail {

FieldElement invert_divsteps(const FieldElement& x) noexcept;

}  // namespace edwards25519::detail
