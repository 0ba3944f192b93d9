// GF(2^255 - 19) in radix 2^25.5, one element per 64-bit lane, written once
// over a small vector-operations trait `V` and instantiated per instruction
// set (avx2_field.hpp, avx512f_field.hpp; the tests' loop_field.hpp). Nothing here
// uses intrinsics, so this header compiles on every architecture.
//
// An element is ten limbs of alternately 26 and 25 bits, at weights 2^0,
// 2^26, 2^51, 2^77, 2^102, 2^128, 2^153, 2^179, 2^204 and 2^230; limb i of
// every lane sits in one register (`Reg`). Products use the unsigned 32 x 32
// -> 64-bit multiply of the low lane halves, so every multiplicand must stay
// below 2^32, and the ten column sums are accumulated in 64-bit lanes.
//
// Bounds, with b_i = 26 for even i and 25 for odd i:
//  - `Element` (tight): limb i below 2^b_i + 2^17. Every operation returns
//    tight elements except `add_loose` and `sub_loose`.
//  - `Loose`: limb i below 3 * 2^b_i + 2^18 (even limbs below 2^27.59, odd
//    ones below 2^26.59). A sum of two tight elements fits (below 2^(b_i+1)
//    + 2^18), and so does a + 2p - b for tight a and b (2p has limbs
//    2^27 - 38, 2^26 - 2, 2^27 - 2, ..., each above a tight limb, so nothing
//    underflows). Only `mul`, `square` and `tighten` accept it.
//  - Products: 19 times a loose limb is below 2^31.84, and so are 38 times
//    an odd loose limb and 2 times any loose limb (2^28.59): every
//    multiplicand fits in 32 bits. With both operands loose, column 0, the
//    largest, is at most sum of 267 products below 2^55.2 each weighted as
//    the radix asks (a0 b0 + 19 (2 a1 b9 + a2 b8 + ...)), below 2^62.14; the
//    others are smaller (column 9 below 2^57.5), so the carries added during
//    reduction (below 2^38) never overflow 64 bits.
//  - `add`, `sub`, `neg` and `tighten` end with one parallel carry round:
//    every carry out of a limb is at most 3, so limb 0 gets at most 57 from
//    the top limb and the others at most 3: tight again.
//
// Nothing branches on lane values or indexes memory by them.
//
// The trait V provides, for `Reg` (one 64-bit lane per entry) and `MaskReg`:
//   kLanes, kName; splat, load, store (kLanes values), add, sub, band, bor,
//   shr<N>, shl<N>, mul32 (low 32 bits of each lane times low 32 bits, to 64),
//   settle (an optimisation barrier: the value is complete here),
//   eq (a mask), blend(a, b, m) (b where m is set), mask_and, mask_or,
//   mask_andnot(a, b) (a and not b), mask_bits (lane i to bit i),
//   mask_from_bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "edwards25519/field.hpp"

namespace edwards25519::batch {

template <class V>
class Radix25Field;

// A secret set of lanes; see LaneMaskType in lane_field.hpp.
template <class V>
class Radix25Mask {
public:
    Radix25Mask() = default;

    // Members, not friends: GCC compiles friends defined in a class template
    // without the target options of a "#pragma GCC target" region.
    Radix25Mask operator&(Radix25Mask b) const noexcept { return Radix25Mask(V::mask_and(m_, b.m_)); }
    Radix25Mask operator|(Radix25Mask b) const noexcept { return Radix25Mask(V::mask_or(m_, b.m_)); }
    Radix25Mask and_not(Radix25Mask b) const noexcept { return Radix25Mask(V::mask_andnot(m_, b.m_)); }
    // Lane i as bit i: the lane set becomes public here.
    std::uint32_t declassify() const noexcept { return V::mask_bits(m_); }

private:
    friend class Radix25Field<V>;
    explicit Radix25Mask(typename V::MaskReg m) noexcept : m_(m) {}
    typename V::MaskReg m_;
};

template <class V>
class Radix25Field {
public:
    using Reg = typename V::Reg;
    static constexpr std::size_t kLanes = V::kLanes;
    static constexpr int kLimbs = 10;

    struct Element {
        Reg l[kLimbs];
    };
    struct Loose {
        Reg l[kLimbs];
    };
    using Mask = Radix25Mask<V>;
    // One lane's tight limbs, as tables store them.
    struct Limbs {
        std::uint32_t v[kLimbs];
    };
    // Radix-16 digits: |digit| per lane, and the lanes whose digit is negative.
    struct Index {
        Reg magnitude;
        typename V::MaskReg negative;
    };

