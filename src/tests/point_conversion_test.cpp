// Uniform point bytes and the Elligator 2 maps beneath them: fixed vectors,
// the building blocks against an independent big-integer computation, and
// the fast conversions against the plain composition of the building blocks.
#include <gtest/gtest.h>
#include <gmpxx.h>

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "edwards25519/field.hpp"
#include "edwards25519/point.hpp"
#include "edwards25519/table.hpp"
#include "src/point_conversion.hpp"
#include "src/ciphertexts.hpp"
#include "support/rng.hpp"

namespace {

using edwards25519::CompressedEdwardsY;
using edwards25519::EdwardsPoint;
using edwards25519::FieldElement;
using Bytes32 = std::array<std::uint8_t, 32>;

// A Curve25519 u-coordinate, canonical bytes.
struct MontgomeryPoint {
    std::array<std::uint8_t, 32> bytes{};
};

constexpr std::array<std::uint8_t, 2> kBits{0, 1};
namespace pc = ostrelline::point_conversion;

Bytes32 hex(const std::string& text) {
    Bytes32 out{};
    for (std::size_t i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    return out;
}

std::string hex_of(const Bytes32& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes32 random_bytes32() {
    Bytes32 out{};
    support::random_bytes(out);
    return out;
}

// Any point of the curve (all cosets of the prime-order subgroup), taken by
// decompressing random bytes.
EdwardsPoint random_curve_point() {
    for (;;) {
        if (auto p = CompressedEdwardsY{random_bytes32()}.decompress()) return *p;
    }
}

EdwardsPoint random_subgroup_point() { return edwards25519::ED25519_BASEPOINT_TABLE().mul(ostrelline::random_scalar()); }

Bytes32 u_bytes(std::uint64_t u) { return FieldElement::from_u64(u).to_bytes(); }

const Bytes32 kOrderTwoCompressed = hex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");

EdwardsPoint order_two_point() { return *CompressedEdwardsY{kOrderTwoCompressed}.decompress(); }

// The building blocks one by one, on the scalar field: the Elligator 2 map
// for Curve25519 and its inverse, and the birational maps.
namespace blocks {

using edwards25519::Choice;
namespace constants = edwards25519::constants;

// w = -A / (1 + 2 r^2); u = w when w^3 + A w^2 + w is a square, else -w - A.
// r and -r give the same u; the u always lies on the curve, not its twist.
MontgomeryPoint elligator_encode(const FieldElement& r);

// The non-negative square root of -u / (2 (u + A)) for choice_bit 0, of
// -(u + A) / (2 u) for choice_bit 1; nothing when -2 u (u + A) is zero or not
// a square (independently of the bit). choice_bit must be 0 or 1.
std::optional<FieldElement> elligator_decode(const MontgomeryPoint& u,
                                                           std::uint8_t choice_bit);

// u = (1 + y) / (1 - y); the identity and (0, -1) both give u = 0.
MontgomeryPoint to_montgomery(const EdwardsPoint& p);

// y = (u - 1) / (u + 1) with the sign of x given by `sign` (0 or 1); nothing
// for u = -1 and when y has no x.
std::optional<EdwardsPoint> to_edwards(const MontgomeryPoint& u,
                                                     std::uint8_t sign);


MontgomeryPoint elligator_encode(const FieldElement& r) {
    const FieldElement& a = constants::MONTGOMERY_A;
    const FieldElement one = FieldElement::one();
    // 1 + 2 r^2 is never 0: -1/2 is not a square modulo p.
    FieldElement w = -a * (one + r.square2()).invert();
    FieldElement e = w * (w.square() + a * w + one);
    Choice e_is_square = FieldElement::sqrt_ratio_i(e, one).first;
    FieldElement u = FieldElement::select(-w - a, w, e_is_square);
    return MontgomeryPoint{u.to_bytes()};
}

std::optional<FieldElement> elligator_decode(const MontgomeryPoint& u_bytes, std::uint8_t choice_bit) {
    const FieldElement& a = constants::MONTGOMERY_A;
    FieldElement u = FieldElement::from_bytes(u_bytes.bytes);
    FieldElement u_plus_a = u + a;
    FieldElement n = -(u + u) * u_plus_a;
    // s = +-sqrt(1 / n); false for n = 0 (u = 0 or u = -A) and for non-squares.
    auto [has_root, s] = FieldElement::sqrt_ratio_i(FieldElement::one(), n);
    if (!has_root.declassify()) return std::nullopt;
    FieldElement rho = s * FieldElement::select(u, u_plus_a, Choice::from_bit(choice_bit));
    rho.conditional_negate(rho.is_negative());
    return rho;
}

// u = (1 + y) / (1 - y) = (Z + Y) / (Z - Y); invert(0) = 0 maps the points
// with y = 1 (the identity) to 0, and (0, -1) has Z + Y = 0.
MontgomeryPoint to_montgomery(const EdwardsPoint& p) {
    const FieldElement u = (p.Z + p.Y) * (p.Z - p.Y).invert();
    return MontgomeryPoint{u.to_bytes()};
}

std::optional<EdwardsPoint> to_edwards(const MontgomeryPoint& u_bytes, std::uint8_t sign) {
    const FieldElement one = FieldElement::one();
    FieldElement u = FieldElement::from_bytes(u_bytes.bytes);
    FieldElement u_plus_one = u + one;
    // No point of the curve has u = -1 (there v^2 = A - 2, a non-square).
    if (u_plus_one.is_zero().declassify()) return std::nullopt;
    CompressedEdwardsY compressed{((u - one) * u_plus_one.invert()).to_bytes()};
    compressed.bytes[31] = static_cast<std::uint8_t>(compressed.bytes[31] ^ (sign << 7));
    return compressed.decompress();
}

}  // namespace blocks

// The plain composition of the building blocks, step by step.
std::optional<Bytes32> reference_to_uniform_bytes(const EdwardsPoint& p, std::uint8_t bit) {
    std::optional<FieldElement> rho = blocks::elligator_decode(blocks::to_montgomery(p), bit);
    if (!rho) return std::nullopt;
    Bytes32 out = rho->to_bytes();
    std::optional<EdwardsPoint> q = blocks::to_edwards(blocks::elligator_encode(FieldElement::from_bytes(out)), 0);
    if (!q) throw std::logic_error("no point for the representative");
    if (!(*q == p)) out[31] |= 0x80;
    return out;
}

std::optional<EdwardsPoint> reference_from_uniform_bytes(const Bytes32& bytes) {
    return blocks::to_edwards(blocks::elligator_encode(FieldElement::from_bytes(bytes)),
                          static_cast<std::uint8_t>(bytes[31] >> 7));
}

// Big-integer arithmetic modulo p, independent of the field code.
struct Gmp {
    mpz_class p{"57896044618658097711785492504343953926634992332820282019728792003956564819949"};
    mpz_class a{486662};

    mpz_class mod(const mpz_class& x) const {
        mpz_class r;
        mpz_mod(r.get_mpz_t(), x.get_mpz_t(), p.get_mpz_t());
        return r;
    }
    mpz_class inv(const mpz_class& x) const {
        mpz_class r;
        mpz_class m = mod(x);
        if (mpz_invert(r.get_mpz_t(), m.get_mpz_t(), p.get_mpz_t()) == 0) return 0;
        return r;
    }
    int legendre(const mpz_class& x) const {
        mpz_class m = mod(x);
        return mpz_legendre(m.get_mpz_t(), p.get_mpz_t());
    }
    // Little-endian, bit 255 ignored, reduced.
    mpz_class read(Bytes32 bytes) const {
        bytes[31] &= 0x7f;
        mpz_class z;
        mpz_import(z.get_mpz_t(), 32, -1, 1, 0, 0, bytes.data());
        return mod(z);
    }
    Bytes32 write(const mpz_class& x) const {
        Bytes32 out{};
        mpz_class m = mod(x);
        std::size_t count = 0;
        mpz_export(out.data(), &count, -1, 1, 0, 0, m.get_mpz_t());
        return out;
    }
    // w = -A / (1 + 2 r^2); u = w if w^3 + A w^2 + w is a square (or 0), else -w - A.
    mpz_class elligator(const mpz_class& r) const {
        mpz_class w = mod(-a * inv(1 + 2 * r * r));
        mpz_class e = mod(w * w * w + a * w * w + w);
        return legendre(e) >= 0 ? w : mod(-w - a);
    }
};

// ---------------------------------------------------------------- Elligator maps

TEST(ElligatorMaps, EncodeMatchesBigIntegers) {
    Gmp gmp;
    int w_branch = 0;
    for (int i = 0; i < 2000; ++i) {
        Bytes32 r_bytes = i < 4 ? gmp.write(mpz_class(i) - 1) : random_bytes32();  // p - 1, 0, 1, 2 first
        mpz_class r = gmp.read(r_bytes);
        mpz_class u = gmp.elligator(r);
        w_branch += u == gmp.mod(-gmp.a * gmp.inv(1 + 2 * r * r));
        FieldElement fr = FieldElement::from_bytes(r_bytes);
        ASSERT_EQ(hex_of(blocks::elligator_encode(fr).bytes), hex_of(gmp.write(u))) << hex_of(r_bytes);
        ASSERT_EQ(blocks::elligator_encode(-fr).bytes, blocks::elligator_encode(fr).bytes);
    }
    EXPECT_EQ(blocks::elligator_encode(FieldElement::zero()).bytes, Bytes32{});
    EXPECT_NEAR(w_branch, 1000, 200);  // both branches exercised
}

// The decoding exists for both bits or neither, exactly when -2u(u + A) is a
// nonzero square; the two roots differ, are even, and encode back to u.
TEST(ElligatorMaps, DecodeInvertsEncode) {
    Gmp gmp;
    const Bytes32 minus_a = (-edwards25519::constants::MONTGOMERY_A).to_bytes();
    int found = 0;
    for (int i = 0; i < 1000; ++i) {
        Bytes32 u_raw = i == 0 ? Bytes32{} : i == 1 ? minus_a : blocks::to_montgomery(random_curve_point()).bytes;
        mpz_class u = gmp.read(u_raw);
        bool expected = gmp.legendre(-2 * u * (u + gmp.a)) == 1;
        std::optional<FieldElement> roots[2] = {blocks::elligator_decode(MontgomeryPoint{u_raw}, 0),
                                                blocks::elligator_decode(MontgomeryPoint{u_raw}, 1)};
        ASSERT_EQ(roots[0].has_value(), expected) << hex_of(u_raw);
        ASSERT_EQ(roots[1].has_value(), expected) << hex_of(u_raw);
        if (!expected) continue;
        ++found;
        for (const std::optional<FieldElement>& rho : roots) {
            ASSERT_EQ(rho->to_bytes()[0] & 1, 0) << "root not sign-normalised";
            ASSERT_EQ(blocks::elligator_encode(*rho).bytes, u_raw);
        }
        ASSERT_NE(roots[0]->to_bytes(), roots[1]->to_bytes());
    }
    EXPECT_NEAR(found, 500, 100);
}

TEST(ElligatorMaps, BirationalMapsAtSpecialPoints) {
    const EdwardsPoint b = EdwardsPoint::basepoint();
    EXPECT_EQ(blocks::to_montgomery(b).bytes, u_bytes(9));
    EXPECT_EQ(blocks::to_montgomery(EdwardsPoint::identity()).bytes, Bytes32{});
    EXPECT_EQ(blocks::to_montgomery(order_two_point()).bytes, Bytes32{});
    EXPECT_TRUE(*blocks::to_edwards(MontgomeryPoint{u_bytes(9)}, 0) == b);
    EXPECT_TRUE(*blocks::to_edwards(MontgomeryPoint{u_bytes(9)}, 1) == -b);
    // u = 0 is (0, -1) for both signs; no point has u = -1.
    const Bytes32 minus_one = hex("ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f");
    for (std::uint8_t sign : kBits) {
        EXPECT_EQ(blocks::to_edwards(MontgomeryPoint{Bytes32{}}, sign)->compress().bytes, kOrderTwoCompressed);
        EXPECT_FALSE(blocks::to_edwards(MontgomeryPoint{minus_one}, sign).has_value());
    }
}

// ---------------------------------------------------------------- uniform point bytes

TEST(UniformBytes, BasePointEncodings) {
    const EdwardsPoint b = EdwardsPoint::basepoint();
    const std::string bit0 = "4c4eb9ef825cd577702ed4d8f55eb3d139e2ccf0f1ff80a9f6d065fd25f5804b";
    const std::string bit1 = "3489d2523e24d6bb0f7514be6289094e619902b813ef892018585e3b1f0f5654";
    const struct {
        EdwardsPoint point;
        std::uint8_t bit;
        std::string bytes;
    } cases[] = {{b, 0, bit0}, {b, 1, bit1}, {-b, 0, bit0.substr(0, 62) + "cb"}, {-b, 1, bit1.substr(0, 62) + "d4"}};
    for (const auto& c : cases) {
        std::optional<Bytes32> out = pc::point_to_uniform_bytes(c.point, c.bit);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(hex_of(*out), c.bytes);
        EXPECT_TRUE(pc::uniform_bytes_to_point(hex(c.bytes)) == c.point) << c.bytes;
    }
    // The drawn bit picks one of the two.
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) seen.insert(hex_of(pc::point_to_uniform_bytes(b).value()));
    EXPECT_EQ(seen, (std::set<std::string>{bit0, bit1}));
}

TEST(UniformBytes, FixedDecodings) {
    auto decoded = [](const std::string& bytes) { return hex_of(pc::uniform_bytes_to_point(hex(bytes)).compress().bytes); };
    const std::string order_two = hex_of(kOrderTwoCompressed);
    EXPECT_EQ(decoded("0000000000000000000000000000000000000000000000000000000000000000"), order_two);
    EXPECT_EQ(decoded("0000000000000000000000000000000000000000000000000000000000000080"), order_two);
    EXPECT_EQ(decoded("0100000000000000000000000000000000000000000000000000000000000000"),
              "5278d545cf9c859bb5ce01dc6c8b8d4e3a02271ca6d529c835e05a64981fcb0c");
    EXPECT_EQ(decoded("0100000000000000000000000000000000000000000000000000000000000080"),
              "5278d545cf9c859bb5ce01dc6c8b8d4e3a02271ca6d529c835e05a64981fcb8c");
    EXPECT_EQ(decoded("ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"),
              "008a91a51834a1aa276c5091406f0514e4ca3a7cfc70b5d7b87d84e7686857d4");
}

TEST(UniformBytes, NoRepresentativeForIdentityAndOrderTwo) {
    for (const EdwardsPoint& p : {EdwardsPoint::identity(), order_two_point()}) {
        for (std::uint8_t bit : kBits) EXPECT_FALSE(pc::point_to_uniform_bytes(p, bit).has_value());
        EXPECT_FALSE(pc::point_to_uniform_bytes(p).has_value());
    }
}

// Over points of every coset: the fast conversion gives the bytes of the
// plain composition, both bits work or neither does, the bytes decode back to
// the point, and negation flips exactly the sign flag.
TEST(UniformBytes, RoundTripsOverRandomPoints) {
    constexpr int kPoints = 10000;
    int with_representative = 0, bit_254_set = 0;
    for (int i = 0; i < kPoints; ++i) {
        const EdwardsPoint p = i % 2 ? random_curve_point() : random_subgroup_point();
        const std::optional<Bytes32> outs[2] = {pc::point_to_uniform_bytes(p, 0), pc::point_to_uniform_bytes(p, 1)};
        ASSERT_EQ(outs[0].has_value(), outs[1].has_value());
        for (std::uint8_t bit : kBits) {
            if (i < 2000) {
                ASSERT_EQ(outs[bit], reference_to_uniform_bytes(p, bit)) << hex_of(p.compress().bytes);
            }
        }
        if (!outs[0]) continue;
        ++with_representative;
        for (std::uint8_t bit : kBits) {
            Bytes32 out = *outs[bit];
            ASSERT_TRUE(pc::uniform_bytes_to_point(out) == p) << hex_of(out);
            ASSERT_EQ(out[31] & 0x80, p.compress().bytes[31] & 0x80);
            out[31] ^= 0x80;
            ASSERT_EQ(pc::point_to_uniform_bytes(-p, bit), out);
            out[31] &= 0x7f;
            ASSERT_EQ(out[0] & 1, 0);
            ASSERT_EQ(FieldElement::from_bytes(out).to_bytes(), out) << "not canonical";
            ASSERT_NE(out, Bytes32{});
            bit_254_set += out[31] >> 6;
        }
        Bytes32 zero = *outs[0], one = *outs[1];
        zero[31] &= 0x7f;
        one[31] &= 0x7f;
        ASSERT_NE(zero, one);
    }
    EXPECT_NEAR(with_representative, kPoints / 2, 300);  // 6 standard deviations
    EXPECT_GT(bit_254_set, 0);
}

// Every 32-byte string decodes, to the point of the plain composition.
TEST(UniformBytes, DecodingMatchesCompositionForAnyBytes) {
    for (int i = 0; i < 3000; ++i) {
        Bytes32 bytes = random_bytes32();
        std::optional<EdwardsPoint> expected = reference_from_uniform_bytes(bytes);
        ASSERT_TRUE(expected.has_value());
        ASSERT_TRUE(pc::uniform_bytes_to_point(bytes) == *expected) << hex_of(bytes);
    }
}

}  // namespace
