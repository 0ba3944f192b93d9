// The AVX-512 IFMA lane field: eight elements in radix 2^52 (radix52.hpp),
// one per 64-bit lane, products by the 52-bit multiply-accumulate
// instructions. Included only by translation units compiled for AVX-512 F,
// DQ, BW, VL and IFMA (or emulating them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "edwards25519/batch/radix52.hpp"
#include "edwards25519/batch/lane_field.hpp"

namespace edwards25519::batch {

struct IfmaField {
    static constexpr std::size_t kLanes = 8;
    static const char* name() noexcept { return "avx512ifma"; }
    static constexpr bool kFlattenLoops = true;  // engine.hpp
    static constexpr std::size_t kChains = 4;     // engine.hpp: five registers an element

    using Element = ifma::Fe8;
    // madd52 reads only 52 bits of a multiplicand, so a product cannot take
    // a lazy sum: the loose forms are carried, and differ from Element only
    // in type.
    struct Loose {
        ifma::Fe8 v;
    };
    struct Limbs {
        std::uint64_t l[5];
    };
    // Radix-16 digits: |digit| per lane, and the lanes whose digit is negative.
    struct Index {
        ifma::V magnitude;
        ifma::Mask negative;
    };

    class Mask {
    public:
        Mask() = default;
        explicit Mask(ifma::Mask m) noexcept : m_(m) {}
        friend Mask operator&(Mask a, Mask b) noexcept { return Mask(static_cast<ifma::Mask>(a.m_ & b.m_)); }
        friend Mask operator|(Mask a, Mask b) noexcept { return Mask(static_cast<ifma::Mask>(a.m_ | b.m_)); }
        Mask and_not(Mask b) const noexcept { return Mask(static_cast<ifma::Mask>(m_ & ~b.m_)); }
        std::uint32_t declassify() const noexcept { return m_; }
        ifma::Mask raw() const noexcept { return m_; }

    private:
        ifma::Mask m_ = 0;
    };

    static Element zero() noexcept { return ifma::fe_zero(); }
    static Element one() noexcept { return ifma::fe_one(); }

    static Element broadcast(const FieldElement& a) noexcept {
        const auto bytes = a.to_bytes();
        ifma::V w[4];
        for (int k = 0; k < 4; ++k) {
            std::uint64_t word = 0;
            __builtin_memcpy(&word, bytes.data() + 8 * k, 8);
            w[k] = ifma::splat(word);
        }
        return ifma::from_words(w);
    }
    static Element from_lanes(const FieldElement* lanes) noexcept {
        std::uint8_t bytes[kLanes][32];
        const std::uint8_t* in[kLanes];
        for (std::size_t i = 0; i < kLanes; ++i) {
            const auto b = lanes[i].to_bytes();
            __builtin_memcpy(bytes[i], b.data(), 32);
            in[i] = bytes[i];
        }
        return from_bytes(in);
    }
    static void to_lanes(const Element& a, FieldElement* out) noexcept {
        std::uint8_t bytes[kLanes][32];
        std::uint8_t* dst[kLanes];
        for (std::size_t i = 0; i < kLanes; ++i) dst[i] = bytes[i];
        to_bytes(a, Mask(), dst);
        for (std::size_t i = 0; i < kLanes; ++i) out[i] = FieldElement::from_bytes(bytes[i]);
    }
    static Limbs limbs(const Element& a, std::size_t lane) noexcept {
        alignas(64) std::uint64_t t[5][kLanes];
        for (int k = 0; k < 5; ++k) _mm512_store_si512(t[k], a.l[k]);
        return {{t[0][lane], t[1][lane], t[2][lane], t[3][lane], t[4][lane]}};
    }
    static Element broadcast(const Limbs& limbs) noexcept { return ifma::fe_splat(limbs.l); }

    // Table entries are selected as elements.
    using Entry = Element;
    static Entry entry(const Limbs& x) noexcept { return broadcast(x); }
    static Entry pack(const Element& a) noexcept { return a; }
    static Element unpack(const Entry& e) noexcept { return e; }

