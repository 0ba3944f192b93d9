// GF(2^255 - 19) in radix 2^51: five unsigned 64-bit limbs, products in
// 128-bit integers. All operations are constant time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "edwards25519/choice.hpp"

namespace edwards25519 {

struct FieldElement {
    // Limbs, least significant first. Between operations every limb is below
    // 2^52 (loosely reduced); `to_bytes` reduces fully.
    std::uint64_t v[5];

    static constexpr FieldElement zero() noexcept { return {{0, 0, 0, 0, 0}}; }
    static constexpr FieldElement one() noexcept { return {{1, 0, 0, 0, 0}}; }
    static FieldElement from_u64(std::uint64_t x) noexcept;

    // Little-endian, bit 255 ignored, value reduced mod p (so p..2^255-1 are accepted).
    static FieldElement from_bytes(const std::uint8_t bytes[32]) noexcept;
    static FieldElement from_bytes(const std::array<std::uint8_t, 32>& bytes) noexcept {
        return from_bytes(bytes.data());
    }
    // Canonical: the fully reduced value, bit 255 always 0.
    std::array<std::uint8_t, 32> to_bytes() const noexcept;

    friend FieldElement operator+(const FieldElement& a, const FieldElement& b) noexcept;
    friend FieldElement operator-(const FieldElement& a, const FieldElement& b) noexcept;
    friend FieldElement operator*(const FieldElement& a, const FieldElement& b) noexcept;
    FieldElement operator-() const noexcept;
    FieldElement square() const noexcept;
    // 2 * self^2, used by point doubling.
    FieldElement square2() const noexcept;
    // self^(2^k).
    FieldElement pow2k(unsigned k) const noexcept;
    // self^((p-5)/8).
    FieldElement pow22523() const noexcept;
    // The inverse, and 0 for 0, by divsteps (inverse.cpp): constant time.
    FieldElement invert() const noexcept;
    // inverses[k] = 1 / values[k] for k < count with one inversion
    // (batch::engine::batch_invert); the values nonzero unless there is only
    // one, and the arrays apart.
    static void batch_invert(const FieldElement* values, std::size_t count, FieldElement* inverses) noexcept;

    // Odd when fully reduced. Zero is not negative.
    Choice is_negative() const noexcept;
    Choice is_zero() const noexcept;
    Choice ct_eq(const FieldElement& other) const noexcept;

    static FieldElement select(const FieldElement& a, const FieldElement& b, Choice choose_b) noexcept;
    void conditional_assign(const FieldElement& other, Choice choice) noexcept;
    void conditional_negate(Choice choice) noexcept;
    static void conditional_swap(FieldElement& a, FieldElement& b, Choice choice) noexcept;
    // The non-negative one of self and -self.
    FieldElement abs() const noexcept;

    // (was_square, r) with r a square root of u/v when it exists:
    //  - u = 0:                  (true, 0)
    //  - v = 0, u != 0:          (false, 0)
    //  - u/v square:             (true, +sqrt(u/v))
    //  - u/v not square:         (false, +sqrt(i*u/v))
    // r is always non-negative.
    static std::pair<Choice, FieldElement> sqrt_ratio_i(const FieldElement& u, const FieldElement& v) noexcept;
};

namespace constants {
// d = -121665/121666 of edwards25519, 2d, sqrt(-1), A = 486662 of Curve25519.
extern const FieldElement EDWARDS_D;
extern const FieldElement EDWARDS_D2;
extern const FieldElement SQRT_M1;
extern const FieldElement MONTGOMERY_A;
}  // namespace constants

}  // namespace edwards25519
