// Group operations on extended coordinates, encodings and variable-base
// multiplication.
#include "edwards25519/point.hpp"

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/batch/scalar_field.hpp"
#include "support/rng.hpp"

namespace edwards25519 {

// The formulas are the batch engine's, on one lane of the scalar field.
namespace {

using OneLane = batch::ScalarField;
namespace engine = batch::engine;

engine::Point<OneLane> lane(const EdwardsPoint& p) noexcept { return {p.X, p.Y, p.Z, p.T}; }
EdwardsPoint point(const engine::Point<OneLane>& p) noexcept { return {p.X, p.Y, p.Z, p.T}; }

}  // namespace

EdwardsPoint EdwardsPoint::identity() noexcept {
    return {FieldElement::zero(), FieldElement::one(), FieldElement::one(), FieldElement::zero()};
}

// B has y = 4/5 and the non-negative x.
EdwardsPoint EdwardsPoint::basepoint() noexcept {
    static const EdwardsPoint b = [] {
        const FieldElement y = FieldElement::from_u64(4) * FieldElement::from_u64(5).invert();
        CompressedEdwardsY c{y.to_bytes()};
        return *c.decompress();
    }();
    return b;
}

EdwardsPoint EdwardsPoint::eight_torsion(std::uint8_t index) noexcept {
    // T8, a point of order 8: its multiples k T8, k = 0..7, are all the
    // points of order dividing 8.
    static const std::array<EdwardsPoint, 8> multiples = [] {
        constexpr std::array<std::uint8_t, 32> kGenerator = {
            0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
            0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05};
        const EdwardsPoint generator = *CompressedEdwardsY{kGenerator}.decompress();
        std::array<EdwardsPoint, 8> out;
        out[0] = identity();
        for (std::size_t k = 1; k < 8; ++k) out[k] = out[k - 1] + generator;
        return out;
    }();
    const std::uint64_t wanted = index & 7u;
    EdwardsPoint result = identity();
    for (std::uint64_t k = 0; k < 8; ++k) {
        const std::uint64_t diff = wanted ^ k;
        const auto equal = static_cast<std::uint8_t>(((diff | (0 - diff)) >> 63) ^ 1);
        conditional_assign(result, multiples[k], Choice::from_bit(equal));
    }
    return result;
}

Choice EdwardsPoint::is_torsion_free() const noexcept {
    // l = 2^252 + 27742317777372353535851937790883648493, little-endian; read
    // unreduced, since l reduced is 0.
    static constexpr std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                                0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                                0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
    return mul(Scalar::from_bits(kOrder)).is_identity();
}

CompressedEdwardsY EdwardsPoint::compress() const noexcept {
    const FieldElement recip = Z.invert();
    const FieldElement x = X * recip;
    const FieldElement y = Y * recip;
    CompressedEdwardsY out{y.to_bytes()};
    out.bytes[31] ^= static_cast<std::uint8_t>(x.is_negative().bit() << 7);
    return out;
}

// x^2 = (y^2 - 1) / (d y^2 + 1), x the non-negative root negated when bit
// 255 is set (either bit accepted for x = 0).
std::optional<EdwardsPoint> CompressedEdwardsY::decompress() const noexcept {
    const std::uint8_t* in[1] = {bytes.data()};
    const engine::Decompressed<OneLane> d = engine::decompress<OneLane>(in);
    if (d.valid.declassify() == 0) return std::nullopt;
    return point(d.point);
}

EdwardsPoint operator+(const EdwardsPoint& a, const EdwardsPoint& b) noexcept {
    return point(engine::add_points<OneLane>(lane(a), lane(b)));
}

EdwardsPoint operator-(const EdwardsPoint& a, const EdwardsPoint& b) noexcept { return a + (-b); }

EdwardsPoint EdwardsPoint::operator-() const noexcept { return {-X, Y, Z, -T}; }

EdwardsPoint EdwardsPoint::double_point() const noexcept { return point(engine::mul_by_pow2<OneLane>(lane(*this), 1)); }

EdwardsPoint EdwardsPoint::mul_by_cofactor() const noexcept { return point(engine::mul_by_pow2<OneLane>(lane(*this), 3)); }

// Signed radix 16, Horner's rule from the top digit (engine::mul_digits):
// the digits encode the exact integer s, so the result is s P for points of
// any order.
EdwardsPoint EdwardsPoint::mul(const Scalar& s) const noexcept { return point(engine::mul<OneLane>(lane(*this), &s, true)); }

EdwardsPoint EdwardsPoint::mul_cleared(const Scalar& s) const noexcept {
    return point(engine::mul_cleared<OneLane>(lane(*this), &s, true));
}

Choice EdwardsPoint::ct_eq(const EdwardsPoint& other) const noexcept {
    return engine::equal<OneLane>(lane(*this), lane(other)).choice();
}

Choice EdwardsPoint::is_identity() const noexcept { return ct_eq(identity()); }

// (-X^2 + Y^2) Z^2 = Z^4 + d X^2 Y^2 is the curve equation times Z^4.
bool EdwardsPoint::is_on_curve() const noexcept {
    const FieldElement XX = X.square(), YY = Y.square(), ZZ = Z.square();
    const Choice on_curve = ((YY - XX) * ZZ).ct_eq(ZZ.square() + constants::EDWARDS_D * XX * YY);
    const Choice consistent = (X * Y).ct_eq(Z * T);
    return (on_curve & consistent & !Z.is_zero()).declassify();
}

void EdwardsPoint::conditional_assign(EdwardsPoint& dst, const EdwardsPoint& src, Choice c) noexcept {
    dst.X.conditional_assign(src.X, c);
    dst.Y.conditional_assign(src.Y, c);
    dst.Z.conditional_assign(src.Z, c);
    dst.T.conditional_assign(src.T, c);
}

}  // namespace edwards25519
