// GF(2^255 - 19) against GMP: random values, edge values and loose limbs.
#include <gtest/gtest.h>

#include "edwards25519/field.hpp"
#include "edwards25519/inverse.hpp"
#include "oracle.hpp"

using namespace edwards25519;
using oracle::Mpz;

namespace {

const Mpz P = oracle::field_prime();

Mpz mod_p(Mpz x) {
    mpz_mod(x.get(), x.get(), P.get());
    return x;
}

// The value of the limbs, read by GMP without going through to_bytes.
Mpz value_of_limbs(const FieldElement& a) {
    Mpz r;
    for (int i = 4; i >= 0; --i) {
        mpz_mul_2exp(r.get(), r.get(), 51);
        mpz_add_ui(r.get(), r.get(), a.v[i]);
    }
    return mod_p(r);
}

Mpz value(const FieldElement& a) {
    const auto b = a.to_bytes();
    return Mpz::from_le(b.data(), 32);
}

FieldElement element(const Mpz& x) { return FieldElement::from_bytes(mod_p(x).to_le32()); }

Mpz pow_mod(const Mpz& b, const Mpz& e) {
    Mpz r;
    mpz_powm(r.get(), b.get(), e.get(), P.get());
    return r;
}

Mpz offset_p(long k) {  // p + k
    Mpz r = P;
    if (k >= 0) mpz_add_ui(r.get(), r.get(), static_cast<unsigned long>(k));
    else mpz_sub_ui(r.get(), r.get(), static_cast<unsigned long>(-k));
    return r;
}

// Random values, the edges 0, 1, p-1, and elements whose limbs are all at
// the loosely reduced maximum 2^52 - 1 or at 2^51 - 1 (carries through every limb).
std::vector<FieldElement> samples() {
    std::vector<FieldElement> s = {FieldElement::zero(), FieldElement::one(), element(offset_p(-1)),
                                   element(offset_p(-2))};
    const std::uint64_t m52 = (std::uint64_t{1} << 52) - 1, m51 = (std::uint64_t{1} << 51) - 1;
    s.push_back({{m52, m52, m52, m52, m52}});
    s.push_back({{m51, m51, m51, m51, m51}});
    s.push_back({{m52, 0, m52, 0, m52}});
    for (int i = 0; i < 400; ++i) s.push_back(FieldElement::from_bytes(oracle::random32()));
    return s;
}

void expect_value(const FieldElement& got, const Mpz& want) {
    const Mpz w = mod_p(want);
    ASSERT_TRUE(value(got) == w);
    ASSERT_TRUE(value_of_limbs(got) == w);
    for (auto limb : got.v) ASSERT_LT(limb, std::uint64_t{1} << 52);
}

TEST(Field, FromBytesReducesAndIgnoresBit255) {
    // 0, 1, p-1, p, p+1, 2^255-1, each also with bit 255 set.
    for (long k : {-1L, 0L, 1L, 18L}) {
        for (int top : {0, 0x80}) {
            oracle::Bytes32 b = offset_p(k).to_le32();
            b[31] = static_cast<std::uint8_t>(b[31] | top);
            EXPECT_TRUE(value(FieldElement::from_bytes(b)) == mod_p(offset_p(k))) << k;
        }
    }
    for (int i = 0; i < 2000; ++i) {
        oracle::Bytes32 b = oracle::random32();
        const auto fe_bytes = FieldElement::from_bytes(b).to_bytes();
        b[31] &= 0x7f;
        ASSERT_EQ(fe_bytes, mod_p(Mpz::from_le(b.data(), 32)).to_le32());
    }
}

TEST(Field, ArithmeticMatchesGmp) {
    const auto s = samples();
    for (std::size_t i = 0; i < s.size(); ++i) {
        for (std::size_t j = i; j < s.size(); j += 37) {
            const FieldElement &a = s[i], &b = s[j];
            const Mpz A = value_of_limbs(a), B = value_of_limbs(b);
            Mpz r;
            mpz_add(r.get(), A.get(), B.get());
            expect_value(a + b, r);
            mpz_sub(r.get(), A.get(), B.get());
            expect_value(a - b, r);
            mpz_mul(r.get(), A.get(), B.get());
            expect_value(a * b, r);
        }
        const FieldElement& a = s[i];
        const Mpz A = value_of_limbs(a);
        Mpz r, neg_a;
        mpz_neg(neg_a.get(), A.get());
        expect_value(-a, neg_a);
        mpz_mul(r.get(), A.get(), A.get());
        expect_value(a.square(), r);
        mpz_mul_ui(r.get(), r.get(), 2);
        expect_value(a.square2(), r);
        expect_value(a.pow2k(5), pow_mod(A, Mpz("32")));
        expect_value(a.invert(), pow_mod(A, offset_p(-2)));  // 0 maps to 0
        Mpz e = offset_p(-5);
        mpz_fdiv_q_2exp(e.get(), e.get(), 3);
        expect_value(a.pow22523(), pow_mod(A, e));
        EXPECT_EQ(a.is_negative().bit(), mpz_odd_p(A.get()) ? 1 : 0);
        EXPECT_EQ(a.is_zero().bit(), mpz_sgn(A.get()) == 0 ? 1 : 0);
        expect_value(a.abs(), mpz_odd_p(A.get()) ? neg_a : A);
    }
}

// Long chains of products of sums and differences, as the point formulas use.
TEST(Field, ChainsMatchGmp) {
    FieldElement x = FieldElement::from_bytes(oracle::random32()), y = FieldElement::from_bytes(oracle::random32());
    Mpz X = value(x), Y = value(y);
    for (int i = 0; i < 5000; ++i) {
        const FieldElement nx = (x + y) * (x - y), ny = (nx + x).square() - y;
        Mpz s, d, t;
        mpz_add(s.get(), X.get(), Y.get());
        mpz_sub(d.get(), X.get(), Y.get());
        mpz_mul(t.get(), s.get(), d.get());
        Mpz NX = mod_p(t);
        mpz_add(s.get(), NX.get(), X.get());
        mpz_mul(s.get(), s.get(), s.get());
        mpz_sub(s.get(), s.get(), Y.get());
        x = nx, y = ny, X = NX, Y = mod_p(s);
        ASSERT_TRUE(value(x) == X && value(y) == Y) << i;
    }
}

TEST(Field, EqualitySelectionAndSwap) {
    const FieldElement a = FieldElement::from_bytes(oracle::random32()), b = FieldElement::from_bytes(oracle::random32());
    // 1 encoded as p + 1 is still 1.
    EXPECT_TRUE(FieldElement::from_bytes(offset_p(1).to_le32()).ct_eq(FieldElement::one()).declassify());
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
    Mpz t;
    mpz_mul_ui(t.get(), d.get(), 121666);
    mpz_add_ui(t.get(), t.get(), 121665);
    EXPECT_TRUE(mod_p(t) == Mpz("0"));
    mpz_mul_ui(t.get(), d.get(), 2);
    EXPECT_TRUE(value(constants::EDWARDS_D2) == mod_p(t));
    Mpz quarter = offset_p(-1);
    mpz_fdiv_q_2exp(quarter.get(), quarter.get(), 2);
    EXPECT_TRUE(value(constants::SQRT_M1) == pow_mod(Mpz("2"), quarter));
    EXPECT_TRUE(value(constants::MONTGOMERY_A) == Mpz("486662"));
}

// Flags against Euler's criterion: u/v is a square iff (u/v)^((p-1)/2) != -1.
TEST(Field, SqrtRatioMatchesEulerCriterion) {
    Mpz half = offset_p(-1);
    mpz_fdiv_q_2exp(half.get(), half.get(), 1);
    const Mpz i = value(constants::SQRT_M1);
    auto check = [&](const FieldElement& u, const FieldElement& v) {
        const Mpz U = value(u), V = value(v);
        const auto [flag, r] = FieldElement::sqrt_ratio_i(u, v);
        const Mpz R = value(r);
        EXPECT_FALSE(mpz_odd_p(R.get()));
        Mpz lhs, rhs;
        mpz_mul(lhs.get(), R.get(), R.get());
        mpz_mul(lhs.get(), lhs.get(), V.get());
        lhs = mod_p(lhs);
        if (mpz_sgn(V.get()) == 0) {
            EXPECT_EQ(flag.bit(), mpz_sgn(U.get()) == 0 ? 1 : 0);
            EXPECT_TRUE(R == Mpz("0"));
            return;
        }
        Mpz ratio = pow_mod(V, offset_p(-2));
        mpz_mul(ratio.get(), ratio.get(), U.get());
        const bool square = !(pow_mod(mod_p(ratio), half) == offset_p(-1));
        ASSERT_EQ(flag.bit(), square ? 1 : 0);
        mpz_mul(rhs.get(), U.get(), square ? Mpz("1").get() : i.get());
        EXPECT_TRUE(lhs == mod_p(rhs));  // v r^2 = u, or i u when not square
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

namespace {

// The divstep inversion against GMP, on random values and the edges.
TEST(Field, DivstepInverseMatchesGmp) {
    std::vector<FieldElement> inputs = samples();
    for (int k = 0; k < 255; ++k) {  // 2^k and 2^k - 1
        Mpz two_k;
        mpz_ui_pow_ui(two_k.get(), 2, static_cast<unsigned long>(k));
        inputs.push_back(element(two_k));
        mpz_sub_ui(two_k.get(), two_k.get(), 1);
        inputs.push_back(element(two_k));
    }
    for (int i = 0; i < 5000; ++i) inputs.push_back(FieldElement::from_bytes(oracle::random32()));
    for (const FieldElement& a : inputs)
        expect_value(detail::invert_divsteps(a), pow_mod(value_of_limbs(a), offset_p(-2)));
}

}  // namespace
