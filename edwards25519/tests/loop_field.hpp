// The radix-2^25.5 lane field in plain C++: four lanes held in arrays and
// processed by loops, for any CPU (the compiler may vectorise the loops with
// whatever the target has). Not a backend: the lane field tests run the
// radix-2^25.5 formulas through it on any CPU, and bench/lane_field_bench
// times it. Masks are all-ones or all-zero lanes, made and
// combined arithmetically, never by branches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edwards25519/batch/radix25.hpp"

namespace edwards25519::batch {

struct LoopOps {
    static constexpr std::size_t kLanes = 4;
    static constexpr const char* kName = "radix25 loops";
    static constexpr bool kFlattenLoops = false;

    struct Reg {
        std::uint64_t v[kLanes];
    };
    using MaskReg = Reg;

    template <class Op>
    static Reg map(Op op) noexcept {
        Reg r;
        for (std::size_t i = 0; i < kLanes; ++i) r.v[i] = op(i);
        return r;
    }

    static Reg splat(std::uint64_t x) noexcept {
        return map([x](std::size_t) { return x; });
    }
    static Reg load(const std::uint64_t* p) noexcept {
        return map([p](std::size_t i) { return p[i]; });
    }
    static void store(std::uint64_t* p, const Reg& a) noexcept {
        for (std::size_t i = 0; i < kLanes; ++i) p[i] = a.v[i];
    }
    static Reg add(const Reg& a, const Reg& b) noexcept {
        return map([&](std::size_t i) { return a.v[i] + b.v[i]; });
    }
    static Reg sub(const Reg& a, const Reg& b) noexcept {
        return map([&](std::size_t i) { return a.v[i] - b.v[i]; });
    }
    static Reg band(const Reg& a, const Reg& b) noexcept {
        return map([&](std::size_t i) { return a.v[i] & b.v[i]; });
    }
    static Reg bor(const Reg& a, const Reg& b) noexcept {
        return map([&](std::size_t i) { return a.v[i] | b.v[i]; });
    }
    template <unsigned N>
    static Reg shr(const Reg& a) noexcept {
        return map([&](std::size_t i) { return a.v[i] >> N; });
    }
    template <unsigned N>
    static Reg shl(const Reg& a) noexcept {
        return map([&](std::size_t i) { return a.v[i] << N; });
    }
    static Reg mul32(const Reg& a, const Reg& b) noexcept {
        return map([&](std::size_t i) { return (a.v[i] & 0xffffffffu) * (b.v[i] & 0xffffffffu); });
    }
    static void settle(Reg&) noexcept {}
    // All ones where a == b: (x | -x) has its top bit set exactly when x != 0.
    static MaskReg eq(const Reg& a, const Reg& b) noexcept {
        return map([&](std::size_t i) {
            const std::uint64_t x = a.v[i] ^ b.v[i];
            return ((x | (0 - x)) >> 63) - 1;
        });
    }
    static Reg blend(const Reg& a, const Reg& b, const MaskReg& m) noexcept {
        return map([&](std::size_t i) { return a.v[i] ^ ((a.v[i] ^ b.v[i]) & m.v[i]); });
    }
    static MaskReg mask_and(const MaskReg& a, const MaskReg& b) noexcept { return band(a, b); }
    static MaskReg mask_or(const MaskReg& a, const MaskReg& b) noexcept { return bor(a, b); }
    static MaskReg mask_andnot(const MaskReg& a, const MaskReg& b) noexcept {
        return map([&](std::size_t i) { return a.v[i] & ~b.v[i]; });
    }
    static std::uint32_t mask_bits(const MaskReg& m) noexcept {
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < kLanes; ++i) bits |= static_cast<std::uint32_t>(m.v[i] & 1) << i;
        return bits;
    }
    static MaskReg mask_from_bits(std::uint32_t bits) noexcept {
        return map([bits](std::size_t i) { return 0 - static_cast<std::uint64_t>((bits >> i) & 1); });
    }
};

using LoopField = Radix25Field<LoopOps>;

}  // namespace edwards25519::batch
