// Eight elements of GF(2^255 - 19) at once, one per 64-bit lane, in radix
// 2^52: five __m512i hold limb k of all eight elements. Products use the
// 52-bit multiply-accumulate instructions (madd52lo / madd52hi), which read
// only the low 52 bits of their multiplicands.
//
// Included only by the translation units compiled for AVX-512 IFMA; nothing
// here may run before dispatch (backend.hpp) found those instructions.
//
// Bounds. A "reduced" element has limbs 0..3 below 2^52 and limb 4 below
// 2^48 (value below 2p, not necessarily below p). Every multiplicand must be
// reduced, since madd52 would silently drop higher bits. `mul`, `square`,
// `add`, `sub`, `neg` and `carry` return reduced elements; `add_lazy` does not
// and may only feed `carry`, `add`, `sub` or another `add_lazy` within the
// bound stated there. No operation branches on lane values.
#pragma once

#include "edwards25519/batch/simd.hpp"

#include <cstdint>

namespace edwards25519::batch::ifma {

using V = __m512i;
#if defined(OSTRELLINE_SIMD_EMULATION)
using Mask = simde__mmask8;  // SIMDe names no alias for the mask types
#else
using Mask = __mmask8;
#endif

inline constexpr std::uint64_t kMask52 = (std::uint64_t{1} << 52) - 1;
inline constexpr std::uint64_t kMask47 = (std::uint64_t{1} << 47) - 1;

inline V splat(std::uint64_t x) noexcept { return _mm512_set1_epi64(static_cast<long long>(x)); }
inline V vadd(V a, V b) noexcept { return _mm512_add_epi64(a, b); }
inline V vsub(V a, V b) noexcept { return _mm512_sub_epi64(a, b); }
inline V vand(V a, V b) noexcept { return _mm512_and_si512(a, b); }
inline V vor(V a, V b) noexcept { return _mm512_or_si512(a, b); }
// Shifts through the compiler's vector extension: the immediate-shift
// intrinsics start from an undefined register that GCC 12 warns about. The
// emulated intrinsics have no such register.
template <unsigned N>
inline V shr(V a) noexcept {
#if defined(OSTRELLINE_SIMD_EMULATION)
    return _mm512_srli_epi64(a, N);
#else
    using U64x8 = std::uint64_t __attribute__((vector_size(64)));
    return reinterpret_cast<V>(reinterpret_cast<U64x8>(a) >> N);
#endif
}
template <unsigned N>
inline V shl(V a) noexcept {
#if defined(OSTRELLINE_SIMD_EMULATION)
    return _mm512_slli_epi64(a, N);
#else
    using U64x8 = std::uint64_t __attribute__((vector_size(64)));
    return reinterpret_cast<V>(reinterpret_cast<U64x8>(a) << N);
#endif
}
inline V madd_lo(V acc, V a, V b) noexcept { return _mm512_madd52lo_epu64(acc, a, b); }
inline V madd_hi(V acc, V a, V b) noexcept { return _mm512_madd52hi_epu64(acc, a, b); }

struct Fe8 {
    V l[5];
};

inline Fe8 fe_splat(const std::uint64_t limbs[5]) noexcept {
    return {{splat(limbs[0]), splat(limbs[1]), splat(limbs[2]), splat(limbs[3]), splat(limbs[4])}};
}
inline Fe8 fe_small(std::uint64_t x) noexcept {
    const V z = _mm512_setzero_si512();
    return {{splat(x), z, z, z, z}};
}
inline Fe8 fe_zero() noexcept { return fe_small(0); }
inline Fe8 fe_one() noexcept { return fe_small(1); }

// Limbs below 2^63 in, reduced out. The bits of limb 4 above 2^47 (weight
// 2^255 and up) are folded into limb 0 times 19 first, then one carry pass
// from limb 0 upward leaves limb 4 below 2^47 + 2^12, so no second fold is
// needed and every limb is exact.
OSTRELLINE_HOT_INLINE inline Fe8 carry(const Fe8& a) noexcept {
    const V m52 = splat(kMask52);
    V l0 = a.l[0], l1 = a.l[1], l2 = a.l[2], l3 = a.l[3], l4 = a.l[4];
    const V top = shr<47>(l4);  // below 2^16
    l4 = vand(l4, splat(kMask47));
    l0 = madd_lo(l0, top, splat(19));
    l1 = vadd(l1, shr<52>(l0));
    l0 = vand(l0, m52);
    l2 = vadd(l2, shr<52>(l1));
    l1 = vand(l1, m52);
    l3 = vadd(l3, shr<52>(l2));
    l2 = vand(l2, m52);
    l4 = vadd(l4, shr<52>(l3));
    l3 = vand(l3, m52);
    return {{l0, l1, l2, l3, l4}};
}

// Limb-wise sum without carrying. Reduced inputs give limbs below 2^53.
OSTRELLINE_HOT_INLINE inline Fe8 add_lazy(const Fe8& a, const Fe8& b) noexcept {
    return {{vadd(a.l[0], b.l[0]), vadd(a.l[1], b.l[1]), vadd(a.l[2], b.l[2]), vadd(a.l[3], b.l[3]),
             vadd(a.l[4], b.l[4])}};
}

OSTRELLINE_HOT_INLINE inline Fe8 add(const Fe8& a, const Fe8& b) noexcept { return carry(add_lazy(a, b)); }

// a + 4p - b, limb-wise: 4p has limbs 2^54 - 76, 2^54 - 4 (three times) and
// 2^49 - 4, so no limb underflows while b's limbs 0..3 are below 2^54 - 76
// and limb 4 below 2^49 - 4 (a lazy sum of two reduced elements qualifies).
OSTRELLINE_HOT_INLINE inline Fe8 sub(const Fe8& a, const Fe8& b) noexcept {
    const V p0 = splat((std::uint64_t{1} << 54) - 76);
    const V pi = splat((std::uint64_t{1} << 54) - 4);
    const V p4 = splat((std::uint64_t{1} << 49) - 4);
    return carry({{vsub(vadd(a.l[0], p0), b.l[0]), vsub(vadd(a.l[1], pi), b.l[1]), vsub(vadd(a.l[2], pi), b.l[2]),
                   vsub(vadd(a.l[3], pi), b.l[3]), vsub(vadd(a.l[4], p4), b.l[4])}});
}

inline Fe8 neg(const Fe8& a) noexcept { return sub(fe_zero(), a); }

// Ten column sums c[0..9] of a product in radix 2^52 (each below 2^57) to a
// reduced element. 2^260 = 2^5 2^255 = 608 (mod p), so column k + 5 comes
// back to columns k and k + 1 as 608 c[k+5]: its low 52 bits through one
// multiply-accumulate pair, its few high bits through one more. Column 9 is
// a single high half (below 2^52); what its product pushes past 2^260 wraps
// to column 0 times 608 again. On this microarchitecture the vector ALU, not
// the multiplier, limits a product, so the multiplier does the reduction.
OSTRELLINE_HOT_INLINE inline Fe8 reduce_columns(const V c[10]) noexcept {
    const V m52 = splat(kMask52);
    const V k608 = splat(608);
    V r[6] = {c[0], c[1], c[2], c[3], c[4], _mm512_setzero_si512()};
    for (int k = 0; k < 4; ++k) {
        const V lo = vand(c[k + 5], m52), hi = shr<52>(c[k + 5]);
        r[k] = madd_lo(r[k], lo, k608);
        r[k + 1] = madd_hi(r[k + 1], lo, k608);
        r[k + 1] = madd_lo(r[k + 1], hi, k608);
    }
    r[4] = madd_lo(r[4], c[9], k608);
    r[5] = madd_hi(r[5], c[9], k608);  // below 2^10
    r[0] = madd_lo(r[0], r[5], k608);
    return carry({{r[0], r[1], r[2], r[3], r[4]}});
}

// Schoolbook product: the low half of a_i b_j goes to column i + j, the high
// half (bits 52..103) to column i + j + 1. Columns hold at most ten terms
// below 2^52.
OSTRELLINE_HOT_INLINE inline Fe8 mul(const Fe8& a, const Fe8& b) noexcept {
    V c[10];
    for (V& x : c) x = _mm512_setzero_si512();
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 5; ++j) {
            c[i + j] = madd_lo(c[i + j], a.l[i], b.l[j]);
            c[i + j + 1] = madd_hi(c[i + j + 1], a.l[i], b.l[j]);
        }
    }
    return reduce_columns(c);
}

