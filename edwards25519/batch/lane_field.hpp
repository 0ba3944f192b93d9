// What the batch engine asks of a backend: GF(2^255 - 19) in `kLanes`
// independent lanes, one field element per lane, with the arithmetic,
// constant-time selection, loads and stores the generic formulas of
// engine.hpp are written against. A backend is a class of static functions
// (no state) that models `LaneField`; the engine never sees its limbs.
//
// Two invariants live in the types rather than in comments:
//
//  - `Element` is tight: it may feed every operation. `Loose` is what a
//    cheap sum or difference returns (`add_loose`, `sub_loose`); it may only
//    feed a product (`mul`, `square`) or be made tight (`tighten`), so a
//    lazy sum can never reach another sum whose bounds it would break. A
//    tight element is loose too (`loosen`, free).
//    Backends whose products cannot take wider limbs carry inside
//    `add_loose` and keep `Loose` a distinct type all the same.
//  - `Mask` is a set of lanes computed from lane values, hence secret. It
//    combines with &, | and `and_not`, and drives `select`; the only way to
//    branch on it, or to write it anywhere, is `declassify()`, which names
//    the place where a lane result becomes public.
//
// Nothing here branches on lane values or indexes memory by them.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "edwards25519/field.hpp"

namespace edwards25519::batch {

// Lane i is bit i of a declassified mask.
template <class M>
concept LaneMaskType = std::is_trivially_copyable_v<M> && requires(M a, M b) {
    { a & b } -> std::same_as<M>;
    { a | b } -> std::same_as<M>;
    { a.and_not(b) } -> std::same_as<M>;  // lanes of a that are not in b
    { a.declassify() } -> std::same_as<std::uint32_t>;
};

template <class F>
concept LaneField =
    requires {
        requires F::kLanes >= 1 && F::kLanes <= 32;
        requires LaneMaskType<typename F::Mask>;
        requires std::is_trivially_copyable_v<typename F::Element>;
        requires std::is_trivially_copyable_v<typename F::Loose>;
        requires !std::same_as<typename F::Element, typename F::Loose>;
        // One lane's element as the backend stores it in tables, to be
        // broadcast to every lane; trivially copyable.
        requires std::is_trivially_copyable_v<typename F::Limbs>;
        // A table entry broadcast to every lane, in the form in which
        // selecting one of several is cheapest.
        requires std::is_trivially_copyable_v<typename F::Entry>;
        // kLanes small signed integers (radix-16 digits, in [-8, 8]).
        requires std::is_trivially_copyable_v<typename F::Index>;
        { F::name() } -> std::same_as<const char*>;
    } &&
    requires(const typename F::Element& a, const typename F::Element& b, const typename F::Loose& l,
             const typename F::Mask& m, const typename F::Index& index, const typename F::Limbs& limbs,
             const FieldElement& scalar_field, const FieldElement* scalar_lanes, FieldElement* scalar_out,
             const std::uint8_t* const* bytes_in, std::uint8_t* const* bytes_out, const std::int8_t* digits,
             std::uint32_t bits, unsigned k, std::size_t lane) {
        { F::zero() } -> std::same_as<typename F::Element>;
        { F::one() } -> std::same_as<typename F::Element>;
        // Every lane the same value, and per-lane values, from the scalar field.
        { F::broadcast(scalar_field) } -> std::same_as<typename F::Element>;
        { F::from_lanes(scalar_lanes) } -> std::same_as<typename F::Element>;  // kLanes values
        { F::to_lanes(a, scalar_out) } -> std::same_as<void>;                  // kLanes values
        // Table entries: lane `lane` of a, and an entry in every lane.
        { F::limbs(a, lane) } -> std::same_as<typename F::Limbs>;
        { F::broadcast(limbs) } -> std::same_as<typename F::Element>;
        { F::entry(limbs) } -> std::same_as<typename F::Entry>;
        { F::select(F::entry(limbs), F::entry(limbs), m) } -> std::same_as<typename F::Entry>;
        { F::unpack(F::entry(limbs)) } -> std::same_as<typename F::Element>;
        { F::pack(a) } -> std::same_as<typename F::Entry>;  // the same from per-lane values

        { F::add(a, b) } -> std::same_as<typename F::Element>;
        { F::sub(a, b) } -> std::same_as<typename F::Element>;
        { F::neg(a) } -> std::same_as<typename F::Element>;
        { F::add_loose(a, b) } -> std::same_as<typename F::Loose>;
        { F::sub_loose(a, b) } -> std::same_as<typename F::Loose>;
        { F::tighten(l) } -> std::same_as<typename F::Element>;
        { F::loosen(a) } -> std::same_as<typename F::Loose>;  // a tight value is loose too
        { F::mul(a, b) } -> std::same_as<typename F::Element>;
        { F::mul(l, b) } -> std::same_as<typename F::Element>;
        { F::mul(l, l) } -> std::same_as<typename F::Element>;
        { F::square(a) } -> std::same_as<typename F::Element>;
        { F::square(l) } -> std::same_as<typename F::Element>;
        { F::pow2k(a, k) } -> std::same_as<typename F::Element>;  // a^(2^k), k >= 1

        // Lane i of b where lane i of m is set, of a otherwise.
        { F::select(a, b, m) } -> std::same_as<typename F::Element>;
        { F::is_zero(a) } -> std::same_as<typename F::Mask>;
        { F::is_negative(a) } -> std::same_as<typename F::Mask>;  // odd when fully reduced
        { F::equal(a, b) } -> std::same_as<typename F::Mask>;
        // Lanes as bits, for public lane sets and for secret bits alike
        // (constant time); all lanes.
        { F::mask_from_bits(bits) } -> std::same_as<typename F::Mask>;
        { F::all_lanes() } -> std::same_as<typename F::Mask>;

        // Lane i from the 32 bytes at bytes_in[i], little-endian, bit 255
        // dropped (values p..2^255-1 are kept, equal to their residues);
        // bit 255 of each as a mask.
        { F::from_bytes(bytes_in) } -> std::same_as<typename F::Element>;
        { F::top_bits(bytes_in) } -> std::same_as<typename F::Mask>;
        // The canonical bytes of lane i to bytes_out[i], bit 255 set in the
        // lanes of m (the sign of a compressed point).
        { F::to_bytes(a, m, bytes_out) } -> std::same_as<void>;

        // Radix-16 digits: digits[lane] in [-8, 8] for each lane.
        { F::index(digits) } -> std::same_as<typename F::Index>;
        { F::index_is(index, k) } -> std::same_as<typename F::Mask>;  // |digit| == k
        { F::index_negative(index) } -> std::same_as<typename F::Mask>;
    };

}  // namespace edwards25519::batch
