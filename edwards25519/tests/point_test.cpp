// Group operations against the reference library on prime-order points,
// decompression against Euler's criterion in big integers, and small-order behaviour against naive
// repeated additions.
#include <gtest/gtest.h>

#include "edwards25519/point.hpp"
#include "oracle.hpp"
#include "torsion.hpp"

using namespace edwards25519;
using oracle::Bytes32;
using oracle::Mpz;

namespace {

using namespace torsion;

TEST(Point, AddSubDoubleNegateMatchReference) {
    for (int i = 0; i < 200; ++i) {
        const Bytes32 a = reference_random_point(), b = reference_random_point();
        const EdwardsPoint p = decode(a), q = decode(b);
        Bytes32 want{};
        ASSERT_EQ(crypto_core_ed25519_add(want.data(), a.data(), b.data()), 0);
        EXPECT_EQ((p + q).compress().bytes, want);
        ASSERT_EQ(crypto_core_ed25519_sub(want.data(), a.data(), b.data()), 0);
        EXPECT_EQ((p - q).compress().bytes, want);
        ASSERT_EQ(crypto_core_ed25519_add(want.data(), a.data(), a.data()), 0);
        EXPECT_EQ(p.double_point().compress().bytes, want);
        Bytes32 negated = a;
        negated[31] ^= 0x80;  // x != 0 for points of order l
        EXPECT_EQ((-p).compress().bytes, negated);
        EXPECT_TRUE((p + -p).is_identity().declassify());
        EXPECT_FALSE(p.is_identity().declassify());
    }
}

TEST(Point, VariableBaseMatchesReference) {
    std::uint8_t eight[32] = {8};
    for (int i = 0; i < 50; ++i) {
        const Bytes32 a = reference_random_point();
        const Scalar s = random_reduced_scalar();
        Bytes32 want{};
        ASSERT_EQ(crypto_scalarmult_ed25519_noclamp(want.data(), s.to_bytes().data(), a.data()), 0);
        EXPECT_EQ(decode(a).mul(s).compress().bytes, want);
        ASSERT_EQ(crypto_scalarmult_ed25519_noclamp(want.data(), eight, a.data()), 0);
        EXPECT_EQ(decode(a).mul_by_cofactor().compress().bytes, want);
    }
}

// s (P + T) for P of order l, T of order 8 and unreduced s equals
// (s mod l) P from the reference library plus (s mod 8) T by repeated addition.
TEST(Point, VariableBaseOnMixedPointsIsExact) {
    const EdwardsPoint t8 = decode(oracle::hex32(kOrder8Hex));
    for (int i = 0; i < 40; ++i) {
        const Bytes32 a = reference_random_point();
        const Scalar s = Scalar::from_bits(oracle::random32().data());
        const Scalar s_mod_l = Scalar::from_bytes_mod_order(s.to_bytes().data());
        Bytes32 sp{};
        ASSERT_EQ(crypto_scalarmult_ed25519_noclamp(sp.data(), s_mod_l.to_bytes().data(), a.data()), 0);
        const EdwardsPoint want = decode(sp) + repeated_sum(t8, s.to_bytes()[0] % 8);
        EXPECT_EQ((decode(a) + t8).mul(s), want);
        EXPECT_EQ((decode(a) + t8).mul(s).compress().bytes, want.compress().bytes);
    }
}

// s (8 P): (8 s mod l) P from the reference library for P of order l, the
// same for P plus any point of order dividing 8, and the identity for the
// small-order points themselves, with unreduced s too.
TEST(Point, ClearedMultiplicationDropsTheSmallOrderPart) {
    const auto torsion = torsion_points();
    const std::uint8_t eight_bytes[32] = {8};
    const Scalar eight = Scalar::from_bits(eight_bytes);
    for (int i = 0; i < 20; ++i) {
        const Bytes32 a = reference_random_point();
        const Scalar s = i % 2 == 0 ? random_reduced_scalar() : Scalar::from_bits(oracle::random32().data());
        Bytes32 want{};
        ASSERT_EQ(crypto_scalarmult_ed25519_noclamp(want.data(), (s * eight).to_bytes().data(), a.data()), 0);
        for (const EdwardsPoint& t : torsion) {
            EXPECT_EQ((decode(a) + t).mul_cleared(s).compress().bytes, want);
            EXPECT_TRUE(t.mul_cleared(s).is_identity().declassify());
        }
    }
}

TEST(Point, TorsionPointsHaveTheirOrders) {
    const auto torsion = torsion_points();
    for (std::size_t k = 0; k < 8; ++k) {
        std::size_t order = 1;
        while (order <= 8 && !repeated_sum(torsion[k], order).is_identity().declassify()) ++order;
        EXPECT_EQ(order, 8 / std::gcd(k, std::size_t{8})) << k;
        EXPECT_TRUE(torsion[k].is_on_curve());
    }
    EXPECT_EQ(torsion[0].compress().bytes, oracle::hex32(kIdentityHex));
    EXPECT_EQ(torsion[4].compress().bytes, oracle::hex32(kOrder2Hex));
    const Bytes32 t2 = torsion[2].compress().bytes, t6 = torsion[6].compress().bytes;
    EXPECT_EQ(std::min(t2, t6), oracle::hex32(kOrder4Hex));
    EXPECT_EQ(std::max(t2, t6), oracle::hex32(kOrder4NegHex));
    for (const EdwardsPoint& t : torsion) EXPECT_TRUE(t.mul_by_cofactor().is_identity().declassify());
}

// The masked selection gives every 8-torsion point, each for one index mod 8.
TEST(Point, EightTorsionSelectsEveryTorsionPoint) {
    const auto torsion = torsion_points();
    for (std::uint8_t index = 0; index < 32; ++index) {
        EXPECT_EQ(EdwardsPoint::eight_torsion(index).compress().bytes, torsion[index % 8].compress().bytes)
            << int(index);
    }
    EXPECT_EQ(EdwardsPoint::eight_torsion(1).compress().bytes, oracle::hex32(kOrder8Hex));
}

TEST(Point, TorsionFreeExactlyWithoutSmallOrderComponent) {
    const auto torsion = torsion_points();
    for (int i = 0; i < 8; ++i) {
        const EdwardsPoint prime = decode(reference_random_point());
        EXPECT_TRUE(prime.is_torsion_free().declassify());
        for (std::size_t k = 1; k < 8; ++k) EXPECT_FALSE((prime + torsion[k]).is_torsion_free().declassify()) << k;
    }
    EXPECT_TRUE(EdwardsPoint::identity().is_torsion_free().declassify());
    for (std::size_t k = 1; k < 8; ++k) EXPECT_FALSE(torsion[k].is_torsion_free().declassify());
}

// Unreduced scalars times small-order and mixed points, against double-and-add.
TEST(Point, VariableBaseOnSmallOrderPointsMatchesDoubleAndAdd) {
    const auto torsion = torsion_points();
    const EdwardsPoint prime = decode(reference_random_point());
    std::vector<Bytes32> scalars = {Bytes32{}, oracle::hex32("ff"), ones_scalar()};
    for (int i = 0; i < 10; ++i) scalars.push_back(oracle::random32());
    for (const Bytes32& b : scalars) {
        const Scalar s = Scalar::from_bits(b.data());
        for (const EdwardsPoint& t : torsion) {
            EXPECT_EQ(t.mul(s), double_and_add(t, s));
            EXPECT_EQ((t + prime).mul(s), double_and_add(t + prime, s));
        }
    }
}

TEST(Point, DecompressionMatchesEulerCriterion) {
    const Mpz p = oracle::field_prime();
    const Mpz d = Mpz(-121665) * powm(121666, p - 2, p) % p;
    for (int i = 0; i < 1000; ++i) {
        const Bytes32 b = oracle::random32();
        Bytes32 y_bytes = b;
        y_bytes[31] &= 0x7f;
        const Mpz y = Mpz::from_le(y_bytes.data(), 32);
        const Mpz ratio = (y * y - 1) * powm(d * y * y + 1, p - 2, p) % p;  // x^2
        const bool exists = !(powm(ratio, (p - 1) >> 1, p) == p - 1);
        const auto point = CompressedEdwardsY{b}.decompress();
        ASSERT_EQ(point.has_value(), exists);
        if (!exists) continue;
        EXPECT_TRUE(point->is_on_curve());
        const Mpz x = Mpz::from_le((point->X * point->Z.invert()).to_bytes().data(), 32);
        EXPECT_TRUE(x * x % p == ratio);
        EXPECT_EQ(x.odd() ? 1 : 0, b[31] >> 7);
        const bool canonical = y < p && !(x == 0 && b[31] >> 7);
        EXPECT_EQ(point->compress().bytes == b, canonical);
        if (crypto_core_ed25519_is_valid_point(b.data())) {
            EXPECT_EQ(point->compress().bytes, b);
        }
    }
}

// y in p..2^255-1 reads as y - p; x = 0 accepts either sign; y = 2 has no x.
TEST(Point, NonCanonicalAndEdgeEncodings) {
    const Mpz p = oracle::field_prime();
    for (long k = 0; k < 19; ++k) {
        const auto a = CompressedEdwardsY{(p + k).to_le32()}.decompress();
        const auto c = CompressedEdwardsY{Mpz(k).to_le32()}.decompress();
        ASSERT_EQ(a.has_value(), c.has_value()) << k;
        if (a) {
            EXPECT_EQ(*a, *c);
            EXPECT_EQ(a->compress().bytes, c->compress().bytes);
            EXPECT_EQ(a->compress().bytes[0], k);
        }
    }
    EXPECT_FALSE(CompressedEdwardsY{oracle::hex32("02")}.decompress().has_value());
    for (const std::string& hex : {kIdentityHex, kOrder2Hex}) {
        Bytes32 flipped = oracle::hex32(hex);
        flipped[31] ^= 0x80;
        const auto point = CompressedEdwardsY{flipped}.decompress();
        ASSERT_TRUE(point.has_value());
        EXPECT_EQ(point->compress().bytes, oracle::hex32(hex));
    }
}

TEST(Point, EqualityIsProjective) {
    const EdwardsPoint p = decode(reference_random_point()), q = decode(reference_random_point());
    const FieldElement lambda = FieldElement::from_bytes(oracle::random32());
    const EdwardsPoint scaled{p.X * lambda, p.Y * lambda, p.Z * lambda, p.T * lambda};
    EXPECT_TRUE(scaled == p);
    EXPECT_TRUE(scaled.is_on_curve());
    EXPECT_EQ(scaled.compress().bytes, p.compress().bytes);
    EXPECT_FALSE(p == q);
    EXPECT_FALSE((EdwardsPoint{p.X + FieldElement::one(), p.Y, p.Z, p.T}).is_on_curve());
    EXPECT_FALSE((EdwardsPoint{p.X, p.Y, p.Z, p.T + FieldElement::one()}).is_on_curve());
    EdwardsPoint r = p;
    EdwardsPoint::conditional_assign(r, q, Choice::from_bit(0));
    EXPECT_TRUE(r == p);
    EdwardsPoint::conditional_assign(r, q, Choice::from_bit(1));
    EXPECT_TRUE(r == q);
    EXPECT_EQ(EdwardsPoint::basepoint().compress().bytes,
              oracle::hex32("5866666666666666666666666666666666666666666666666666666666666666"));
}

}  // namespace
