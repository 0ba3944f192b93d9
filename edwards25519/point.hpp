// Points of edwards25519 in extended coordinates (X:Y:Z:T), x = X/Z, y = Y/Z, XY = ZT.
// Decompression performs no subgroup check; compression is canonical.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "edwards25519/choice.hpp"
#include "edwards25519/field.hpp"
#include "edwards25519/scalar.hpp"

namespace edwards25519 {

struct EdwardsPoint;

// The 32-byte encoding of RFC 8032: canonical y with the sign of x in bit 255.
struct CompressedEdwardsY {
    std::array<std::uint8_t, 32> bytes{};

    // y read mod p from bits 0..254; x the root whose sign is bit 255 (x = 0
    // accepted with either bit). Nothing when no x exists. No subgroup check.
    std::optional<EdwardsPoint> decompress() const noexcept;
};

struct EdwardsPoint {
    FieldElement X, Y, Z, T;

    static EdwardsPoint identity() noexcept;
    static EdwardsPoint basepoint() noexcept;
    // index T8 for a fixed generator T8 of the 8-torsion subgroup: the eight
    // points of order dividing 8, for index 0..7 (higher bits are ignored).
    // The point is chosen by a masked pass over all eight, so that neither a
    // branch nor a memory index depends on `index`.
    static EdwardsPoint eight_torsion(std::uint8_t index) noexcept;

    CompressedEdwardsY compress() const noexcept;
    // u = (Z + Y) / (Z - Y); the identity and (0, -1) give u = 0.

    friend EdwardsPoint operator+(const EdwardsPoint& a, const EdwardsPoint& b) noexcept;
    friend EdwardsPoint operator-(const EdwardsPoint& a, const EdwardsPoint& b) noexcept;
    EdwardsPoint operator-() const noexcept;
    EdwardsPoint double_point() const noexcept;
    EdwardsPoint mul_by_cofactor() const noexcept;  // 8 * self

    // Constant-time variable-base multiplication using all bits of the scalar
    // (scalars up to 2^255 - 1, reduced or not).
    EdwardsPoint mul(const Scalar& s) const noexcept;
    // s (8 self), through the batch engine's mul_cleared: the same for self
    // and for self plus any point of order dividing 8.
    EdwardsPoint mul_cleared(const Scalar& s) const noexcept;

    // Equality as group elements, without inversion.
    Choice ct_eq(const EdwardsPoint& other) const noexcept;
    bool operator==(const EdwardsPoint& other) const noexcept { return ct_eq(other).declassify(); }
    Choice is_identity() const noexcept;
    // l P is the identity: P lies in the prime-order subgroup (no small-order
    // component). One variable-base multiplication.
    Choice is_torsion_free() const noexcept;
    // The affine coordinates satisfy the curve equation and XY = ZT.
    bool is_on_curve() const noexcept;

    static void conditional_assign(EdwardsPoint& dst, const EdwardsPoint& src, Choice c) noexcept;
};

}  // namespace edwards25519