    static const char* name() noexcept { return V::kName; }
    static constexpr bool kFlattenLoops = V::kFlattenLoops;  // engine.hpp

    static Element zero() noexcept { return small(0); }
    static Element one() noexcept { return small(1); }

    static Element broadcast(const FieldElement& x) noexcept { return broadcast(limbs_of(x)); }
    static Element broadcast(const Limbs& x) noexcept {
        Element r;
        for (int i = 0; i < kLimbs; ++i) r.l[i] = V::splat(x.v[i]);
        return r;
    }
    // A table entry in every lane as selection wants it: two limbs per
    // 64-bit lane (limb 2k in the low half, 2k + 1 in the high one), so that
    // gathering one entry out of several takes half the broadcasts and
    // blends; `unpack` splits the chosen one into limbs.
    struct Entry {
        Reg w[kLimbs / 2];
    };
    static Entry entry(const Limbs& x) noexcept {
        Entry e;
        for (int k = 0; k < kLimbs / 2; ++k) {
            std::uint64_t pair;
            __builtin_memcpy(&pair, &x.v[2 * k], 8);  // little-endian: limb 2k low
            e.w[k] = V::splat(pair);
        }
        return e;
    }
    static Entry select(const Entry& a, const Entry& b, const Mask& m) noexcept {
        Entry r;
        for (int k = 0; k < kLimbs / 2; ++k) r.w[k] = V::blend(a.w[k], b.w[k], m.m_);
        return r;
    }
    // The same form from lane-varying values (limbs below 2^32 each).
    static Entry pack(const Element& a) noexcept {
        Entry e;
        for (int k = 0; k < kLimbs / 2; ++k) e.w[k] = V::bor(a.l[2 * k], V::template shl<32>(a.l[2 * k + 1]));
        return e;
    }
    static Element unpack(const Entry& e) noexcept {
        const Reg low = V::splat(0xffffffffu);
        Reg r[kLimbs];
        for (int k = 0; k < kLimbs / 2; ++k) {
            r[2 * k] = V::band(e.w[k], low);
            r[2 * k + 1] = V::template shr<32>(e.w[k]);
        }
        return element_of(r);
    }
    static Limbs limbs(const Element& a, std::size_t lane) noexcept {
        Limbs out;
        for (int i = 0; i < kLimbs; ++i) {
            std::uint64_t v[kLanes];
            V::store(v, a.l[i]);
            out.v[i] = static_cast<std::uint32_t>(v[lane]);
        }
        return out;
    }

    static Element from_lanes(const FieldElement* x) noexcept {
        std::uint64_t v[kLimbs][kLanes];
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const Limbs one_lane = limbs_of(x[lane]);
            for (int i = 0; i < kLimbs; ++i) v[i][lane] = one_lane.v[i];
        }
        Element r;
        for (int i = 0; i < kLimbs; ++i) r.l[i] = V::load(v[i]);
        return r;
    }

