// The radix-2^25.5 lane field on AVX-512F: limb i of eight lanes in one
// __m512i, products by vpmuludq, masks in k registers; for CPUs with
// AVX-512 but without the 52-bit multiply-accumulate instructions. Included
// only by translation units compiled with -mavx512f -mavx512dq -mavx512vl
// -mavx512bw (or with the instructions emulated), which run only where the
// CPU has them.
#pragma once

// A translation unit compiled for other CPUs may still include it inside a
// "#pragma GCC target" region of these instructions, which it then names by
// defining OSTRELLINE_TARGET_REGION_AVX512F (the pragma defines no macro).
#if !defined(__AVX512F__) && !defined(OSTRELLINE_SIMD_EMULATION) && !defined(OSTRELLINE_TARGET_REGION_AVX512F)
#error "avx512f_field.hpp needs a translation unit compiled for AVX-512F"
#endif

#include <cstddef>
#include <cstdint>

#include "edwards25519/batch/radix25.hpp"
#include "edwards25519/batch/simd.hpp"

namespace edwards25519::batch {

struct Avx512fOps {
    static constexpr std::size_t kLanes = 8;
    static constexpr const char* kName = "avx512f";
    static constexpr bool kFlattenLoops = true;

    using Reg = __m512i;
#if defined(OSTRELLINE_SIMD_EMULATION)
    using MaskReg = simde__mmask8;  // the emulation names no alias for the mask type
#else
    using MaskReg = __mmask8;
#endif

    static Reg splat(std::uint64_t x) noexcept { return _mm512_set1_epi64(static_cast<long long>(x)); }
    static Reg load(const std::uint64_t* p) noexcept { return _mm512_loadu_si512(p); }
    static void store(std::uint64_t* p, Reg a) noexcept { _mm512_storeu_si512(p, a); }
    static Reg add(Reg a, Reg b) noexcept { return _mm512_add_epi64(a, b); }
    static Reg sub(Reg a, Reg b) noexcept { return _mm512_sub_epi64(a, b); }
    static Reg band(Reg a, Reg b) noexcept { return _mm512_and_si512(a, b); }
    static Reg bor(Reg a, Reg b) noexcept { return _mm512_or_si512(a, b); }
    // Natively the zero-masked forms with every lane selected: the plain
    // intrinsics start from an undefined register that GCC 12 warns about.
    // The emulation has only the plain shifts.
    template <unsigned N>
    static Reg shr(Reg a) noexcept {
#if defined(OSTRELLINE_SIMD_EMULATION)
        return _mm512_srli_epi64(a, N);
#else
        return _mm512_maskz_srli_epi64(0xff, a, N);
#endif
    }
    template <unsigned N>
    static Reg shl(Reg a) noexcept {
#if defined(OSTRELLINE_SIMD_EMULATION)
        return _mm512_slli_epi64(a, N);
#else
        return _mm512_maskz_slli_epi64(0xff, a, N);
#endif
    }
    static Reg mul32(Reg a, Reg b) noexcept { return _mm512_maskz_mul_epu32(0xff, a, b); }
    // See Avx2Ops::settle.
    static void settle(Reg& a) noexcept {
#if defined(OSTRELLINE_SIMD_EMULATION)
        (void)a;
#else
        __asm__("" : "+v"(a));
#endif
    }
    static MaskReg eq(Reg a, Reg b) noexcept { return _mm512_cmpeq_epi64_mask(a, b); }
    static Reg blend(Reg a, Reg b, MaskReg m) noexcept { return _mm512_mask_blend_epi64(m, a, b); }
    static MaskReg mask_and(MaskReg a, MaskReg b) noexcept { return static_cast<MaskReg>(a & b); }
    static MaskReg mask_or(MaskReg a, MaskReg b) noexcept { return static_cast<MaskReg>(a | b); }
    static MaskReg mask_andnot(MaskReg a, MaskReg b) noexcept { return static_cast<MaskReg>(a & ~b); }
    static std::uint32_t mask_bits(MaskReg m) noexcept { return m; }
    static MaskReg mask_from_bits(std::uint32_t bits) noexcept { return static_cast<MaskReg>(bits); }
};

using Avx512fField = Radix25Field<Avx512fOps>;

}  // namespace edwards25519::batch
