// The batch field against the scalar field, lane by lane: every operation
// on eight elements must give, in each lane, the canonical bytes the scalar
// FieldElement gives for that lane's inputs. Inputs mix random values with
// the edges of the representation (0, 1, p - 1, p, values from p to
// 2^255 - 1, all-ones limbs), and long chains feed outputs back as inputs so
// that the limb bounds of every operation are exercised.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "edwards25519/batch/batch.hpp"
#include "edwards25519/field.hpp"
#include "batch_inputs.hpp"

using namespace edwards25519;
using batch_inputs::Bytes32;
namespace b = edwards25519::batch;

namespace {

using Lanes = std::array<FieldElement, b::kLanes>;

class BatchField : public ::testing::Test {
protected:
    void SetUp() override {
        if (!b::available()) GTEST_SKIP() << "no AVX-512 IFMA on this CPU";
    }
};

// Little-endian bytes of small edge values and of p + k.
Bytes32 p_plus(int k) {
    Bytes32 out{};
    out.fill(0xff);
    out[31] = 0x7f;
    // 2^255 - 1 = p + 18; subtract 18 - k from the low byte.
    out[0] = static_cast<std::uint8_t>(0xff - (18 - k));
    return out;
}

std::vector<Bytes32> edge_bytes() {
    std::vector<Bytes32> out;
    Bytes32 zero{};
    out.push_back(zero);
    Bytes32 one{};
    one[0] = 1;
    out.push_back(one);
    for (int k = -2; k <= 18; ++k) out.push_back(p_plus(k));  // p - 2 .. 2^255 - 1
    Bytes32 top = zero;
    top[31] = 0x80;  // bit 255 only: reads as 0
    out.push_back(top);
    Bytes32 all = zero;
    all.fill(0xff);  // 2^256 - 1: bit 255 dropped
    out.push_back(all);
    Bytes32 limbs{};  // every radix-2^52 limb 2^52 - 1 below bit 255 except the top
    limbs.fill(0xff);
    limbs[31] = 0x00;
    out.push_back(limbs);
    return out;
}

// Eight inputs: edges first, then random ones, in a rotating lane order.
std::vector<std::array<Bytes32, b::kLanes>> input_sets(std::size_t random_sets) {
    std::vector<Bytes32> pool = edge_bytes();
    std::vector<std::array<Bytes32, b::kLanes>> sets;
    for (std::size_t s = 0; s < pool.size(); ++s) {
        std::array<Bytes32, b::kLanes> set;
        for (std::size_t i = 0; i < b::kLanes; ++i) set[i] = pool[(s + 3 * i) % pool.size()];
        sets.push_back(set);
    }
    for (std::size_t s = 0; s < random_sets; ++s) {
        std::array<Bytes32, b::kLanes> set;
        for (auto& x : set) x = batch_inputs::random32();
        sets.push_back(set);
    }
    return sets;
}

b::FieldBatch from_bytes(const std::array<Bytes32, b::kLanes>& set) {
    const std::uint8_t* ptrs[b::kLanes];
    for (std::size_t i = 0; i < b::kLanes; ++i) ptrs[i] = set[i].data();
    return b::field_from_bytes(ptrs);
}

Lanes scalar_lanes(const std::array<Bytes32, b::kLanes>& set) {
    Lanes out;
    for (std::size_t i = 0; i < b::kLanes; ++i) out[i] = FieldElement::from_bytes(set[i]);
    return out;
}

std::array<Bytes32, b::kLanes> bytes_of(const b::FieldBatch& a) {
    std::array<Bytes32, b::kLanes> out;
    std::uint8_t* ptrs[b::kLanes];
    for (std::size_t i = 0; i < b::kLanes; ++i) ptrs[i] = out[i].data();
    b::field_to_bytes(a, ptrs);
    return out;
}

void expect_lanes(const b::FieldBatch& got, const Lanes& want, const char* what) {
    const auto bytes = bytes_of(got);
    for (std::size_t i = 0; i < b::kLanes; ++i) EXPECT_EQ(bytes[i], want[i].to_bytes()) << what << " lane " << i;
}

std::uint8_t mask_of(const std::array<Choice, b::kLanes>& c) {
    std::uint8_t m = 0;
    for (std::size_t i = 0; i < b::kLanes; ++i) m = static_cast<std::uint8_t>(m | (c[i].bit() << i));
    return m;
}

TEST_F(BatchField, BytesRoundTripCanonically) {
    for (const auto& set : input_sets(50)) {
        const b::FieldBatch a = from_bytes(set);
        expect_lanes(a, scalar_lanes(set), "from_bytes");
        Lanes lanes;
        b::field_to_lanes(a, lanes);
        expect_lanes(b::field_from_lanes(lanes), scalar_lanes(set), "lane conversion");
    }
}

TEST_F(BatchField, ArithmeticMatchesScalar) {
    const auto sets = input_sets(60);
    for (std::size_t s = 0; s + 1 < sets.size(); ++s) {
        const b::FieldBatch x = from_bytes(sets[s]), y = from_bytes(sets[s + 1]);
        const Lanes xs = scalar_lanes(sets[s]), ys = scalar_lanes(sets[s + 1]);
        Lanes sum, diff, prod, sq, negated;
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            sum[i] = xs[i] + ys[i];
            diff[i] = xs[i] - ys[i];
            prod[i] = xs[i] * ys[i];
            sq[i] = xs[i].square();
            negated[i] = -xs[i];
        }
        expect_lanes(b::add(x, y), sum, "add");
        expect_lanes(b::sub(x, y), diff, "sub");
        expect_lanes(b::mul(x, y), prod, "mul");
        expect_lanes(b::square(x), sq, "square");
        expect_lanes(b::neg(x), negated, "neg");
    }
}