    // Fully reduced, as radix-2^51 limbs below 2^51.
    static void to_lanes(const Element& a, FieldElement* out) noexcept {
        const Element c = canonical(a);
        std::uint64_t v[kLimbs][kLanes];
        for (int i = 0; i < kLimbs; ++i) V::store(v[i], c.l[i]);
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            for (int k = 0; k < 5; ++k) out[lane].v[k] = v[2 * k][lane] | (v[2 * k + 1][lane] << 26);
        }
    }

    static Element add(const Element& a, const Element& b) noexcept {
        Reg r[kLimbs];
        for (int i = 0; i < kLimbs; ++i) r[i] = V::add(a.l[i], b.l[i]);
        return carry_round(r);
    }
    static Element sub(const Element& a, const Element& b) noexcept { return carry_round(sub_limbs(a, b).l); }
    static Element neg(const Element& a) noexcept { return sub(zero(), a); }
    static Loose add_loose(const Element& a, const Element& b) noexcept {
        Reg r[kLimbs];
        for (int i = 0; i < kLimbs; ++i) r[i] = V::add(a.l[i], b.l[i]);
        return loose_of(r, std::make_integer_sequence<int, kLimbs>{});
    }
    static Loose sub_loose(const Element& a, const Element& b) noexcept { return sub_limbs(a, b); }
    static Element tighten(const Loose& a) noexcept { return carry_round(a.l); }
    static Loose loosen(const Element& a) noexcept {
        Loose r;
        for (int i = 0; i < kLimbs; ++i) r.l[i] = a.l[i];
        return r;
    }

    static Element mul(const Element& a, const Element& b) noexcept { return mul_limbs(a.l, b.l); }
    static Element mul(const Loose& a, const Element& b) noexcept { return mul_limbs(a.l, b.l); }
    static Element mul(const Element& a, const Loose& b) noexcept { return mul_limbs(a.l, b.l); }
    static Element mul(const Loose& a, const Loose& b) noexcept { return mul_limbs(a.l, b.l); }
    static Element square(const Element& a) noexcept { return square_limbs(a.l); }
    static Element square(const Loose& a) noexcept { return square_limbs(a.l); }
    // a^(2^k), k >= 1.
    static Element pow2k(Element a, unsigned k) noexcept {
        do {
            a = square_limbs(a.l);
        } while (--k != 0);
        return a;
    }

    static Element select(const Element& a, const Element& b, const Mask& m) noexcept {
        Reg r[kLimbs];
        for (int i = 0; i < kLimbs; ++i) r[i] = V::blend(a.l[i], b.l[i], m.m_);
        return element_of(r);
    }
    static Mask is_zero(const Element& a) noexcept {
        const Element c = canonical(a);
        Reg any = c.l[0];
        for (int i = 1; i < kLimbs; ++i) any = V::bor(any, c.l[i]);
        return Mask(V::eq(any, V::splat(0)));
    }
    static Mask is_negative(const Element& a) noexcept {
        const Reg one = V::splat(1);
        return Mask(V::eq(V::band(canonical(a).l[0], one), one));
    }
    static Mask equal(const Element& a, const Element& b) noexcept { return is_zero(sub(a, b)); }
    static Mask mask_from_bits(std::uint32_t bits) noexcept { return Mask(V::mask_from_bits(bits)); }
    static Mask all_lanes() noexcept { return mask_from_bits(static_cast<std::uint32_t>((1ull << kLanes) - 1)); }

    // 32 little-endian bytes per lane, bit 255 dropped.
    static Element from_bytes(const std::uint8_t* const* in) noexcept {
        std::uint64_t w[4][kLanes];
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            for (int k = 0; k < 4; ++k) w[k][lane] = load_word(in[lane] + 8 * k);
        }
        const Reg w0 = V::load(w[0]), w1 = V::load(w[1]), w2 = V::load(w[2]), w3 = V::load(w[3]);
        const Reg m26 = V::splat(kMask26), m25 = V::splat(kMask25);
        return {{V::band(w0, m26), V::band(shr<26>(w0), m25),
                 V::band(V::bor(shr<51>(w0), shl<13>(w1)), m26),
                 V::band(shr<13>(w1), m25), V::band(shr<38>(w1), m26),
                 V::band(w2, m25), V::band(shr<25>(w2), m26),
                 V::band(V::bor(shr<51>(w2), shl<13>(w3)), m25),
                 V::band(shr<12>(w3), m26), V::band(shr<38>(w3), m25)}};
    }
    static Mask top_bits(const std::uint8_t* const* in) noexcept {
        std::uint32_t bits = 0;
        for (std::size_t lane = 0; lane < kLanes; ++lane) bits |= static_cast<std::uint32_t>(in[lane][31] >> 7) << lane;
        return mask_from_bits(bits);
    }
    // Canonical bytes, bit 255 set in the lanes of `sign`.
    static void to_bytes(const Element& a, const Mask& sign, std::uint8_t* const* out) noexcept {
        const Element c = canonical(a);
        const Reg* l = c.l;
        const Reg top = V::blend(V::splat(0), V::splat(std::uint64_t{1} << 63), sign.m_);
        const Reg w[4] = {
            V::bor(V::bor(l[0], shl<26>(l[1])), shl<51>(l[2])),
            V::bor(V::bor(shr<13>(l[2]), shl<13>(l[3])), shl<38>(l[4])),
            V::bor(V::bor(l[5], shl<25>(l[6])), shl<51>(l[7])),
            V::bor(V::bor(V::bor(shr<13>(l[7]), shl<12>(l[8])), shl<38>(l[9])),
                   top)};
        std::uint64_t v[4][kLanes];
        for (int k = 0; k < 4; ++k) V::store(v[k], w[k]);
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            for (int k = 0; k < 4; ++k) store_word(out[lane] + 8 * k, v[k][lane]);
        }
    }

    // digits[lane] in [-8, 8]; magnitude and sign without branches.
    static Index index(const std::int8_t* digits) noexcept {
        std::uint64_t magnitude[kLanes], sign[kLanes];
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const auto d = static_cast<std::uint64_t>(static_cast<std::int64_t>(digits[lane]));
            const std::uint64_t s = d >> 63;
            sign[lane] = s;
            magnitude[lane] = (d ^ (0 - s)) + s;
        }
        const Reg one = V::splat(1);
        return {V::load(magnitude), V::eq(V::load(sign), one)};
    }
    static Mask index_is(const Index& index, unsigned k) noexcept { return Mask(V::eq(index.magnitude, V::splat(k))); }
    static Mask index_negative(const Index& index) noexcept { return Mask(index.negative); }

