// A secret boolean, held as 0 or 1 in a byte, that code turns into masks
// instead of branches. Values pass through an optimisation barrier so the
// compiler cannot rebuild a branch from them.
#pragma once

#include <cstdint>

namespace edwards25519 {

inline std::uint8_t black_box(std::uint8_t v) noexcept {
    __asm__ volatile("" : "+r"(v));
    return v;
}

inline std::uint64_t black_box(std::uint64_t v) noexcept {
    __asm__ volatile("" : "+r"(v));
    return v;
}

class Choice {
public:
    constexpr Choice() noexcept = default;
    // `bit` must be 0 or 1.
    static Choice from_bit(std::uint8_t bit) noexcept { return Choice(black_box(bit)); }

    // All ones when set, zero otherwise.
    std::uint64_t mask() const noexcept { return 0 - static_cast<std::uint64_t>(black_box(bit_)); }
    std::uint8_t bit() const noexcept { return bit_; }
    // Leaves constant time: use only where the result may be public.
    bool declassify() const noexcept { return black_box(bit_) != 0; }

    friend Choice operator&(Choice a, Choice b) noexcept { return Choice(a.bit_ & b.bit_); }
    friend Choice operator|(Choice a, Choice b) noexcept { return Choice(a.bit_ | b.bit_); }
    friend Choice operator^(Choice a, Choice b) noexcept { return Choice(a.bit_ ^ b.bit_); }
    Choice operator!() const noexcept { return Choice(bit_ ^ 1); }

private:
    constexpr explicit Choice(std::uint8_t bit) noexcept : bit_(bit) {}
    std::uint8_t bit_ = 0;
};

}  // namespace edwards25519
