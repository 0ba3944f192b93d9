// The AVX-512 instructions of the IFMA backend that SIMDe lacks, over SIMDe's
// vector types, for builds that emulate the x86 vector instructions
// (simd.hpp): the two IFMA multiply-accumulates and the sign extension of
// eight bytes to 64-bit lanes.
//
// The IFMA instructions, per 64-bit lane, with b' and c' the low 52 bits of
// b and c and P = b' * c' (104 bits):
//
//   madd52lo(a, b, c) = a + (P mod 2^52)   mod 2^64
//   madd52hi(a, b, c) = a + (P >> 52)      mod 2^64
//
// P is formed from 26-bit halves with 32x32-bit products, so that the lanes
// stay in vector registers on whatever the target CPU has:
//
//   b' = b1 2^26 + b0,  c' = c1 2^26 + c0,  m = b1 c0 + b0 c1 = mh 2^26 + ml
//   P  = (b1 c1 + mh) 2^52 + (b0 c0 + ml 2^26)
//
// where b0 c0 + ml 2^26 < 2^53, so its bits from 52 up are the one carry
// into the high half. Where the compiler has the real instructions (the
// translation unit is built for them), those are used and nothing is defined.
#pragma once

#include <simde/x86/avx512.h>

#include <cstdint>
#include <cstring>

namespace edwards25519::batch::emulation {

// The handful of lane operations the products need, for both register widths.
inline simde__m512i mul32(simde__m512i a, simde__m512i b) noexcept { return simde_mm512_mul_epu32(a, b); }
inline simde__m512i add64(simde__m512i a, simde__m512i b) noexcept { return simde_mm512_add_epi64(a, b); }
inline simde__m512i and64(simde__m512i a, simde__m512i b) noexcept { return simde_mm512_and_si512(a, b); }
inline simde__m512i splat(simde__m512i, std::uint64_t x) noexcept {
    return simde_mm512_set1_epi64(static_cast<std::int64_t>(x));
}
template <unsigned N>
inline simde__m512i shr(simde__m512i a) noexcept {
    return simde_mm512_srli_epi64(a, N);
}
template <unsigned N>
inline simde__m512i shl(simde__m512i a) noexcept {
    return simde_mm512_slli_epi64(a, N);
}

inline simde__m256i mul32(simde__m256i a, simde__m256i b) noexcept { return simde_mm256_mul_epu32(a, b); }
inline simde__m256i add64(simde__m256i a, simde__m256i b) noexcept { return simde_mm256_add_epi64(a, b); }
inline simde__m256i and64(simde__m256i a, simde__m256i b) noexcept { return simde_mm256_and_si256(a, b); }
inline simde__m256i splat(simde__m256i, std::uint64_t x) noexcept {
    return simde_mm256_set1_epi64x(static_cast<std::int64_t>(x));
}
template <unsigned N>
inline simde__m256i shr(simde__m256i a) noexcept {
    return simde_mm256_srli_epi64(a, N);
}
template <unsigned N>
inline simde__m256i shl(simde__m256i a) noexcept {
    return simde_mm256_slli_epi64(a, N);
}

// The 104-bit product of the low 52 bits of b and c, as its low and high
// 52-bit halves.
template <class V>
struct Product52 {
    V lo, hi;
};

template <class V>
inline Product52<V> product52(V b, V c) noexcept {
    const V m26 = splat(b, (std::uint64_t{1} << 26) - 1);
    const V m52 = splat(b, (std::uint64_t{1} << 52) - 1);
    const V b0 = and64(b, m26), b1 = and64(shr<26>(b), m26);
    const V c0 = and64(c, m26), c1 = and64(shr<26>(c), m26);
    const V m = add64(mul32(b1, c0), mul32(b0, c1));        // below 2^53
    const V low = add64(mul32(b0, c0), shl<26>(and64(m, m26)));  // below 2^53
    const V high = add64(add64(mul32(b1, c1), shr<26>(m)), shr<52>(low));
    return {and64(low, m52), high};
}

template <class V>
inline V madd52lo(V a, V b, V c) noexcept {
    return add64(a, product52(b, c).lo);
}

template <class V>
inline V madd52hi(V a, V b, V c) noexcept {
    return add64(a, product52(b, c).hi);
}

// Lane i: byte i of a, sign-extended, where bit i of k is set; 0 elsewhere.
inline simde__m512i maskz_cvtepi8_epi64(simde__mmask8 k, simde__m128i a) noexcept {
    std::int8_t bytes[16];
    std::memcpy(bytes, &a, sizeof bytes);
    std::int64_t lanes[8];
    for (unsigned i = 0; i < 8; ++i) lanes[i] = ((k >> i) & 1) ? bytes[i] : 0;
    return simde_mm512_loadu_si512(lanes);
}

}  // namespace edwards25519::batch::emulation

// The instructions' own names, beside SIMDe's native aliases.
#if defined(SIMDE_ENABLE_NATIVE_ALIASES)
#if !defined(__AVX512IFMA__)
#if !defined(_mm512_madd52lo_epu64)
#define _mm512_madd52lo_epu64(a, b, c) ::edwards25519::batch::emulation::madd52lo<simde__m512i>((a), (b), (c))
#endif
#if !defined(_mm512_madd52hi_epu64)
#define _mm512_madd52hi_epu64(a, b, c) ::edwards25519::batch::emulation::madd52hi<simde__m512i>((a), (b), (c))
#endif
#endif

#if !defined(__AVX512F__) && !defined(_mm512_maskz_cvtepi8_epi64)
#define _mm512_maskz_cvtepi8_epi64(k, a) ::edwards25519::batch::emulation::maskz_cvtepi8_epi64((k), (a))
#endif

#if !(defined(__AVX512IFMA__) && defined(__AVX512VL__))
#if !defined(_mm256_madd52lo_epu64)
#define _mm256_madd52lo_epu64(a, b, c) ::edwards25519::batch::emulation::madd52lo<simde__m256i>((a), (b), (c))
#endif
#if !defined(_mm256_madd52hi_epu64)
#define _mm256_madd52hi_epu64(a, b, c) ::edwards25519::batch::emulation::madd52hi<simde__m256i>((a), (b), (c))
#endif
#endif
#endif