private:
    static constexpr std::uint64_t kMask26 = (std::uint64_t{1} << 26) - 1;
    static constexpr std::uint64_t kMask25 = (std::uint64_t{1} << 25) - 1;

    static constexpr int bits(int i) noexcept { return (i & 1) ? 25 : 26; }

    template <unsigned N>
    static Reg shr(Reg a) noexcept {
        return V::template shr<N>(a);
    }
    template <unsigned N>
    static Reg shl(Reg a) noexcept {
        return V::template shl<N>(a);
    }
    // x >> b_i: the carry out of limb i.
    static Reg shift_by_bits(Reg x, int i) noexcept { return (i & 1) ? shr<25>(x) : shr<26>(x); }
    static Reg limb_mask(int i) noexcept { return V::splat((i & 1) ? kMask25 : kMask26); }

    static Element small(std::uint64_t x) noexcept {
        Element r;
        r.l[0] = V::splat(x);
        for (int i = 1; i < kLimbs; ++i) r.l[i] = V::splat(0);
        return r;
    }

    static std::uint64_t load_word(const std::uint8_t* p) noexcept {
        std::uint64_t x = 0;
        for (int i = 7; i >= 0; --i) x = (x << 8) | p[i];
        return x;
    }
    static void store_word(std::uint8_t* p, std::uint64_t x) noexcept {
        for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(x >> (8 * i));
    }

    // A radix-2^51 element (limbs below 2^64) as tight radix-2^25.5 limbs:
    // limb k of x splits into 26 + 25 bits and a carry into the next pair
    // (the top one back times 19), and one carry round makes that tight.
    static Limbs limbs_of(const FieldElement& x) noexcept {
        std::uint64_t l[kLimbs] = {};
        for (int k = 0; k < 5; ++k) {
            l[2 * k] += x.v[k] & kMask26;
            l[2 * k + 1] += (x.v[k] >> 26) & kMask25;
            const std::uint64_t high = x.v[k] >> 51;  // below 2^13
            if (k < 4) {
                l[2 * k + 2] += high;
            } else {
                l[0] += 19 * high;
            }
        }
        std::uint64_t carry = 0;
        Limbs out;
        for (int i = 0; i < kLimbs; ++i) {
            const std::uint64_t t = l[i] + carry;
            carry = t >> bits(i);
            out.v[i] = static_cast<std::uint32_t>(t & ((std::uint64_t{1} << bits(i)) - 1));
        }
        out.v[0] += static_cast<std::uint32_t>(19 * carry);  // carry at most 1: below 2^26 + 19
        return out;
    }

    // 19 x for x below 2^59, in full 64 bits.
    static Reg times19(Reg x) noexcept {
        return V::add(V::add(shl<4>(x), shl<1>(x)), x);
    }

    // One parallel carry round (see the bounds above): every limb keeps its
    // low b_i bits plus the carry out of the limb below; the carry out of
    // the top limb comes back to limb 0 times 19.
    static Element carry_round(const Reg* x) noexcept {
        Reg r[kLimbs];
        r[0] = V::add(V::band(x[0], limb_mask(0)), times19(shr<25>(x[9])));
        for (int i = 1; i < kLimbs; ++i) r[i] = V::add(V::band(x[i], limb_mask(i)), shift_by_bits(x[i - 1], i - 1));
        return element_of(r);
    }

    // a + 2p - b, limb-wise.
    static Loose sub_limbs(const Element& a, const Element& b) noexcept {
        const Reg two_p0 = V::splat((std::uint64_t{1} << 27) - 38);
        const Reg two_p_even = V::splat((std::uint64_t{1} << 27) - 2);
        const Reg two_p_odd = V::splat((std::uint64_t{1} << 26) - 2);
        Reg r[kLimbs];
        for (int i = 0; i < kLimbs; ++i) {
            const Reg two_p = i == 0 ? two_p0 : ((i & 1) ? two_p_odd : two_p_even);
            r[i] = V::sub(V::add(a.l[i], two_p), b.l[i]);
        }
        return loose_of(r, std::make_integer_sequence<int, kLimbs>{});
    }

    // Ten column sums (each below 2^63) to a tight element, in two
    // interleaved carry chains, 0 -> 1 -> 2 -> 3 -> 4 -> 5 and
    // 4 -> 5 -> 6 -> 7 -> 8 -> 9 -> 0 -> 1, six steps deep instead of twelve.
    // Carries out of a column are below 2^39 (2^33 out of column 9, so its
    // 19-fold is taken with shifts, not with the 32-bit multiplier). Limb 4
    // is carried twice, so limb 5 ends below 2^25 + 2^14; limb 0 takes the
    // 19-fold and is carried again, so limb 1 ends below 2^25 + 2^12; every
    // other limb is within its b_i bits.
    template <int I>
    [[gnu::always_inline]] static void carry_step(Reg* c) noexcept {
        const Reg carry = shift_by_bits(c[I], I);
        c[I] = V::band(c[I], limb_mask(I));
        if constexpr (I == kLimbs - 1) {
            c[0] = V::add(c[0], times19(carry));
        } else {
            c[I + 1] = V::add(c[I + 1], carry);
        }
    }
    template <int... I>
    [[gnu::always_inline]] static void carry_columns(Reg* c, std::integer_sequence<int, I...>) noexcept {
        (carry_step<I>(c), ...);
    }
    // The limbs as a prvalue, so that the caller's return value is built in
    // place (a named local would be copied out, by rep movs with the generic
    // tuning: slower than the product itself on some cores).
    template <int... K>
    [[gnu::always_inline]] static Element element_of(const Reg* c, std::integer_sequence<int, K...>) noexcept {
        return Element{{c[K]...}};
    }
    [[gnu::always_inline]] static Element element_of(const Reg* c) noexcept {
        return element_of(c, std::make_integer_sequence<int, kLimbs>{});
    }
    template <int... K>
    [[gnu::always_inline]] static Loose loose_of(const Reg* c, std::integer_sequence<int, K...>) noexcept {
        return Loose{{c[K]...}};
    }

    // The column sums are locals that stay in registers.
    [[gnu::always_inline]] static Element carry_columns(Reg* c) noexcept {
        carry_columns(c, std::integer_sequence<int, 0, 4, 1, 5, 2, 6, 3, 7, 4, 8, 9, 0>{});
        return element_of(c);
    }

    // a b by rows: row I adds a_I b_J to column I + J (mod 10), twice
    // where I and J are both odd (their weights add up to one bit more than
    // the column's), 19 times where I + J >= 10 (2^255 = 19 mod p). `b19`
    // holds 19 b_J. Ten accumulators and the row's multiplicands stay in
    // registers while b and 19 b are read from memory.
    template <int I, int J>
    [[gnu::always_inline]] static void mul_add(Reg* c, Reg ai, Reg ai2, const Reg* b, const Reg* b19) noexcept {
        const Reg product = V::mul32(((I & 1) && (J & 1)) ? ai2 : ai, I + J >= kLimbs ? b19[J] : b[J]);
        if constexpr (I == 0) {
            c[J] = product;
        } else {
            c[(I + J) % kLimbs] = V::add(c[(I + J) % kLimbs], product);
        }
    }
    template <int I, int... J>
    [[gnu::always_inline]] static void mul_row(Reg* c, const Reg* a, const Reg* b, const Reg* b19, std::integer_sequence<int, J...>) noexcept {
        const Reg ai = a[I];
        const Reg ai2 = V::add(ai, ai);
        (mul_add<I, J>(c, ai, ai2, b, b19), ...);
        for (int k = 0; k < kLimbs; ++k) V::settle(c[k]);
    }
    template <int... I>
    [[gnu::always_inline]] static void mul_rows(Reg* c, const Reg* a, const Reg* b, const Reg* b19, std::integer_sequence<int, I...>) noexcept {
        (mul_row<I>(c, a, b, b19, std::make_integer_sequence<int, kLimbs>{}), ...);
    }
    static Element mul_limbs(const Reg* a, const Reg* b) noexcept {
        Reg b19[kLimbs];
        for (int i = 0; i < kLimbs; ++i) b19[i] = times19(b[i]);  // by shifts: the multiplier is the busier unit
        Reg c[kLimbs];
        mul_rows(c, a, b, b19, std::make_integer_sequence<int, kLimbs>{});
        return carry_columns(c);
    }

    // Column K of a^2 from the pairs I <= J only, J = K - I (mod 10). The
    // coefficient of a_I a_J is 2 for I != J, times 2 for both odd, times 19
    // for I + J >= 10; it is split between the two factors so that each
    // stays below 2^32: 19 and 38 (odd J) go to a_J, which is then at least
    // a_5, the remaining 1 or 2 to a_I.
    struct SquareFactors {
        Reg a[kLimbs], a2[kLimbs], a19[kLimbs];  // a19[J]: 19 a_J for even J, 38 a_J for odd J
    };
    template <int K, int I>
    [[gnu::always_inline]] static Reg square_term(const SquareFactors& f) noexcept {
        constexpr int J = (K - I + kLimbs) % kLimbs;
        constexpr bool both_odd = (I & 1) && (J & 1);
        if constexpr (I + J >= kLimbs) {
            // J odd: 38 on a_J, and 2 more on a_I if I != J and I odd.
            // J even: 19 on a_J, 2 on a_I if I != J.
            constexpr bool twice_i = (J & 1) ? (I != J && both_odd) : (I != J);
            return V::mul32(twice_i ? f.a2[I] : f.a[I], f.a19[J]);
        } else if constexpr (I == J) {
            return V::mul32(f.a[I], (I & 1) ? f.a2[I] : f.a[I]);
        } else {
            return V::mul32(f.a2[I], both_odd ? f.a2[J] : f.a[J]);
        }
    }
    template <int K, int I>
    [[gnu::always_inline]] static void square_add(Reg& acc, const SquareFactors& f) noexcept {
        if constexpr (I <= (K - I + kLimbs) % kLimbs) acc = V::add(acc, square_term<K, I>(f));
    }
    template <int K, int... I>
    [[gnu::always_inline]] static Reg square_column(const SquareFactors& f, std::integer_sequence<int, 0, I...>) noexcept {
        Reg acc = square_term<K, 0>(f);
        (square_add<K, I>(acc, f), ...);
        return acc;
    }
    template <int... K>
    [[gnu::always_inline]] static Element square_columns(const SquareFactors& f, std::integer_sequence<int, K...>) noexcept {
        Reg c[kLimbs] = {square_column<K>(f, std::make_integer_sequence<int, kLimbs>{})...};
        return carry_columns(c);
    }
    static Element square_limbs(const Reg* a) noexcept {
        SquareFactors f;
        const Reg nineteen = V::splat(19), thirty_eight = V::splat(38);
        for (int i = 0; i < kLimbs; ++i) {
            f.a[i] = a[i];
            f.a2[i] = V::add(a[i], a[i]);
            f.a19[i] = V::mul32(a[i], (i & 1) ? thirty_eight : nineteen);
        }
        return square_columns(f, std::make_integer_sequence<int, kLimbs>{});
    }

    // The fully reduced value of a tight element. A tight value is below
    // 2^255 + 2^248, so q = floor((a + 19) / 2^255) is 0 or 1 and a - q p
    // is in [0, p): q comes from a carry chain over a + 19, then a + 19 q
    // is carried limb by limb and bit 255 (q 2^255) dropped.
    static Element canonical(const Element& a) noexcept {
        Reg q = shr<26>(V::add(a.l[0], V::splat(19)));
        for (int i = 1; i < kLimbs; ++i) q = shift_by_bits(V::add(a.l[i], q), i);
        Element r;
        Reg t = V::add(a.l[0], times19(q));
        for (int i = 0; i < kLimbs; ++i) {
            r.l[i] = V::band(t, limb_mask(i));
            if (i + 1 < kLimbs) t = V::add(a.l[i + 1], shift_by_bits(t, i));
        }
        return r;
    }
};

}  // namespace edwards25519::batch
