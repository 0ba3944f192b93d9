// The batch backend's run-time dispatch and everything around the kernels
// that needs no vector instructions: lane conversions, radix-16 recoding and
// table construction. Compiled with the project's ordinary flags, so it is
// safe to call on any CPU (only `available()` is meant to be called first).
#include "edwards25519/batch/batch.hpp"

#include <cpuid.h>

#include <array>

#include "edwards25519/batch/kernels.hpp"
#include "support/rng.hpp"

namespace edwards25519::batch {

namespace {

// CPUID leaf 7 (EBX): AVX512F bit 16, AVX512DQ 17, AVX512IFMA 21, AVX512BW 30,
// AVX512VL 31; leaf 1 (ECX) bit 27: XGETBV is enabled. XCR0: SSE (1), AVX (2),
// opmask (5), upper halves of ZMM0-15 (6) and ZMM16-31 (7) state saved.
bool detect() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & (1u << 27)) == 0) return false;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    const unsigned needed = (1u << 16) | (1u << 17) | (1u << 21) | (1u << 30) | (1u << 31);
    if ((b & needed) != needed) return false;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    (void)xcr0_high;
    const unsigned state = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
    return (xcr0_low & state) == state;
}

constexpr std::uint64_t kMask52 = (std::uint64_t{1} << 52) - 1;

// Canonical bytes to radix 2^52 limbs of one lane.
void bytes_to_lane(const std::array<std::uint8_t, 32>& bytes, FieldBatch& out, std::size_t lane) noexcept {
    std::uint64_t w[4] = {};
    for (std::size_t k = 0; k < 4; ++k) {
        for (std::size_t b = 8; b-- > 0;) w[k] = (w[k] << 8) | bytes[8 * k + b];
    }
    out.limb[0][lane] = w[0] & kMask52;
    out.limb[1][lane] = ((w[0] >> 52) | (w[1] << 12)) & kMask52;
    out.limb[2][lane] = ((w[1] >> 40) | (w[2] << 24)) & kMask52;
    out.limb[3][lane] = ((w[2] >> 28) | (w[3] << 36)) & kMask52;
    out.limb[4][lane] = w[3] >> 16;
}

// Digit i of lane l's scalar at digits[i][l].
void recode(std::span<const Scalar, kLanes> scalars, detail::Digits& digits) noexcept {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        std::array<std::int8_t, 64> d = scalars[lane].as_radix_16();
        for (std::size_t i = 0; i < 64; ++i) digits[i][lane] = d[i];
        support::secure_zero(d.data(), d.size());
    }
}

}  // namespace

bool available() noexcept {
    static const bool ok = detect();
    return ok;
}

FieldBatch field_from_lanes(std::span<const FieldElement, kLanes> lanes) noexcept {
    FieldBatch out;
    for (std::size_t i = 0; i < kLanes; ++i) bytes_to_lane(lanes[i].to_bytes(), out, i);
    return out;
}

FieldBatch field_broadcast(const FieldElement& a) noexcept {
    FieldBatch out;
    const std::array<std::uint8_t, 32> bytes = a.to_bytes();
    for (std::size_t i = 0; i < kLanes; ++i) bytes_to_lane(bytes, out, i);
    return out;
}

void field_to_lanes(const FieldBatch& a, std::span<FieldElement, kLanes> out) noexcept {
    std::array<std::array<std::uint8_t, 32>, kLanes> bytes;
    std::uint8_t* targets[kLanes];
    for (std::size_t i = 0; i < kLanes; ++i) targets[i] = bytes[i].data();
    field_to_bytes(a, targets);
    for (std::size_t i = 0; i < kLanes; ++i) out[i] = FieldElement::from_bytes(bytes[i]);
}

PointBatch point_from_lanes(std::span<const EdwardsPoint, kLanes> lanes) noexcept {
    std::array<FieldElement, kLanes> x, y, z, t;
    for (std::size_t i = 0; i < kLanes; ++i) {
        x[i] = lanes[i].X;
        y[i] = lanes[i].Y;
        z[i] = lanes[i].Z;
        t[i] = lanes[i].T;
    }
    return {field_from_lanes(x), field_from_lanes(y), field_from_lanes(z), field_from_lanes(t)};
}

PointBatch point_broadcast(const EdwardsPoint& p) noexcept {
    return {field_broadcast(p.X), field_broadcast(p.Y), field_broadcast(p.Z), field_broadcast(p.T)};
}

PointBatch select(const PointBatch& a, const PointBatch& b, LaneMask choose_b) noexcept {
    return {select(a.X, b.X, choose_b), select(a.Y, b.Y, choose_b), select(a.Z, b.Z, choose_b),
            select(a.T, b.T, choose_b)};
}

void point_to_lanes(const PointBatch& p, std::span<EdwardsPoint, kLanes> out) noexcept {
    std::array<FieldElement, kLanes> x, y, z, t;
    field_to_lanes(p.X, x);
    field_to_lanes(p.Y, y);
    field_to_lanes(p.Z, z);
    field_to_lanes(p.T, t);
    for (std::size_t i = 0; i < kLanes; ++i) out[i] = EdwardsPoint{x[i], y[i], z[i], t[i]};
}

PointBatch mul(const PointBatch& p, const Scalar& scalar) noexcept {
    alignas(64) detail::Digits digits;
    std::array<std::int8_t, 64> d = scalar.as_radix_16();
    for (std::size_t i = 0; i < 64; ++i) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) digits[i][lane] = d[i];
    }
    PointBatch out;
    detail::mul_variable(out, p, digits);
    support::secure_zero(d.data(), d.size());
    support::secure_zero(digits, sizeof digits);
    return out;
}

PointBatch mul(const PointBatch& p, std::span<const Scalar, kLanes> scalars) noexcept {
    alignas(64) detail::Digits digits;
    recode(scalars, digits);
    PointBatch out;
    detail::mul_variable(out, p, digits);
    support::secure_zero(digits, sizeof digits);
    return out;
}

// Lane j starts as (j + 1) B; build_table multiplies by 16 per position.
BatchBasepointTable::BatchBasepointTable(const EdwardsPoint& base)
    : words_(std::make_unique<std::uint64_t[]>(kPositions * kWordsPerPosition)) {
    std::array<EdwardsPoint, kLanes> multiples;
    multiples[0] = base;
    for (std::size_t j = 1; j < kLanes; ++j) multiples[j] = multiples[j - 1] + base;
    detail::build_table(point_from_lanes(multiples), words_.get(), kPositions);
}

BatchBasepointTable::~BatchBasepointTable() = default;
BatchBasepointTable::BatchBasepointTable(BatchBasepointTable&&) noexcept = default;
BatchBasepointTable& BatchBasepointTable::operator=(BatchBasepointTable&&) noexcept = default;

PointBatch BatchBasepointTable::mul(std::span<const Scalar, kLanes> scalars) const noexcept {
    alignas(64) detail::Digits digits;
    recode(scalars, digits);
    PointBatch out;
    detail::mul_fixed(out, words_.get(), digits);
    support::secure_zero(digits, sizeof digits);
    return out;
}

const BatchBasepointTable& batch_basepoint_table() {
    static const BatchBasepointTable table(EdwardsPoint::basepoint());
    return table;
}

}  // namespace edwards25519::batch
