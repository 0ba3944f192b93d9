// Scalars: 32 little-endian bytes. Secret material; wiped on destruction.
#pragma once

#include <array>
#include <cstddef>
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

    // Signed radix-2^W digits, each in [-2^(W-1), 2^(W-1)), the last of the
    // ceil(256 / W) at most 2^(W-1): sum d_i 2^(W i) is the scalar. Valid for
    // every scalar below 2^255. No branch depends on the scalar's bits.
    template <unsigned W>
        requires(W >= 2 && W <= 7)
    std::array<std::int8_t, (256 + W - 1) / W> signed_digits() const noexcept {
        constexpr std::size_t kDigits = (256 + W - 1) / W;
        std::array<std::int8_t, kDigits> d{};
        int carry = 0;
        for (std::size_t i = 0; i < kDigits; ++i) {
            const std::size_t bit = W * i, byte = bit / 8;
            unsigned window = byte < 32 ? bytes_[byte] : 0u;
            if (byte + 1 < 32) window |= static_cast<unsigned>(bytes_[byte + 1]) << 8;
            int digit = static_cast<int>((window >> (bit % 8)) & ((1u << W) - 1)) + carry;
            if (i + 1 < kDigits) {
                carry = (digit + (1 << (W - 1))) >> W;  // 1 when digit >= 2^(W-1)
                digit -= carry << W;
            }
            d[i] = static_cast<std::int8_t>(digit);
        }
        return d;
    }
    // The radix-16 digits: 64 in [-8, 8), the last may be 8.
    std::array<std::int8_t, 64> as_radix_16() const noexcept { return signed_digits<4>(); }

private:
    std::array<std::uint8_t, 32> bytes_{};
};

// A fresh scalar: 64 bytes from the calling thread's generator, read as a
// 512-bit little-endian integer and reduced mod l. The buffer is wiped.
Scalar random_scalar();

}  // namespace edwards25519
