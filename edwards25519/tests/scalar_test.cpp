// Scalars mod l against big-integer arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <new>

#include "edwards25519/scalar.hpp"
#include "oracle.hpp"

using namespace edwards25519;
using oracle::Mpz;

namespace {

const Mpz L = oracle::group_order();

Mpz value(const Scalar& s) { return Mpz::from_le(s.to_bytes().data(), 32); }

// Byte strings of n bytes: random ones and edges around multiples of l and
// the all-ones value.
std::vector<std::vector<std::uint8_t>> inputs(std::size_t n) {
    std::vector<std::vector<std::uint8_t>> out;
    out.push_back(std::vector<std::uint8_t>(n, 0));
    out.push_back(std::vector<std::uint8_t>(n, 0xff));
    for (long k : {1L, 2L, 15L}) {
        for (long delta : {-1L, 0L, 1L}) {
            std::vector<std::uint8_t> b(n, 0);
            mpz_export(b.data(), nullptr, -1, 1, 0, 0, (L * k + delta).get());
            out.push_back(b);
        }
    }
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::uint8_t> b(n);
        support::random_bytes(b);
        out.push_back(b);
    }
    return out;
}

TEST(Scalar, WideReductionMatchesOracle) {
    for (const auto& b : inputs(64))
        ASSERT_TRUE(value(Scalar::from_bytes_mod_order_wide(b.data())) == Mpz::from_le(b.data(), 64) % L);
}

TEST(Scalar, ReductionMatchesOracle) {
    for (const auto& b : inputs(32))
        ASSERT_TRUE(value(Scalar::from_bytes_mod_order(b.data())) == Mpz::from_le(b.data(), 32) % L);
}

TEST(Scalar, FromBitsClearsBit255WithoutReducing) {
    for (const auto& b : inputs(32)) {
        ASSERT_TRUE(value(Scalar::from_bits(b.data())) == Mpz::from_le(b.data(), 32) % Mpz::pow2(255));
    }
    const std::vector<std::uint8_t> ones(32, 0xff);
    EXPECT_TRUE(L < value(Scalar::from_bits(ones.data())));
}

// Reduced operands and unreduced ones up to 2^255 - 1.
TEST(Scalar, ProductsAndSumsMatchOracle) {
    const auto bytes = inputs(32);
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        const bool reduce = i % 2 == 0;
        const Scalar a = reduce ? Scalar::from_bytes_mod_order(bytes[i].data()) : Scalar::from_bits(bytes[i].data());
        const Scalar b = Scalar::from_bits(bytes[i + 1].data());
        ASSERT_TRUE(value(a * b) == value(a) * value(b) % L);
        ASSERT_TRUE(value(a + b) == (value(a) + value(b)) % L);
    }
}

// Signed digits of every window the tables use rebuild the value and stay
// within [-2^(W-1), 2^(W-1)), the top digit up to 2^(W-1): random values
// below 2^255 and the edges 0, 1, l - 1 and 2^255 - 1.
template <unsigned W>
void expect_signed_digits(const Scalar& s) {
    const auto digits = s.signed_digits<W>();
    const int half = 1 << (W - 1);
    Mpz sum;
    for (std::size_t i = digits.size(); i-- > 0;) {
        ASSERT_GE(digits[i], -half) << "W " << W << ", digit " << i;
        ASSERT_LE(digits[i], i + 1 == digits.size() ? half : half - 1) << "W " << W << ", digit " << i;
        sum = sum * (1 << W) + digits[i];
    }
    ASSERT_TRUE(sum == value(s)) << "W " << W;
}

TEST(Scalar, SignedDigitsRebuildTheValue) {
    auto bytes = inputs(32);
    std::vector<std::uint8_t> zero(32, 0), one(32, 0), ones(32, 0xff);
    one[0] = 1;
    bytes.push_back(zero);
    bytes.push_back(one);
    bytes.push_back(ones);
    std::vector<Scalar> scalars;
    for (auto& b : bytes) {
        b[31] &= 0x7f;  // every value below 2^255
        scalars.push_back(Scalar::from_bits(b.data()));
    }
    // l - 1, little-endian.
    scalars.push_back(Scalar::from_bits(oracle::hex32("ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010").data()));
    for (const Scalar& s : scalars) {
        expect_signed_digits<4>(s);
        expect_signed_digits<5>(s);
        expect_signed_digits<6>(s);
        const auto radix_16 = s.as_radix_16();
        const auto four = s.signed_digits<4>();
        ASSERT_TRUE(std::equal(radix_16.begin(), radix_16.end(), four.begin()));
    }
}

TEST(Scalar, DestructorWipesTheBytes) {
    alignas(Scalar) unsigned char storage[sizeof(Scalar)];
    const std::vector<std::uint8_t> ones(32, 0xff);
    Scalar* s = new (storage) Scalar(Scalar::from_bits(ones.data()));
    EXPECT_EQ(s->to_bytes()[0], 0xff);
    s->~Scalar();
    for (unsigned char c : storage) EXPECT_EQ(c, 0);
}

}  // namespace