// The ten cross products a_i a_j (i < j) once, the columns doubled by a
// shift, then the five squares a_i^2 added.
OSTRELLINE_HOT_INLINE inline Fe8 square(const Fe8& a) noexcept {
    V c[10];
    for (V& x : c) x = _mm512_setzero_si512();
    for (int i = 0; i < 5; ++i) {
        for (int j = i + 1; j < 5; ++j) {
            c[i + j] = madd_lo(c[i + j], a.l[i], a.l[j]);
            c[i + j + 1] = madd_hi(c[i + j + 1], a.l[i], a.l[j]);
        }
    }
    for (int k = 1; k < 10; ++k) c[k] = shl<1>(c[k]);
    for (int i = 0; i < 5; ++i) {
        c[2 * i] = madd_lo(c[2 * i], a.l[i], a.l[i]);
        c[2 * i + 1] = madd_hi(c[2 * i + 1], a.l[i], a.l[i]);
    }
    return reduce_columns(c);
}

// a^(2^k), k >= 1.
inline Fe8 pow2k(Fe8 a, unsigned k) noexcept {
    do {
        a = square(a);
    } while (--k != 0);
    return a;
}

// The fully reduced value (0..p-1) of a reduced element (value below 2p):
// q = 1 exactly when a + 19 carries past 2^255, then a + 19 q - q 2^255.
inline Fe8 canonical(const Fe8& a) noexcept {
    const V m52 = splat(kMask52);
    const V nineteen = splat(19);
    V q = shr<52>(vadd(a.l[0], nineteen));
    q = shr<52>(vadd(a.l[1], q));
    q = shr<52>(vadd(a.l[2], q));
    q = shr<52>(vadd(a.l[3], q));
    q = shr<47>(vadd(a.l[4], q));
    V l0 = madd_lo(a.l[0], q, nineteen);
    V l1 = vadd(a.l[1], shr<52>(l0));
    l0 = vand(l0, m52);
    V l2 = vadd(a.l[2], shr<52>(l1));
    l1 = vand(l1, m52);
    V l3 = vadd(a.l[3], shr<52>(l2));
    l2 = vand(l2, m52);
    V l4 = vadd(a.l[4], shr<52>(l3));
    l3 = vand(l3, m52);
    l4 = vand(l4, splat(kMask47));
    return {{l0, l1, l2, l3, l4}};
}

