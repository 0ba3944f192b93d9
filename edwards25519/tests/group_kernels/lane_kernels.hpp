// GroupKernels for one lane field: thin plain-data wrappers around the
// engine. Included once per backend, by that backend's translation unit.
#pragma once

#include <array>
#include <memory>

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/tests/group_kernels/group_kernels.hpp"

namespace edwards25519::batch::engine {

template <LaneField F>
struct Kernels {
    using E = typename F::Element;

    static void field_op(FieldOp op, const FieldElement* a, const FieldElement* b, FieldElement* out) noexcept {
        const E x = F::from_lanes(a);
        E r = x;
        switch (op) {  // the operation is public
            case FieldOp::add: r = F::add(x, F::from_lanes(b)); break;
            case FieldOp::sub: r = F::sub(x, F::from_lanes(b)); break;
            case FieldOp::mul: r = F::mul(x, F::from_lanes(b)); break;
            case FieldOp::square: r = F::square(x); break;
            case FieldOp::neg: r = F::neg(x); break;
            case FieldOp::invert: r = invert<F>(x); break;
        }
        F::to_lanes(r, out);
    }

    static std::uint32_t sqrt_ratio_i(const FieldElement* u, const FieldElement* v, FieldElement* root) noexcept {
        const SqrtRatio<F> r = engine::sqrt_ratio_i<F>(F::from_lanes(u), F::from_lanes(v));
        F::to_lanes(r.root, root);
        return r.was_square.declassify();
    }

    static void predicates(const FieldElement* a, const FieldElement* b, std::uint32_t* zero, std::uint32_t* negative,
                           std::uint32_t* equal) noexcept {
        const E x = F::from_lanes(a), y = F::from_lanes(b);
        *zero = F::is_zero(x).declassify();
        *negative = F::is_negative(x).declassify();
        *equal = F::equal(x, y).declassify();
    }

    static std::uint32_t field_bytes(const std::uint8_t* const* in, std::uint32_t sign, std::uint8_t* const* out) noexcept {
        F::to_bytes(F::from_bytes(in), F::mask_from_bits(sign), out);
        return F::top_bits(in).declassify();
    }

    static void add(const EdwardsPoint* a, const EdwardsPoint* b, EdwardsPoint* out) noexcept {
        to_lanes<F>(add_points<F>(from_lanes<F>(a), from_lanes<F>(b)), out);
    }

    static void double_point(const EdwardsPoint* a, EdwardsPoint* out) noexcept {
        to_lanes<F>(double_extended<F>(from_lanes<F>(a)), out);
    }

    static std::uint32_t equal(const EdwardsPoint* a, const EdwardsPoint* b) noexcept {
        return engine::equal<F>(from_lanes<F>(a), from_lanes<F>(b)).declassify();
    }

    static void select(const EdwardsPoint* a, const EdwardsPoint* b, std::uint32_t choose_b, EdwardsPoint* out) noexcept {
        to_lanes<F>(engine::select<F>(from_lanes<F>(a), from_lanes<F>(b), F::mask_from_bits(choose_b)), out);
    }

    static std::uint32_t decompress(const std::uint8_t* const* in, EdwardsPoint* out) noexcept {
        const Decompressed<F> d = engine::decompress<F>(in);
        to_lanes<F>(d.point, out);
        return d.valid.declassify();
    }

    static void decompress_four(const std::uint8_t* const* in, EdwardsPoint* out, std::uint32_t* valid) noexcept {
        const std::uint8_t* bytes[4][F::kLanes];
        for (std::size_t k = 0; k < 4; ++k) {
            for (std::size_t i = 0; i < F::kLanes; ++i) bytes[k][i] = in[k * F::kLanes + i];
        }
        const auto d = engine::decompress_many<F, 4>(bytes);
        for (std::size_t k = 0; k < 4; ++k) {
            to_lanes<F>(d[k].point, out + k * F::kLanes);
            valid[k] = d[k].valid.declassify();
        }
    }

    static void compress_many(const EdwardsPoint* points, std::size_t count, std::uint8_t* const* out) noexcept {
        if (count == 0 || count > kMaxCompress) return;
        Point<F> p[kMaxCompress];
        for (std::size_t k = 0; k < count; ++k) p[k] = from_lanes<F>(points + k * F::kLanes);
        engine::compress_many<F>(p, count, out);
    }

    static void mul(const EdwardsPoint* p, const Scalar* scalars, bool shared, EdwardsPoint* out) noexcept {
        to_lanes<F>(engine::mul<F>(from_lanes<F>(p), scalars, shared), out);
    }

    static void mul_fixed(const EdwardsPoint& base, const Scalar* scalars, EdwardsPoint* out) noexcept {
        const auto table = std::make_unique<KeyTable<F>>(base);
        to_lanes<F>(table->mul(scalars), out);
    }

    static void mul_basepoint(const Scalar* scalars, EdwardsPoint* out) noexcept {
        to_lanes<F>(basepoint_table<F>().mul(scalars), out);
    }

    static constexpr GroupKernels table(Isa isa) noexcept {
        return {isa,         F::kLanes, field_op, sqrt_ratio_i, predicates, field_bytes,   add, double_point, equal,
                select,      decompress, decompress_four, compress_many, mul, mul_fixed, mul_basepoint};
    }
};

}  // namespace edwards25519::batch::engine
