// The batch backend of the group layer: eight independent field elements or
// points at once, one per 64-bit lane of AVX-512 registers, with the 52-bit
// multiply-accumulate instructions of AVX-512 IFMA. Every lane gives exactly
// the value the scalar layer gives for the same input; encodings are the
// same bytes.
//
// `available()` is the one run-time dispatch point: every other function
// here may only be called after it returned true. Callers keep the scalar
// layer as the path for CPUs without IFMA.
//
// Constant time: all lanes run the same instruction stream, table entries
// are chosen by masked selection over all entries, and nothing branches on
// lane values. Lane masks that come out of decompression or square-root
// tests are data the caller decides to reveal, as the scalar layer reveals
// its optional results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "edwards25519/field.hpp"
#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"

namespace edwards25519::batch {

inline constexpr std::size_t kLanes = 8;

// Bit i stands for lane i.
using LaneMask = std::uint8_t;
inline constexpr LaneMask kAllLanes = 0xff;

// True when the CPU has AVX-512 F, DQ, BW, VL and IFMA and the operating
// system saves the vector state (XCR0 bits 1, 2, 5, 6 and 7). Computed once.
bool available() noexcept;

// Eight field elements in radix 2^52: limb[k][lane]. Between operations the
// limbs are reduced (limbs 0..3 below 2^52, limb 4 below 2^48); the value of
// a lane is defined mod p only. No alignment is asked for: the kernels load
// and store unaligned, so values may live anywhere.
struct FieldBatch {
    std::uint64_t limb[5][kLanes];
};

// Eight points in extended coordinates, as EdwardsPoint.
struct PointBatch {
    FieldBatch X, Y, Z, T;
};

// ---- field -------------------------------------------------------------

FieldBatch field_from_lanes(std::span<const FieldElement, kLanes> lanes) noexcept;
FieldBatch field_broadcast(const FieldElement& a) noexcept;
void field_to_lanes(const FieldBatch& a, std::span<FieldElement, kLanes> out) noexcept;

// Lane i from the 32 bytes at bytes[i]: little-endian, bit 255 ignored.
FieldBatch field_from_bytes(const std::uint8_t* const bytes[kLanes]) noexcept;
// Lane i's canonical bytes to out[i].
void field_to_bytes(const FieldBatch& a, std::uint8_t* const out[kLanes]) noexcept;

FieldBatch add(const FieldBatch& a, const FieldBatch& b) noexcept;
FieldBatch sub(const FieldBatch& a, const FieldBatch& b) noexcept;
FieldBatch mul(const FieldBatch& a, const FieldBatch& b) noexcept;
FieldBatch square(const FieldBatch& a) noexcept;
FieldBatch neg(const FieldBatch& a) noexcept;
// Lane i of b where bit i of choose_b is set, of a otherwise.
FieldBatch select(const FieldBatch& a, const FieldBatch& b, LaneMask choose_b) noexcept;
FieldBatch conditional_negate(const FieldBatch& a, LaneMask negate) noexcept;
LaneMask is_negative(const FieldBatch& a) noexcept;
LaneMask is_zero(const FieldBatch& a) noexcept;
LaneMask equal(const FieldBatch& a, const FieldBatch& b) noexcept;
// a^(p-2) per lane: the inverse, 0 for 0.
FieldBatch invert(const FieldBatch& a) noexcept;
// FieldElement::sqrt_ratio_i per lane: the non-negative root, and in
// was_square the lanes where u/v is a square or u = 0.
FieldBatch sqrt_ratio_i(const FieldBatch& u, const FieldBatch& v, LaneMask& was_square) noexcept;

// ---- points ------------------------------------------------------------

PointBatch point_identity() noexcept;
PointBatch point_from_lanes(std::span<const EdwardsPoint, kLanes> lanes) noexcept;
PointBatch point_broadcast(const EdwardsPoint& p) noexcept;
void point_to_lanes(const PointBatch& p, std::span<EdwardsPoint, kLanes> out) noexcept;

PointBatch add(const PointBatch& a, const PointBatch& b) noexcept;
PointBatch double_point(const PointBatch& a) noexcept;
// Lane i of b where bit i of choose_b is set, of a otherwise.
PointBatch select(const PointBatch& a, const PointBatch& b, LaneMask choose_b) noexcept;
// Equality as group elements, per lane.
LaneMask equal(const PointBatch& a, const PointBatch& b) noexcept;

// CompressedEdwardsY::decompress of the 32 bytes at bytes[i] into lane i.
// Returns the lanes that decompressed; the others hold the identity.
LaneMask decompress(const std::uint8_t* const bytes[kLanes], PointBatch& out) noexcept;
// The compressed bytes of lane i to out[i].
void compress(const PointBatch& p, std::uint8_t* const out[kLanes]) noexcept;
// The compressed bytes of points[k] lane i to out[k * kLanes + i], for up to
// kMaxCompress batches sharing one field inversion.
inline constexpr std::size_t kMaxCompress = 4;
void compress_many(const PointBatch* points, std::size_t count, std::uint8_t* const* out) noexcept;

// Variable-base multiplication, every lane by one scalar or lane i by
// scalars[i]; scalars up to 2^255 - 1, reduced or not, as EdwardsPoint::mul.
PointBatch mul(const PointBatch& p, const Scalar& scalar) noexcept;
PointBatch mul(const PointBatch& p, std::span<const Scalar, kLanes> scalars) noexcept;

// Fixed-base multiplication: the multiples j 16^i B (j = 1..8, i = 0..63) of
// one point as affine Niels forms in radix 2^52, shared by all lanes. Lane i
// of `mul` is scalars[i] B, one table addition per radix-16 digit.
class BatchBasepointTable {
public:
    explicit BatchBasepointTable(const EdwardsPoint& base);
    ~BatchBasepointTable();
    BatchBasepointTable(BatchBasepointTable&&) noexcept;
    BatchBasepointTable& operator=(BatchBasepointTable&&) noexcept;

    PointBatch mul(std::span<const Scalar, kLanes> scalars) const noexcept;

    static constexpr std::size_t kPositions = 64;
    static constexpr std::size_t kWordsPerPosition = 15 * 8;

private:
    std::unique_ptr<std::uint64_t[]> words_;
};

// The table of the standard base point, built on first use.
const BatchBasepointTable& batch_basepoint_table();

}  // namespace edwards25519::batch
