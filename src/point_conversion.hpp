// Uniform point bytes: every 32-byte string stands for a point of
// edwards25519, and the bytes of a genuine point look random (except that
// bit 0 of byte 0 is always clear). Bits 0..254 hold an Elligator 2
// representative r (non-square constant 2), bit 255 the sign of the point's
// x-coordinate.
//
// Built from the Elligator 2 map for Curve25519 (`elligator_encode`), its
// inverse (`elligator_decode`) and the birational maps between edwards25519
// and Curve25519 (`to_montgomery`, `to_edwards`).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "edwards25519/field.hpp"
#include "edwards25519/point.hpp"

namespace ostrelline::point_conversion {

// The message of the internal failure raised when a conversion that always
// succeeds on valid data does not.
inline constexpr const char* kInvalidElligatorPoint =
    "The point from the Elligator map is invalid, this should never happen.";

// w = -A / (1 + 2 r^2); u = w when w^3 + A w^2 + w is a square, else -w - A.
// r and -r give the same u; the u always lies on the curve, not its twist.
edwards25519::MontgomeryPoint elligator_encode(const edwards25519::FieldElement& r);

// The non-negative square root of -u / (2 (u + A)) for choice_bit 0, of
// -(u + A) / (2 u) for choice_bit 1; nothing when -2 u (u + A) is zero or not
// a square (independently of the bit). choice_bit must be 0 or 1.
std::optional<edwards25519::FieldElement> elligator_decode(const edwards25519::MontgomeryPoint& u,
                                                           std::uint8_t choice_bit);

// u = (1 + y) / (1 - y); the identity and (0, -1) both give u = 0.
edwards25519::MontgomeryPoint to_montgomery(const edwards25519::EdwardsPoint& p);

// y = (u - 1) / (u + 1) with the sign of x given by `sign` (0 or 1); nothing
// for u = -1 and when y has no x.
std::optional<edwards25519::EdwardsPoint> to_edwards(const edwards25519::MontgomeryPoint& u,
                                                     std::uint8_t sign);

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
// Never fails on valid arithmetic; the internal failure kInvalidElligatorPoint
// guards the impossible case.
edwards25519::EdwardsPoint uniform_bytes_to_point(const std::uint8_t bytes[32]);
inline edwards25519::EdwardsPoint uniform_bytes_to_point(const std::array<std::uint8_t, 32>& bytes) {
    return uniform_bytes_to_point(bytes.data());
}

}  // namespace ostrelline::point_conversion
