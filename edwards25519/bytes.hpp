// Little-endian loads and stores used by the field and scalar encodings.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace edwards25519 {

inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        return x;
    } else {
        std::uint64_t x = 0;
        for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
        return x;
    }
}

inline void store_le64(std::uint8_t* p, std::uint64_t x) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &x, 8);
    } else {
        for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(x >> (8 * i));
    }
}

// Four 64-bit words, least significant first, as 32 bytes.
inline std::array<std::uint8_t, 32> store_le256(std::uint64_t w0, std::uint64_t w1, std::uint64_t w2,
                                                std::uint64_t w3) noexcept {
    std::array<std::uint8_t, 32> out{};
    store_le64(out.data(), w0);
    store_le64(out.data() + 8, w1);
    store_le64(out.data() + 16, w2);
    store_le64(out.data() + 24, w3);
    return out;
}

}  // namespace edwards25519