// Outputs fed back as inputs a thousand times: a bound that one operation
// exceeds shows up as a wrong lane a few steps later.
TEST_F(BatchField, LongChainsStayExact) {
    const auto sets = input_sets(4);
    for (std::size_t s = 0; s + 1 < sets.size(); s += 3) {
        b::FieldBatch x = from_bytes(sets[s]), y = from_bytes(sets[s + 1]);
        Lanes xs = scalar_lanes(sets[s]), ys = scalar_lanes(sets[s + 1]);
        for (int step = 0; step < 1000; ++step) {
            switch (step % 5) {
                case 0:
                    x = b::mul(x, y);
                    for (std::size_t i = 0; i < b::kLanes; ++i) xs[i] = xs[i] * ys[i];
                    break;
                case 1:
                    y = b::sub(y, x);
                    for (std::size_t i = 0; i < b::kLanes; ++i) ys[i] = ys[i] - xs[i];
                    break;
                case 2:
                    x = b::square(b::add(x, y));
                    for (std::size_t i = 0; i < b::kLanes; ++i) xs[i] = (xs[i] + ys[i]).square();
                    break;
                case 3:
                    y = b::mul(b::neg(y), b::add(x, x));
                    for (std::size_t i = 0; i < b::kLanes; ++i) ys[i] = (-ys[i]) * (xs[i] + xs[i]);
                    break;
                default:
                    x = b::add(b::sub(x, y), b::add(y, y));
                    for (std::size_t i = 0; i < b::kLanes; ++i) xs[i] = (xs[i] - ys[i]) + (ys[i] + ys[i]);
                    break;
            }
        }
        expect_lanes(x, xs, "chain x");
        expect_lanes(y, ys, "chain y");
    }
}

TEST_F(BatchField, PredicatesSelectionAndNegationMatchScalar) {
    const auto sets = input_sets(40);
    for (std::size_t s = 0; s + 1 < sets.size(); ++s) {
        const b::FieldBatch x = from_bytes(sets[s]), y = from_bytes(sets[s + 1]);
        const Lanes xs = scalar_lanes(sets[s]), ys = scalar_lanes(sets[s + 1]);
        std::array<Choice, b::kLanes> neg{}, zero{}, eq_self{}, eq_other{};
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            neg[i] = xs[i].is_negative();
            zero[i] = xs[i].is_zero();
            eq_self[i] = xs[i].ct_eq(xs[i] + FieldElement::zero());
            eq_other[i] = xs[i].ct_eq(ys[i]);
        }
        EXPECT_EQ(b::is_negative(x), mask_of(neg));
        EXPECT_EQ(b::is_zero(x), mask_of(zero));
        EXPECT_EQ(b::equal(x, b::add(x, b::field_broadcast(FieldElement::zero()))), mask_of(eq_self));
        EXPECT_EQ(b::equal(x, y), mask_of(eq_other));
        const std::uint8_t choose = static_cast<std::uint8_t>(s * 37 + 11);
        Lanes selected, negated;
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            const Choice c = Choice::from_bit(static_cast<std::uint8_t>((choose >> i) & 1));
            selected[i] = FieldElement::select(xs[i], ys[i], c);
            negated[i] = xs[i];
            negated[i].conditional_negate(c);
        }
        expect_lanes(b::select(x, y, choose), selected, "select");
        expect_lanes(b::conditional_negate(x, choose), negated, "conditional_negate");
    }
    // p and 0 are the same element: zero, equal, not negative.
    std::array<Bytes32, b::kLanes> set{};
    for (std::size_t i = 0; i < b::kLanes; i += 2) set[i] = p_plus(0);
    const b::FieldBatch pz = from_bytes(set);
    EXPECT_EQ(b::is_zero(pz), b::kAllLanes);
    EXPECT_EQ(b::is_negative(pz), 0);
}

TEST_F(BatchField, InversionMatchesScalar) {
    for (const auto& set : input_sets(10)) {
        const Lanes xs = scalar_lanes(set);
        Lanes inv;
        for (std::size_t i = 0; i < b::kLanes; ++i) inv[i] = xs[i].invert();
        expect_lanes(b::invert(from_bytes(set)), inv, "invert");
    }
}

// Squares, non-squares, u = 0 and v = 0 in every lane position.
TEST_F(BatchField, SqrtRatioMatchesScalar) {
    auto sets = input_sets(16);
    const std::size_t n = sets.size();
    for (std::size_t s = 0; s < n; ++s) {
        std::array<Bytes32, b::kLanes> u_set = sets[s], v_set = sets[(s + 1) % n];
        u_set[s % b::kLanes] = Bytes32{};                // u = 0
        v_set[(s + 3) % b::kLanes] = Bytes32{};          // v = 0
        Lanes us = scalar_lanes(u_set), vs = scalar_lanes(v_set);
        // Lane 5: u a square times v, so that u / v is a square.
        us[5] = vs[5] * us[5].square();
        const b::FieldBatch u = b::field_from_lanes(us), v = b::field_from_lanes(vs);
        std::array<Choice, b::kLanes> ok{};
        Lanes roots;
        for (std::size_t i = 0; i < b::kLanes; ++i) std::tie(ok[i], roots[i]) = FieldElement::sqrt_ratio_i(us[i], vs[i]);
        b::LaneMask was_square = 0;
        expect_lanes(b::sqrt_ratio_i(u, v, was_square), roots, "sqrt_ratio_i");
        EXPECT_EQ(was_square, mask_of(ok));
        EXPECT_TRUE((was_square >> 5) & 1);
    }
}

}  // namespace
