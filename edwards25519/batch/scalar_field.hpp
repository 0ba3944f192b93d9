// The scalar field as a lane field of one lane: radix 2^51 in 64-bit limbs
// with 128-bit products (fe51.hpp). Plain C++ for any CPU. The scalar layer
// runs the engine's formulas through it where they are the same code, and it
// is the portable batch backend on CPUs without vector units worth using.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edwards25519/batch/lane_field.hpp"
#include "edwards25519/bytes.hpp"
#include "edwards25519/choice.hpp"
#include "edwards25519/fe51.hpp"
#include "edwards25519/field.hpp"

namespace edwards25519::batch {

struct ScalarField {
    static constexpr std::size_t kLanes = 1;
    static const char* name() noexcept { return "portable"; }
    static constexpr bool kFlattenLoops = true;  // engine.hpp
    static constexpr std::size_t kChains = 4;     // engine.hpp

    // Tight: limbs below 2^52, as every public FieldElement.
    using Element = FieldElement;
    // A lazy sum or difference of tight elements: limbs below 2^54, which
    // fe::mul and fe::square accept.
    struct Loose {
        FieldElement v;
    };
    // Table entries, and the multiples a variable-base multiplication selects
    // from, in canonical form: four 64-bit words an element, a fifth less to
    // pass over per selection than the limbs, in words the compiler moves as
    // vectors.
    using Words = std::uint64_t __attribute__((vector_size(16)));
    struct Packed {
        Words w[2];
    };
    using Limbs = Packed;
    using Index = std::int8_t;

    // All ones or all zeros, made once from a Choice (whose optimisation
    // barrier keeps the compiler from turning it back into a branch) and then
    // used by every selection it drives.
    class Mask {
    public:
        Mask() = default;
        explicit Mask(Choice c) noexcept : m_(c.mask()) {}
        friend Mask operator&(Mask a, Mask b) noexcept { return Mask(a.m_ & b.m_); }
        friend Mask operator|(Mask a, Mask b) noexcept { return Mask(a.m_ | b.m_); }
        Mask and_not(Mask b) const noexcept { return Mask(m_ & ~b.m_); }
        std::uint32_t declassify() const noexcept { return black_box(m_) != 0 ? 1u : 0u; }
        Choice choice() const noexcept { return Choice::from_bit(static_cast<std::uint8_t>(m_ & 1)); }
        std::uint64_t bits() const noexcept { return m_; }

    private:
        explicit Mask(std::uint64_t m) noexcept : m_(m) {}
        std::uint64_t m_ = 0;
    };

    static Element zero() noexcept { return FieldElement::zero(); }
    static Element one() noexcept { return FieldElement::one(); }
    static Element broadcast(const FieldElement& a) noexcept { return a; }
    static Element from_lanes(const FieldElement* lanes) noexcept { return lanes[0]; }
    static void to_lanes(const Element& a, FieldElement* out) noexcept { out[0] = a; }
    static Limbs limbs(const Element& a, std::size_t) noexcept { return pack(a); }
    static Element broadcast(const Limbs& x) noexcept { return unpack(x); }

    // Table entries are selected in their stored form.
    using Entry = Packed;
    static Entry entry(const Limbs& x) noexcept { return x; }
    static Entry pack(const Element& a) noexcept {
        const auto bytes = a.to_bytes();
        Packed p;
        for (std::size_t k = 0; k < 2; ++k) {
            p.w[k] = Words{load_le64(bytes.data() + 16 * k), load_le64(bytes.data() + 16 * k + 8)};
        }
        return p;
    }
    static Element unpack(const Entry& e) noexcept { return fe::from_words(e.w[0][0], e.w[0][1], e.w[1][0], e.w[1][1]); }
    static Entry select(const Entry& a, const Entry& b, Mask m) noexcept {
        const std::uint64_t bits = m.bits();
        const Words mask = {bits, bits};
        return {{a.w[0] ^ ((a.w[0] ^ b.w[0]) & mask), a.w[1] ^ ((a.w[1] ^ b.w[1]) & mask)}};
    }

    static Element add(const Element& a, const Element& b) noexcept { return a + b; }
    static Element sub(const Element& a, const Element& b) noexcept { return a - b; }
    static Element neg(const Element& a) noexcept { return -a; }
    static Loose add_loose(const Element& a, const Element& b) noexcept { return {fe::add(a, b)}; }
    static Loose sub_loose(const Element& a, const Element& b) noexcept { return {fe::sub(a, b)}; }
    static Element tighten(const Loose& a) noexcept { return fe::weak_reduce(a.v); }
    static Loose loosen(const Element& a) noexcept { return {a}; }
    static Element mul(const Element& a, const Element& b) noexcept { return fe::mul(a, b); }
    static Element mul(const Loose& a, const Element& b) noexcept { return fe::mul(a.v, b); }
    static Element mul(const Loose& a, const Loose& b) noexcept { return fe::mul(a.v, b.v); }
    static Element square(const Element& a) noexcept { return fe::square(a); }
    static Element square(const Loose& a) noexcept { return fe::square(a.v); }
    static Element pow2k(const Element& a, unsigned k) noexcept { return fe::pow2k(a, k); }
    // The field's divsteps inversion, which engine::invert takes over the
    // exponentiation it uses for the vector fields.
    static Element invert(const Element& a) noexcept { return a.invert(); }

    static Element select(const Element& a, const Element& b, Mask m) noexcept {
        const std::uint64_t mask = m.bits();
        Element r;
        for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] ^ ((a.v[i] ^ b.v[i]) & mask);
        return r;
    }
    static Mask is_zero(const Element& a) noexcept { return Mask(a.is_zero()); }
    static Mask is_negative(const Element& a) noexcept { return Mask(a.is_negative()); }
    static Mask equal(const Element& a, const Element& b) noexcept { return Mask(a.ct_eq(b)); }
    static Mask mask_from_bits(std::uint32_t bits) noexcept {
        return Mask(Choice::from_bit(static_cast<std::uint8_t>(bits & 1)));
    }
    static Mask all_lanes() noexcept { return mask_from_bits(1); }

    static Element from_bytes(const std::uint8_t* const* bytes) noexcept { return FieldElement::from_bytes(bytes[0]); }
    static Mask top_bits(const std::uint8_t* const* bytes) noexcept {
        return Mask(Choice::from_bit(static_cast<std::uint8_t>(bytes[0][31] >> 7)));
    }
    static void to_bytes(const Element& a, Mask sign, std::uint8_t* const* out) noexcept {
        const auto bytes = a.to_bytes();
        for (std::size_t i = 0; i < 32; ++i) out[0][i] = bytes[i];
        out[0][31] = static_cast<std::uint8_t>(out[0][31] | (sign.bits() & 0x80));
    }

    static Index index(const std::int8_t* digits) noexcept { return digits[0]; }
    // |digit| == k as a mask, without a branch on the digit.
    static Mask index_is(Index digit, unsigned k) noexcept {
        const std::int32_t sign = digit >> 7;
        const std::uint32_t magnitude = static_cast<std::uint32_t>((digit ^ sign) - sign);
        const std::uint32_t diff = magnitude ^ k;
        return Mask(Choice::from_bit(static_cast<std::uint8_t>(((diff | (0u - diff)) >> 31) ^ 1u)));
    }
    static Mask index_negative(Index digit) noexcept {
        return Mask(Choice::from_bit(static_cast<std::uint8_t>((static_cast<std::uint8_t>(digit) >> 7) & 1)));
    }
};

static_assert(LaneField<ScalarField>);

}  // namespace edwards25519::batch
