// Eight elements of GF(2^255 - 19) at once, one per 64-bit lane, in radix
// 2^52: five __m512i hold limb k of all eight elements. Products use the
// 52-bit multiply-accumulate instructions (madd52lo / madd52hi), which read
// only the low 52 bits of their multiplicands.
//
// Included only by the translation units compiled for AVX-512 IFMA; nothing
// here may run before the run-time check of batch.hpp has succeeded.
//
// Bounds. A "reduced" element has limbs 0..3 below 2^52 and limb 4 below
// 2^48 (value below 2p, not necessarily below p). Every multiplicand must be
// reduced, since madd52 would silently drop higher bits. `mul`, `square`,
// `add`, `sub`, `neg` and `carry` return reduced elements; `add_lazy` does not
// and may only feed `carry`, `add`, `sub` or another `add_lazy` within the
// bound stated there. No operation branches on lane values.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace edwards25519::batch::ifma {

using V = __m512i;
using Mask = __mmask8;

inline constexpr std::uint64_t kMask52 = (std::uint64_t{1} << 52) - 1;
inline constexpr std::uint64_t kMask47 = (std::uint64_t{1} << 47) - 1;

inline V splat(std::uint64_t x) noexcept { return _mm512_set1_epi64(static_cast<long long>(x)); }
inline V vadd(V a, V b) noexcept { return _mm512_add_epi64(a, b); }
inline V vsub(V a, V b) noexcept { return _mm512_sub_epi64(a, b); }
inline V vand(V a, V b) noexcept { return _mm512_and_si512(a, b); }
inline V vor(V a, V b) noexcept { return _mm512_or_si512(a, b); }
template <unsigned N>
inline V shr(V a) noexcept {
    return _mm512_srli_epi64(a, N);
}
template <unsigned N>
inline V shl(V a) noexcept {
    return _mm512_slli_epi64(a, N);
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
inline Fe8 carry(const Fe8& a) noexcept {
    const V m52 = splat(kMask52);
    V l0 = a.l[0], l1 = a.l[1], l2 = a.l[2], l3 = a.l[3], l4 = a.l[4];
    const V top = shr<47>(l4);  // below 2^16
    l4 = vand(l4, splat(kMask47));
    l0 = vadd(l0, vadd(top, vadd(shl<1>(top), shl<4>(top))));  // + 19 top
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
inline Fe8 add_lazy(const Fe8& a, const Fe8& b) noexcept {
    return {{vadd(a.l[0], b.l[0]), vadd(a.l[1], b.l[1]), vadd(a.l[2], b.l[2]), vadd(a.l[3], b.l[3]),
             vadd(a.l[4], b.l[4])}};
}

inline Fe8 add(const Fe8& a, const Fe8& b) noexcept { return carry(add_lazy(a, b)); }

// a + 4p - b, limb-wise: 4p has limbs 2^54 - 76, 2^54 - 4 (three times) and
// 2^49 - 4, so no limb underflows while b's limbs 0..3 are below 2^54 - 76
// and limb 4 below 2^49 - 4 (a lazy sum of two reduced elements qualifies).
inline Fe8 sub(const Fe8& a, const Fe8& b) noexcept {
    const V p0 = splat((std::uint64_t{1} << 54) - 76);
    const V pi = splat((std::uint64_t{1} << 54) - 4);
    const V p4 = splat((std::uint64_t{1} << 49) - 4);
    return carry({{vsub(vadd(a.l[0], p0), b.l[0]), vsub(vadd(a.l[1], pi), b.l[1]), vsub(vadd(a.l[2], pi), b.l[2]),
                   vsub(vadd(a.l[3], pi), b.l[3]), vsub(vadd(a.l[4], p4), b.l[4])}});
}

inline Fe8 neg(const Fe8& a) noexcept { return sub(fe_zero(), a); }

// Ten column sums c[0..9] of a product in radix 2^52 (each below 2^58) to a
// reduced element. 2^260 = 2^5 2^255 = 608 (mod p): column k + 5 moves to
// column k as 19 c[k+5] (below 2^62) shifted left by 5, split at bit 52
// between columns k and k + 1; what column 4 pushes past 2^260 wraps to
// column 0 times 608.
inline Fe8 reduce_columns(V c[10]) noexcept {
    const V m52 = splat(kMask52);
    V r[6];
    for (int k = 0; k < 5; ++k) {
        const V h = c[k + 5];
        const V t = vadd(h, vadd(shl<1>(h), shl<4>(h)));  // 19 h
        r[k] = vadd(k == 0 ? c[0] : r[k], vadd(c[k] == c[k] ? _mm512_setzero_si512() : c[k], vand(shl<5>(t), m52)));
        r[k + 1] = shr<47>(t);
        if (k > 0) r[k] = vadd(r[k], c[k]);
        (void)r;
    }
    return {};
}

}  // namespace edwards25519::batch::ifma
