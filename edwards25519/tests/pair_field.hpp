// The AVX2 radix-2^25.5 field in register pairs, eight lanes: not a backend
// (see below), kept for the lane field tests and bench/lane_field_bench.
// Include after edwards25519/batch/avx2_field.hpp, in code compiled for AVX2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edwards25519/batch/avx2_field.hpp"
#include "edwards25519/batch/radix25.hpp"

namespace edwards25519::batch {

// Two registers of V per limb: twice the lanes, and two independent
// instruction streams for the out-of-order core to interleave. Lanes
// 0..V::kLanes-1 are in `lo`, the rest in `hi`. With AVX2 the pair runs
// slower per element than one register (twenty column sums do not fit in
// sixteen registers), so dispatch never takes it; the lane field tests and
// the benchmark that shows it do.
template <class V, const char* Name>
struct PairOps {
    struct Reg {
        typename V::Reg lo, hi;
    };
    struct MaskReg {
        typename V::MaskReg lo, hi;
    };
    static constexpr std::size_t kLanes = 2 * V::kLanes;
    static constexpr const char* kName = Name;
    static constexpr bool kFlattenLoops = false;

    static Reg splat(std::uint64_t x) noexcept { return {V::splat(x), V::splat(x)}; }
    static Reg load(const std::uint64_t* p) noexcept { return {V::load(p), V::load(p + V::kLanes)}; }
    static void store(std::uint64_t* p, Reg a) noexcept {
        V::store(p, a.lo);
        V::store(p + V::kLanes, a.hi);
    }
    static Reg add(Reg a, Reg b) noexcept { return {V::add(a.lo, b.lo), V::add(a.hi, b.hi)}; }
    static Reg sub(Reg a, Reg b) noexcept { return {V::sub(a.lo, b.lo), V::sub(a.hi, b.hi)}; }
    static Reg band(Reg a, Reg b) noexcept { return {V::band(a.lo, b.lo), V::band(a.hi, b.hi)}; }
    static Reg bor(Reg a, Reg b) noexcept { return {V::bor(a.lo, b.lo), V::bor(a.hi, b.hi)}; }
    template <unsigned N>
    static Reg shr(Reg a) noexcept {
        return {V::template shr<N>(a.lo), V::template shr<N>(a.hi)};
    }
    template <unsigned N>
    static Reg shl(Reg a) noexcept {
        return {V::template shl<N>(a.lo), V::template shl<N>(a.hi)};
    }
    static Reg mul32(Reg a, Reg b) noexcept { return {V::mul32(a.lo, b.lo), V::mul32(a.hi, b.hi)}; }
    // Twenty sums do not fit in the registers: pinning them would spill.
    static void settle(Reg&) noexcept {}
    static MaskReg eq(Reg a, Reg b) noexcept { return {V::eq(a.lo, b.lo), V::eq(a.hi, b.hi)}; }
    static Reg blend(Reg a, Reg b, MaskReg m) noexcept { return {V::blend(a.lo, b.lo, m.lo), V::blend(a.hi, b.hi, m.hi)}; }
    static MaskReg mask_and(MaskReg a, MaskReg b) noexcept { return {V::mask_and(a.lo, b.lo), V::mask_and(a.hi, b.hi)}; }
    static MaskReg mask_or(MaskReg a, MaskReg b) noexcept { return {V::mask_or(a.lo, b.lo), V::mask_or(a.hi, b.hi)}; }
    static MaskReg mask_andnot(MaskReg a, MaskReg b) noexcept {
        return {V::mask_andnot(a.lo, b.lo), V::mask_andnot(a.hi, b.hi)};
    }
    static std::uint32_t mask_bits(MaskReg m) noexcept {
        return V::mask_bits(m.lo) | (V::mask_bits(m.hi) << V::kLanes);
    }
    static MaskReg mask_from_bits(std::uint32_t bits) noexcept {
        return {V::mask_from_bits(bits & ((1u << V::kLanes) - 1)), V::mask_from_bits(bits >> V::kLanes)};
    }
};

inline constexpr char kAvx2x8Name[] = "avx2x8";
using Avx2x8Field = Radix25Field<PairOps<Avx2Ops, kAvx2x8Name>>;

}  // namespace edwards25519::batch