// Lanes of b where the mask bit is set, of a elsewhere.
inline Fe8 select(const Fe8& a, const Fe8& b, Mask choose_b) noexcept {
    Fe8 r;
    for (int k = 0; k < 5; ++k) r.l[k] = _mm512_mask_blend_epi64(choose_b, a.l[k], b.l[k]);
    return r;
}

inline Mask is_zero(const Fe8& a) noexcept {
    const Fe8 c = canonical(a);
    const V any = vor(vor(vor(c.l[0], c.l[1]), vor(c.l[2], c.l[3])), c.l[4]);
    return _mm512_cmpeq_epi64_mask(any, _mm512_setzero_si512());
}

inline Mask equal(const Fe8& a, const Fe8& b) noexcept { return is_zero(sub(a, b)); }

// Odd when fully reduced; zero is not negative.
inline Mask is_negative(const Fe8& a) noexcept { return _mm512_test_epi64_mask(canonical(a).l[0], splat(1)); }

// Little-endian 256-bit words of the eight lanes (w[k] holds word k of every
// lane) to an element: bit 255 dropped, the value below 2^255 kept as it is.
inline Fe8 from_words(const V w[4]) noexcept {
    const V m52 = splat(kMask52);
    return {{vand(w[0], m52), vand(vor(shr<52>(w[0]), shl<12>(w[1])), m52), vand(vor(shr<40>(w[1]), shl<24>(w[2])), m52),
             vand(vor(shr<28>(w[2]), shl<36>(w[3])), m52), vand(shr<16>(w[3]), splat(kMask47))}};
}

// The canonical bytes as four 64-bit words per lane.
inline void to_words(const Fe8& a, V w[4]) noexcept {
    const Fe8 c = canonical(a);
    w[0] = vor(c.l[0], shl<52>(c.l[1]));
    w[1] = vor(shr<12>(c.l[1]), shl<40>(c.l[2]));
    w[2] = vor(shr<24>(c.l[2]), shl<28>(c.l[3]));
    w[3] = vor(shr<36>(c.l[3]), shl<16>(c.l[4]));
}

}  // namespace edwards25519::batch::ifma
