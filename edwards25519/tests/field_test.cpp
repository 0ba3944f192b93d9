// GF(2^255 - 19) against big-integer arithmetic: random values, edge values and loose limbs.
#include <gtest/gtest.h>

#include "edwards25519/field.hpp"
#include "oracle.hpp"

using namespace edwards25519;
using oracle::Mpz;

namespace {

const Mpz P = oracle::field_prime();

// The value of the limbs, read as a big integer without going through to_bytes.
Mpz value_of_limbs(const FieldElement& a) {
    Mpz r;
    for (int i = 4; i >= 0; --i) r = r * Mpz::pow2(51) + Mpz(static_cast<long>(a.v[i]));
    return r % P;
}

Mpz value(const FieldElement& a) { return Mpz::from_le(a.to_bytes().data(), 32); }
FieldElement element(const Mpz& x) { return FieldElement::from_bytes((x % P).to_le32()); }

// Random values; 0, 1, p-1, p-2; limbs all at the loose maximum 2^52 - 1 or
// at 2^51 - 1, so that products carry through every limb; 2^k and 2^k - 1.
std::vector<FieldElement> samples() {
    std::vector<FieldElement> s = {FieldElement::zero(), FieldElement::one(), element(P - 1), element(P - 2)};
    const std::uint64_t m52 = (std::uint64_t{1} << 52) - 1, m51 = (std::uint64_t{1} << 51) - 1;
    s.push_back({{m52, m52, m52, m52, m52}});
    s.push_back({{m51, m51, m51, m51, m51}});
    s.push_back({{m52, 0, m52, 0, m52}});
    for (unsigned long k = 1; k < 255; k += 7) s.insert(s.end(), {element(Mpz::pow2(k)), element(Mpz::pow2(k) - 1)});
    for (int i = 0; i < 400; ++i) s.push_back(FieldElement::from_bytes(oracle::random32()));
    return s;
}

// Both readings of the result agree with the big-integer oracle and the limbs are loosely reduced.
void expect_value(const FieldElement& got, const Mpz& want) {
    const Mpz w = want % P;
    ASSERT_TRUE(value(got) == w);
    ASSERT_TRUE(value_of_limbs(got) == w);
    for (auto limb : got.v) ASSERT_LT(limb, std::uint64_t{1} << 52);
}

TEST(Field, FromBytesReducesAndIgnoresBit255) {
    for (long k : {-1L, 0L, 1L, 18L}) {  // p-1, p, p+1, 2^255-1, with and without bit 255
        for (int top : {0, 0x80}) {
            oracle::Bytes32 b = (P + k).to_le32();
            b[31] = static_cast<std::uint8_t>(b[31] | top);
            EXPECT_TRUE(value(FieldElement::from_bytes(b)) == (P + k) % P) << k;
        }
    }
    for (int i = 0; i < 2000; ++i) {
        oracle::Bytes32 b = oracle::random32();
        const auto got = FieldElement::from_bytes(b).to_bytes();
        b[31] &= 0x7f;
        ASSERT_EQ(got, (Mpz::from_le(b.data(), 32) % P).to_le32());
    }
}

TEST(Field, ArithmeticMatchesOracle) {
    const auto s = samples();
    const Mpz euler_exponent = (P - 5) >> 3;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const FieldElement& a = s[i];
        const Mpz A = value_of_limbs(a);
        for (std::size_t j = i; j < s.size(); j += 31) {
            const Mpz B = value_of_limbs(s[j]);
            expect_value(a + s[j], A + B);
            expect_value(a - s[j], A - B);
            expect_value(a * s[j], A * B);
        }
        expect_value(-a, Mpz(0L) - A);
        expect_value(a.square(), A * A);
        expect_value(a.square2(), A * A * 2);
        expect_value(a.pow2k(5), powm(A, 32, P));
        expect_value(a.invert(), powm(A, P - 2, P));  // 0 maps to 0
        expect_value(a.pow22523(), powm(A, euler_exponent, P));
        expect_value(a.abs(), A.odd() ? Mpz(0L) - A : A);
        EXPECT_EQ(a.is_negative().bit(), A.odd() ? 1 : 0);
        EXPECT_EQ(a.is_zero().bit(), A == 0 ? 1 : 0);
    }
}

