// The radix-2^25.5 lane field on AVX2: limb i of four lanes in one __m256i,
// products by vpmuludq. Included only by translation units compiled with
// -mavx2 (or with the instructions emulated), which run only where the CPU
// has AVX2.
//
// Avx2Field holds four lanes, one register per limb. Two registers per limb
// (Avx2x8Field of the tests' pair_field.hpp, eight lanes) would give the core two independent
// instruction streams, but its products need more registers than there are
// and spill: bench/lane_field_bench.cpp measures both.
#pragma once

// A translation unit compiled for other CPUs may still include it inside a
// "#pragma GCC target" region of these instructions, which it then names by
// defining OSTRELLINE_TARGET_REGION_AVX2 (the pragma defines no macro).
#if !defined(__AVX2__) && !defined(OSTRELLINE_SIMD_EMULATION) && !defined(OSTRELLINE_TARGET_REGION_AVX2)
#error "avx2_field.hpp needs a translation unit compiled for AVX2"
#endif

#include <cstddef>
#include <cstdint>

#include "edwards25519/batch/radix25.hpp"
#include "edwards25519/batch/simd.hpp"

namespace edwards25519::batch {

struct Avx2Ops {
    static constexpr std::size_t kLanes = 4;
    static constexpr const char* kName = "avx2";
    static constexpr bool kFlattenLoops = false;  // sixteen registers: inlined, the loops spill

    using Reg = __m256i;
    using MaskReg = __m256i;  // all-ones or all-zero lanes

    static Reg splat(std::uint64_t x) noexcept { return _mm256_set1_epi64x(static_cast<long long>(x)); }
    static Reg load(const std::uint64_t* p) noexcept { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(std::uint64_t* p, Reg a) noexcept { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a); }
    static Reg add(Reg a, Reg b) noexcept { return _mm256_add_epi64(a, b); }
    static Reg sub(Reg a, Reg b) noexcept { return _mm256_sub_epi64(a, b); }
    static Reg band(Reg a, Reg b) noexcept { return _mm256_and_si256(a, b); }
    static Reg bor(Reg a, Reg b) noexcept { return _mm256_or_si256(a, b); }
    template <unsigned N>
    static Reg shr(Reg a) noexcept {
        return _mm256_srli_epi64(a, N);
    }
    template <unsigned N>
    static Reg shl(Reg a) noexcept {
        return _mm256_slli_epi64(a, N);
    }
    static Reg mul32(Reg a, Reg b) noexcept { return _mm256_mul_epu32(a, b); }
    // Pins a value to a register at this point of the program, so that the
    // compiler keeps the order in which a product accumulates its terms
    // (regrouping the sums makes it spill most of them).
    static void settle(Reg& a) noexcept {
#if defined(OSTRELLINE_SIMD_EMULATION)
        (void)a;
#else
        __asm__("" : "+x"(a));
#endif
    }
    static MaskReg eq(Reg a, Reg b) noexcept { return _mm256_cmpeq_epi64(a, b); }
    static Reg blend(Reg a, Reg b, MaskReg m) noexcept { return _mm256_blendv_epi8(a, b, m); }
    static MaskReg mask_and(MaskReg a, MaskReg b) noexcept { return _mm256_and_si256(a, b); }
    static MaskReg mask_or(MaskReg a, MaskReg b) noexcept { return _mm256_or_si256(a, b); }
    static MaskReg mask_andnot(MaskReg a, MaskReg b) noexcept { return _mm256_andnot_si256(b, a); }
    static std::uint32_t mask_bits(MaskReg m) noexcept {
        return static_cast<std::uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(m)));
    }
    // Lane i tests bit i of `bits`.
    static MaskReg mask_from_bits(std::uint32_t bits) noexcept {
        const Reg lane_bits = _mm256_setr_epi64x(1, 2, 4, 8);
        return eq(band(splat(bits), lane_bits), lane_bits);
    }
};

using Avx2Field = Radix25Field<Avx2Ops>;

}  // namespace edwards25519::batch
