// Inline radix-2^51 arithmetic behind FieldElement, for the group code that
// wants it inlined. Not part of the public interface.
//
// Bounds. The public operations keep every limb below 2^52. The lazy
// operations here (`add`, `sub`) return limbs below 2^54 without carrying;
// `mul` and `square` accept limbs below 2^54 and return limbs below 2^52, so a
// lazy sum or difference may feed a product directly but not another lazy
// operation unless the bounds below allow it.
#pragma once

#include <cstdint>

#include "edwards25519/field.hpp"

namespace edwards25519::fe {

using u128 = unsigned __int128;

inline constexpr std::uint64_t kMask51 = (std::uint64_t{1} << 51) - 1;

// Carries every limb into the next, the top one back into the lowest times 19
// (2^255 = 19 mod p). Accepts any limbs; returns limbs below 2^51 + 2^13 * 19.
inline FieldElement weak_reduce(const FieldElement& a) noexcept {
    std::uint64_t v0 = a.v[0], v1 = a.v[1], v2 = a.v[2], v3 = a.v[3], v4 = a.v[4];
    const std::uint64_t c0 = v0 >> 51;
    const std::uint64_t c1 = v1 >> 51;
    const std::uint64_t c2 = v2 >> 51;
    const std::uint64_t c3 = v3 >> 51;
    const std::uint64_t c4 = v4 >> 51;
    v0 = (v0 & kMask51) + c4 * 19;
    v1 = (v1 & kMask51) + c0;
    v2 = (v2 & kMask51) + c1;
    v3 = (v3 & kMask51) + c2;
    v4 = (v4 & kMask51) + c3;
    return {{v0, v1, v2, v3, v4}};
}

// The low 255 bits of four little-endian words as limbs below 2^51.
inline FieldElement from_words(std::uint64_t w0, std::uint64_t w1, std::uint64_t w2, std::uint64_t w3) noexcept {
    return {{w0 & kMask51, ((w0 >> 51) | (w1 << 13)) & kMask51, ((w1 >> 38) | (w2 << 26)) & kMask51,
             ((w2 >> 25) | (w3 << 39)) & kMask51, (w3 >> 12) & kMask51}};
}

// Limb-wise sum without carrying: inputs below 2^53 give limbs below 2^54.
inline FieldElement add(const FieldElement& a, const FieldElement& b) noexcept {
    return {{a.v[0] + b.v[0], a.v[1] + b.v[1], a.v[2] + b.v[2], a.v[3] + b.v[3], a.v[4] + b.v[4]}};
}

// a - b + 4p limb-wise without carrying, so no limb underflows: b below 2^53
// (limbs of 4p are 2^53 - 76 and 2^53 - 4), a below 2^53, result below 2^54.
inline FieldElement sub(const FieldElement& a, const FieldElement& b) noexcept {
    constexpr std::uint64_t kFourP0 = (std::uint64_t{1} << 53) - 76;
    constexpr std::uint64_t kFourPi = (std::uint64_t{1} << 53) - 4;
    return {{a.v[0] + kFourP0 - b.v[0], a.v[1] + kFourPi - b.v[1], a.v[2] + kFourPi - b.v[2],
             a.v[3] + kFourPi - b.v[3], a.v[4] + kFourPi - b.v[4]}};
}

// Reduces five 128-bit column sums to limbs below 2^52. Each sum must be
// below 2^115 - 2^64, so that with a carry added every carry out of a column
// still fits in 64 bits (the columns of mul and square stay below 2^114.6). The
// carries run in two interleaved chains (0 -> 1 -> 2 -> 3 and 3 -> 4 -> 0 -> 1),
// four rounds deep instead of seven in a row, which shortens the latency of
// chains of squarings.
inline FieldElement carry_wide(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) noexcept {
    r1 += static_cast<std::uint64_t>(r0 >> 51);
    r4 += static_cast<std::uint64_t>(r3 >> 51);
    const std::uint64_t l0 = static_cast<std::uint64_t>(r0) & kMask51;
    const std::uint64_t l3 = static_cast<std::uint64_t>(r3) & kMask51;

    r2 += static_cast<std::uint64_t>(r1 >> 51);
    // The top carry is below 2^64, so 19 times it needs the 128-bit product.
    const u128 t0 = static_cast<u128>(static_cast<std::uint64_t>(r4 >> 51)) * 19 + l0;
    const std::uint64_t l1 = static_cast<std::uint64_t>(r1) & kMask51;
    const std::uint64_t l4 = static_cast<std::uint64_t>(r4) & kMask51;

    const u128 t3 = static_cast<u128>(l3) + static_cast<std::uint64_t>(r2 >> 51);
    const std::uint64_t m0 = static_cast<std::uint64_t>(t0) & kMask51;
    const std::uint64_t m1 = l1 + static_cast<std::uint64_t>(t0 >> 51);  // below 2^51 + 2^18
    const std::uint64_t l2 = static_cast<std::uint64_t>(r2) & kMask51;

    const std::uint64_t m3 = static_cast<std::uint64_t>(t3) & kMask51;
    const std::uint64_t m4 = l4 + static_cast<std::uint64_t>(t3 >> 51);  // below 2^51 + 2^14
    return {{m0, m1, l2, m3, m4}};
}

inline u128 m(std::uint64_t x, std::uint64_t y) noexcept { return static_cast<u128>(x) * y; }

// Schoolbook product with the high columns folded back times 19. Limbs below
// 2^54: each column is at most 5 * 2^54 * 19 * 2^54 < 2^114.6.
inline FieldElement mul(const FieldElement& a, const FieldElement& b) noexcept {
    const std::uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
    const std::uint64_t b0 = b.v[0], b1 = b.v[1], b2 = b.v[2], b3 = b.v[3], b4 = b.v[4];
    const std::uint64_t b1_19 = b1 * 19, b2_19 = b2 * 19, b3_19 = b3 * 19, b4_19 = b4 * 19;
    const u128 r0 = m(a0, b0) + m(a1, b4_19) + m(a2, b3_19) + m(a3, b2_19) + m(a4, b1_19);
    const u128 r1 = m(a0, b1) + m(a1, b0) + m(a2, b4_19) + m(a3, b3_19) + m(a4, b2_19);
    const u128 r2 = m(a0, b2) + m(a1, b1) + m(a2, b0) + m(a3, b4_19) + m(a4, b3_19);
    const u128 r3 = m(a0, b3) + m(a1, b2) + m(a2, b1) + m(a3, b0) + m(a4, b4_19);
    const u128 r4 = m(a0, b4) + m(a1, b3) + m(a2, b2) + m(a3, b1) + m(a4, b0);
    return carry_wide(r0, r1, r2, r3, r4);
}

// Column sums of a^2, sharing the symmetric products. Limbs below 2^54:
// each column is at most 77 * 2^108 < 2^114.3.
struct SquareColumns {
    u128 r0, r1, r2, r3, r4;
};

inline SquareColumns square_columns(const FieldElement& a) noexcept {
    const std::uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
    const std::uint64_t d0 = a0 * 2, d1 = a1 * 2, d3 = a3 * 2;
    const std::uint64_t a3_19 = a3 * 19, a4_19 = a4 * 19;
    return {m(a0, a0) + m(d1, a4_19) + m(a2 * 2, a3_19),
            m(d0, a1) + m(a2 * 2, a4_19) + m(a3, a3_19),
            m(d0, a2) + m(a1, a1) + m(d3, a4_19),
            m(d0, a3) + m(d1, a2) + m(a4, a4_19),
            m(d0, a4) + m(d1, a3) + m(a2, a2)};
}

inline FieldElement square(const FieldElement& a) noexcept {
    const SquareColumns c = square_columns(a);
    return carry_wide(c.r0, c.r1, c.r2, c.r3, c.r4);
}

// 2 a^2 with limbs below 2^53 (not weakly reduced). Doubled columns could
// pass carry_wide's bound, so the reduced limbs are doubled instead.
inline FieldElement square2(const FieldElement& a) noexcept {
    const FieldElement s = square(a);
    return {{s.v[0] * 2, s.v[1] * 2, s.v[2] * 2, s.v[3] * 2, s.v[4] * 2}};
}

// a^(2^k), k >= 1.
inline FieldElement pow2k(FieldElement a, unsigned k) noexcept {
    do {
        a = square(a);
    } while (--k != 0);
    return a;
}

}  // namespace edwards25519::fe
