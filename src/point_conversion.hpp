// Uniform point bytes: every 32-byte string stands for a point of
// edwards25519, and the bytes of a genuine point look random (except that
// bit 0 of byte 0 is always clear). Bits 0..254 hold an Elligator 2
// representative r (non-square constant 2), bit 255 the sign of the point's
// x-coordinate.
//
// Built from the Elligator 2 map for Curve25519, its inverse and the
// birational maps between edwards25519 and Curve25519, in one pass each over
// any lane field (elligator.hpp); these are that code on one lane of the
// scalar field.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "edwards25519/field.hpp"
#include "edwards25519/point.hpp"

namespace ostrelline::point_conversion {

// The uniform point bytes of p for the given choice bit (0 or 1), or nothing
// when p has no representative (the identity, (0, -1), and about half of all
// points). Bits 0..254 of the result hold a canonical, nonzero, even
// representative; bit 255 is the sign bit of p's own compressed form.
std::optional<std::array<std::uint8_t, 32>> point_to_uniform_bytes(const edwards25519::EdwardsPoint& p,
                                                                   std::uint8_t choice_bit);

// As above, with the choice bit drawn from the calling thread's generator
// (the top bit of one 32-bit output).
std::optional<std::array<std::uint8_t, 32>> point_to_uniform_bytes(const edwards25519::EdwardsPoint& p);

// The same uniform point bytes written with the other representative of the
// same point when `negate` is 1: bits 0..254 hold p - r in place of r (r and -r
// give the same u, and bit 255 keeps the sign). point_to_uniform_bytes always
// writes the even one of the two; flipping a coin here makes the parity of the
// representative, and so every bit of the 32 bytes, look uniform. Constant
// time in `negate` and in the bytes.
std::array<std::uint8_t, 32> with_representative(const std::array<std::uint8_t, 32>& bytes, std::uint8_t negate);

// The point of any 32 bytes: to_edwards(elligator_encode(bits 0..254), bit 255).
// Never fails on valid arithmetic; the internal failure
// elligator::kInvalidElligatorPoint guards the impossible case.
edwards25519::EdwardsPoint uniform_bytes_to_point(const std::uint8_t bytes[32]);
inline edwards25519::EdwardsPoint uniform_bytes_to_point(const std::array<std::uint8_t, 32>& bytes) {
    return uniform_bytes_to_point(bytes.data());
}

}  // namespace ostrelline::point_conversion