TEST(Field, InverseOnManyValues) {
    for (int i = 0; i < 5000; ++i) {
        const FieldElement a = FieldElement::from_bytes(oracle::random32());
        expect_value(a.invert(), powm(value(a), P - 2, P));
    }
}

// Long chains of products of lazy sums and differences.
TEST(Field, ChainsMatchOracle) {
    FieldElement x = FieldElement::from_bytes(oracle::random32()), y = FieldElement::from_bytes(oracle::random32());
    Mpz X = value(x), Y = value(y);
    for (int i = 0; i < 5000; ++i) {
        const FieldElement nx = (x + y) * (x - y);
        y = (nx + x).square() - y;
        const Mpz NX = (X + Y) * (X - Y) % P;
        Y = ((NX + X) * (NX + X) - Y) % P;
        x = nx, X = NX;
        ASSERT_TRUE(value(x) == X && value(y) == Y) << i;
    }
}

TEST(Field, EqualitySelectionAndSwap) {
    const FieldElement a = FieldElement::from_bytes(oracle::random32()), b = FieldElement::from_bytes(oracle::random32());
    EXPECT_TRUE(FieldElement::from_bytes((P + 1).to_le32()).ct_eq(FieldElement::one()).declassify());
    EXPECT_TRUE(FieldElement::from_bytes(P.to_le32()).is_zero().declassify());
    EXPECT_FALSE(a.ct_eq(b).declassify());
    for (std::uint8_t c = 0; c < 2; ++c) {
        const Choice ch = Choice::from_bit(c);
        EXPECT_TRUE(FieldElement::select(a, b, ch).ct_eq(c ? b : a).declassify());
        FieldElement x = a, y = b;
        FieldElement::conditional_swap(x, y, ch);
        EXPECT_TRUE(x.ct_eq(c ? b : a).declassify() && y.ct_eq(c ? a : b).declassify());
        x = a;
        x.conditional_assign(b, ch);
        EXPECT_TRUE(x.ct_eq(c ? b : a).declassify());
        x = a;
        x.conditional_negate(ch);
        EXPECT_TRUE(x.ct_eq(c ? -a : a).declassify());
    }
}

TEST(Field, Constants) {
    const Mpz d = value(constants::EDWARDS_D);
    EXPECT_TRUE((d * 121666 + 121665) % P == 0);
    EXPECT_TRUE(value(constants::EDWARDS_D2) == d * 2 % P);
    EXPECT_TRUE(value(constants::SQRT_M1) == powm(2, (P - 1) >> 2, P));
    EXPECT_TRUE(value(constants::MONTGOMERY_A) == 486662);
}

// Flags against Euler's criterion: u/v is a square iff (u/v)^((p-1)/2) != -1.
TEST(Field, SqrtRatioMatchesEulerCriterion) {
    const Mpz i = powm(2, (P - 1) >> 2, P);
    auto check = [&](const FieldElement& u, const FieldElement& v) {
        const Mpz U = value(u), V = value(v);
        const auto [flag, r] = FieldElement::sqrt_ratio_i(u, v);
        const Mpz R = value(r);
        EXPECT_FALSE(R.odd());
        if (V == 0) {
            EXPECT_EQ(flag.bit(), U == 0 ? 1 : 0);
            EXPECT_TRUE(R == 0);
            return;
        }
        const bool square = !(powm(U * powm(V, P - 2, P), (P - 1) >> 1, P) == P - 1);
        ASSERT_EQ(flag.bit(), square ? 1 : 0);
        EXPECT_TRUE(R * R * V % P == (square ? U : U * i) % P);  // v r^2 = u, or i u when not square
    };
    const FieldElement zero = FieldElement::zero(), one = FieldElement::one();
    check(zero, zero);
    check(zero, one);
    check(one, zero);
    check(FieldElement::from_u64(2), one);  // 2 is not a square mod p
    check(FieldElement::from_u64(4), one);
    for (int k = 0; k < 500; ++k)
        check(FieldElement::from_bytes(oracle::random32()), FieldElement::from_bytes(oracle::random32()));
}

}  // namespace
