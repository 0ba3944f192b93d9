// Scalars: 32 little-endian bytes. Secret material; wiped on destruction.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace edwards25519 {

class Scalar {
public:
    Scalar() noexcept = default;
    Scalar(const Scalar&) noexcept = default;
    Scalar& operator=(const Scalar&) noexcept = default;
    ~Scalar();

    // 64 bytes read as a 512-bit little-endian integer, reduced mod l. Constant time.
    static Scalar from_bytes_mod_order_wide(const std::uint8_t bytes[64]) noexcept;
    // 32 bytes read as a 256-bit integer, reduced mod l. Constant time.
    static Scalar from_bytes_mod_order(const std::uint8_t bytes[32]) noexcept;
    // 32 bytes with bit 255 cleared and NOT reduced: up to 2^255 - 1.
    static Scalar from_bits(const std::uint8_t bytes[32]) noexcept;

    const std::array<std::uint8_t, 32>& to_bytes() const noexcept { return bytes_; }

    // Multiplication and addition mod l (constant time). Results are reduced.
    friend Scalar operator*(const Scalar& a, const Scalar& b) noexcept;
    friend Scalar operator+(const Scalar& a, const Scalar& b) noexcept;

    // Signed radix-16 digits in [-8, 8): 64 digits, the last may be 8.
    // Valid for every scalar below 2^255.
    std::array<std::int8_t, 64> as_radix_16() const noexcept;

private:
    std::array<std::uint8_t, 32> bytes_{};
};

}  // namespace edwards25519
