// One backend's group operations on plain data, lane i of every argument at
// index i: the engine's formulas one by one, for the tests of the lane
// fields and of the engine and for the timing study of the
// multiplications. One translation unit per backend in this folder, each
// compiled for its instruction set; group_kernels.cpp hands them out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edwards25519/batch/backend.hpp"
#include "edwards25519/field.hpp"
#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"

namespace edwards25519::batch {

enum class FieldOp : std::uint8_t { add, sub, mul, square, neg, invert };

struct GroupKernels {
    Isa isa;
    std::size_t lanes;

    // out = op(a, b) per lane (b unused by unary operations).
    void (*field_op)(FieldOp op, const FieldElement* a, const FieldElement* b, FieldElement* out) noexcept;
    // FieldElement::sqrt_ratio_i per lane; returns the was_square lanes.
    std::uint32_t (*sqrt_ratio_i)(const FieldElement* u, const FieldElement* v, FieldElement* root) noexcept;
    // Lane sets of a == 0, a negative, a == b.
    void (*predicates)(const FieldElement* a, const FieldElement* b, std::uint32_t* zero, std::uint32_t* negative,
                       std::uint32_t* equal) noexcept;
    // Reads 32 bytes per lane (bit 255 dropped), writes the canonical bytes
    // with bit 255 set in the lanes of `sign`; returns the lanes whose input
    // had bit 255 set.
    std::uint32_t (*field_bytes)(const std::uint8_t* const* in, std::uint32_t sign, std::uint8_t* const* out) noexcept;

    void (*add)(const EdwardsPoint* a, const EdwardsPoint* b, EdwardsPoint* out) noexcept;
    void (*double_point)(const EdwardsPoint* a, EdwardsPoint* out) noexcept;
    std::uint32_t (*equal)(const EdwardsPoint* a, const EdwardsPoint* b) noexcept;
    // Lane i of b where bit i of `choose_b` is set, of a otherwise.
    void (*select)(const EdwardsPoint* a, const EdwardsPoint* b, std::uint32_t choose_b, EdwardsPoint* out) noexcept;
    // Decompresses lane i from in[i]; returns the lanes that decompressed
    // (the others hold the identity).
    std::uint32_t (*decompress)(const std::uint8_t* const* in, EdwardsPoint* out) noexcept;
    // Four points per lane at once, point k of lane i from in[k * lanes + i]
    // (their square roots interleaved); valid[k] as `decompress` returns.
    void (*decompress_four)(const std::uint8_t* const* in, EdwardsPoint* out, std::uint32_t* valid) noexcept;
    // The compressed bytes of points[k * lanes + i] to out[k * lanes + i],
    // k < count <= 4, with one shared inversion.
    void (*compress_many)(const EdwardsPoint* points, std::size_t count, std::uint8_t* const* out) noexcept;
    // Lane i times scalars[i], or every lane times scalars[0] when `shared`.
    void (*mul)(const EdwardsPoint* p, const Scalar* scalars, bool shared, EdwardsPoint* out) noexcept;
    // scalars[i] times `base` through a fixed-base table of `base`, and
    // through the cached table of the standard base point.
    void (*mul_fixed)(const EdwardsPoint& base, const Scalar* scalars, EdwardsPoint* out) noexcept;
    void (*mul_basepoint)(const Scalar* scalars, EdwardsPoint* out) noexcept;
};

// The kernels of a supported backend (calling them on an unsupported one is
// a programming error).
const GroupKernels& group_kernels(Isa isa);

}  // namespace edwards25519::batch