    OSTRELLINE_HOT_INLINE static Element add(const Element& a, const Element& b) noexcept { return ifma::add(a, b); }
    OSTRELLINE_HOT_INLINE static Element sub(const Element& a, const Element& b) noexcept { return ifma::sub(a, b); }
    OSTRELLINE_HOT_INLINE static Element neg(const Element& a) noexcept { return ifma::neg(a); }
    OSTRELLINE_HOT_INLINE static Loose add_loose(const Element& a, const Element& b) noexcept { return {ifma::add(a, b)}; }
    OSTRELLINE_HOT_INLINE static Loose sub_loose(const Element& a, const Element& b) noexcept { return {ifma::sub(a, b)}; }
    OSTRELLINE_HOT_INLINE static Element tighten(const Loose& a) noexcept { return a.v; }
    // 2a + b and 2a - b with the doubling uncarried: its limbs stay below
    // 2^53, which the carry of `add` and the minuend of `sub` take.
    OSTRELLINE_HOT_INLINE static Loose twice_plus_loose(const Element& a, const Element& b) noexcept {
        return {ifma::add(ifma::add_lazy(a, a), b)};
    }
    OSTRELLINE_HOT_INLINE static Loose twice_minus_loose(const Element& a, const Element& b) noexcept {
        return {ifma::sub(ifma::add_lazy(a, a), b)};
    }
    OSTRELLINE_HOT_INLINE static Loose loosen(const Element& a) noexcept { return {a}; }
    OSTRELLINE_HOT_INLINE static Element mul(const Element& a, const Element& b) noexcept { return ifma::mul(a, b); }
    OSTRELLINE_HOT_INLINE static Element mul(const Loose& a, const Element& b) noexcept { return ifma::mul(a.v, b); }
    OSTRELLINE_HOT_INLINE static Element mul(const Loose& a, const Loose& b) noexcept { return ifma::mul(a.v, b.v); }
    OSTRELLINE_HOT_INLINE static Element square(const Element& a) noexcept { return ifma::square(a); }
    OSTRELLINE_HOT_INLINE static Element square(const Loose& a) noexcept { return ifma::square(a.v); }
    static Element pow2k(const Element& a, unsigned k) noexcept { return ifma::pow2k(a, k); }

    OSTRELLINE_HOT_INLINE static Element select(const Element& a, const Element& b, Mask m) noexcept { return ifma::select(a, b, m.raw()); }
    static Mask is_zero(const Element& a) noexcept { return Mask(ifma::is_zero(a)); }
    static Mask is_negative(const Element& a) noexcept { return Mask(ifma::is_negative(a)); }
    static Mask equal(const Element& a, const Element& b) noexcept { return Mask(ifma::equal(a, b)); }
    static Mask mask_from_bits(std::uint32_t bits) noexcept { return Mask(static_cast<ifma::Mask>(bits & 0xff)); }
    static Mask all_lanes() noexcept { return Mask(0xff); }

    static Element from_bytes(const std::uint8_t* const* bytes) noexcept {
        ifma::V w[4];
        load_words(bytes, w);
        return ifma::from_words(w);
    }
    static Mask top_bits(const std::uint8_t* const* bytes) noexcept {
        ifma::V w[4];
        load_words(bytes, w);
        return Mask(_mm512_test_epi64_mask(w[3], ifma::splat(std::uint64_t{1} << 63)));
    }
    static void to_bytes(const Element& a, Mask sign, std::uint8_t* const* out) noexcept {
        ifma::V w[4];
        ifma::to_words(a, w);
        w[3] = _mm512_mask_or_epi64(w[3], sign.raw(), w[3], ifma::splat(std::uint64_t{1} << 63));
        alignas(64) std::uint64_t t[4][kLanes];
        for (int k = 0; k < 4; ++k) _mm512_store_si512(t[k], w[k]);
        for (std::size_t i = 0; i < kLanes; ++i) {
            for (std::size_t k = 0; k < 4; ++k) __builtin_memcpy(out[i] + 8 * k, &t[k][i], 8);
        }
    }

    static Index index(const std::int8_t* digits) noexcept {
        const ifma::V d = _mm512_maskz_cvtepi8_epi64(0xff, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(digits)));
        return {_mm512_maskz_abs_epi64(0xff, d), _mm512_movepi64_mask(d)};
    }
    static Mask index_is(const Index& digits, unsigned k) noexcept {
        return Mask(_mm512_cmpeq_epi64_mask(digits.magnitude, ifma::splat(k)));
    }
    static Mask index_negative(const Index& digits) noexcept { return Mask(digits.negative); }

private:
    // Word k of the 32 bytes at bytes[i] into lane i of w[k].
    static void load_words(const std::uint8_t* const* bytes, ifma::V w[4]) noexcept {
        alignas(64) std::uint64_t t[4][kLanes];
        for (std::size_t i = 0; i < kLanes; ++i) {
            for (std::size_t k = 0; k < 4; ++k) __builtin_memcpy(&t[k][i], bytes[i] + 8 * k, 8);
        }
        for (int k = 0; k < 4; ++k) w[k] = _mm512_load_si512(t[k]);
    }
};

static_assert(LaneField<IfmaField>);

}  // namespace edwards25519::batch
