// Each batch backend's field kernels against the scalar field, lane by lane:
// every operation on a backend's lanes must give, in each lane, the
// canonical bytes the scalar FieldElement gives for that lane's inputs.
// Inputs mix random values with the edges of the representations (0, 1,
// p - 1, p, values from p to 2^255 - 1, bit 255 set, radix-2^51 limbs at
// their bound 2^52 - 1), a different one in each lane, and chains feed
// outputs back as inputs.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "batch_backends.hpp"
#include "batch_inputs.hpp"
#include "edwards25519/field.hpp"

namespace {

using edwards25519::FieldElement;
using batch_inputs::Bytes32;
using batch_inputs::p_plus;
namespace b = edwards25519::batch;
using Lanes = std::array<FieldElement, b::kMaxLanes>;
using ByteLanes = std::array<Bytes32, b::kMaxLanes>;

std::vector<Bytes32> edge_bytes() {
    std::vector<Bytes32> out{Bytes32{}};
    Bytes32 one{};
    one[0] = 1;
    out.push_back(one);
    for (int k = -2; k <= 18; ++k) out.push_back(p_plus(k));
    Bytes32 top{};
    top[31] = 0x80;  // bit 255 alone: reads as 0
    out.push_back(top);
    Bytes32 all;
    all.fill(0xff);  // 2^256 - 1: reads as 2^255 - 1
    out.push_back(all);
    Bytes32 low{};
    low.fill(0xff);
    low[31] = 0;  // 2^248 - 1
    out.push_back(low);
    return out;
}

// Elements whose radix-2^51 limbs are at the bound every FieldElement keeps
// (below 2^52), which no byte string decodes to.
std::vector<FieldElement> edge_limbs() {
    constexpr std::uint64_t top = (std::uint64_t{1} << 52) - 1, full = (std::uint64_t{1} << 51) - 1;
    return {FieldElement{{top, top, top, top, top}}, FieldElement{{top, 0, 0, 0, 0}},
            FieldElement{{0, 0, 0, 0, top}}, FieldElement{{full - 18, full, full, full, full}},
            FieldElement{{top, full, top, full, top}}};
}

class BatchFieldTest : public batch_backends::BackendTest {
protected:
    // Sets of lanes() elements: the edges in a rotating lane order, then
    // random ones.
    std::vector<Lanes> input_sets(std::size_t random_sets) const {
        std::vector<FieldElement> pool;
        for (const Bytes32& e : edge_bytes()) pool.push_back(FieldElement::from_bytes(e));
        for (const FieldElement& e : edge_limbs()) pool.push_back(e);
        std::vector<Lanes> sets;
        for (std::size_t s = 0; s < pool.size(); ++s) {
            Lanes set{};
            for (std::size_t i = 0; i < lanes(); ++i) set[i] = pool[(s + 3 * i) % pool.size()];
            sets.push_back(set);
        }
        for (std::size_t s = 0; s < random_sets; ++s) {
            Lanes set{};
            for (std::size_t i = 0; i < lanes(); ++i) set[i] = FieldElement::from_bytes(batch_inputs::random32());
            sets.push_back(set);
        }
        return sets;
    }

    Lanes op(b::FieldOp which, const Lanes& x, const Lanes& y) const {
        Lanes out{};
        kernels().field_op(which, x.data(), y.data(), out.data());
        return out;
    }

    void expect_lanes(const Lanes& got, const Lanes& want, const std::string& what) const {
        for (std::size_t i = 0; i < lanes(); ++i) {
            EXPECT_EQ(got[i].to_bytes(), want[i].to_bytes()) << what << ", lane " << i;
        }
    }

    template <class Fn>
    Lanes per_lane(Fn&& fn) const {
        Lanes out{};
        for (std::size_t i = 0; i < lanes(); ++i) out[i] = fn(i);
        return out;
    }

    template <class Fn>
    std::uint32_t mask_of(Fn&& fn) const {
        std::uint32_t m = 0;
        for (std::size_t i = 0; i < lanes(); ++i) m |= static_cast<std::uint32_t>(fn(i).bit()) << i;
        return m;
    }
};

TEST_P(BatchFieldTest, BytesDecodeAndEncodeCanonically) {
    std::vector<Bytes32> pool = edge_bytes();
    for (int k = 0; k < 20; ++k) pool.push_back(batch_inputs::random32());
    for (std::size_t s = 0; s < pool.size(); ++s) {
        ByteLanes in{}, out{};
        const std::uint8_t* in_ptrs[b::kMaxLanes];
        std::uint8_t* out_ptrs[b::kMaxLanes];
        std::uint32_t top_bits = 0;
        for (std::size_t i = 0; i < lanes(); ++i) {
            in[i] = pool[(s + 5 * i) % pool.size()];
            in_ptrs[i] = in[i].data();
            out_ptrs[i] = out[i].data();
            top_bits |= static_cast<std::uint32_t>(in[i][31] >> 7) << i;
        }
        const std::uint32_t sign = static_cast<std::uint32_t>(s * 0x9e37u) & all_lanes();
        EXPECT_EQ(kernels().field_bytes(in_ptrs, sign, out_ptrs), top_bits) << "set " << s;
        for (std::size_t i = 0; i < lanes(); ++i) {
            Bytes32 want = FieldElement::from_bytes(in[i]).to_bytes();
            want[31] = static_cast<std::uint8_t>(want[31] | (((sign >> i) & 1) << 7));
            EXPECT_EQ(out[i], want) << "set " << s << ", lane " << i;
        }
    }
}

TEST_P(BatchFieldTest, ArithmeticMatchesScalar) {
    const std::vector<Lanes> sets = input_sets(30);
    for (std::size_t s = 0; s < sets.size(); ++s) {
        const Lanes& x = sets[s];
        const Lanes& y = sets[(s + 1) % sets.size()];
        const std::string at = "set " + std::to_string(s);
        expect_lanes(op(b::FieldOp::add, x, y), per_lane([&](std::size_t i) { return x[i] + y[i]; }), "add, " + at);
        expect_lanes(op(b::FieldOp::sub, x, y), per_lane([&](std::size_t i) { return x[i] - y[i]; }), "sub, " + at);
        expect_lanes(op(b::FieldOp::mul, x, y), per_lane([&](std::size_t i) { return x[i] * y[i]; }), "mul, " + at);
        expect_lanes(op(b::FieldOp::square, x, y), per_lane([&](std::size_t i) { return x[i].square(); }),
                     "square, " + at);
        expect_lanes(op(b::FieldOp::neg, x, y), per_lane([&](std::size_t i) { return -x[i]; }), "neg, " + at);
        // 0, p and the limb edges among the inputs: 0 inverts to 0.
        expect_lanes(op(b::FieldOp::invert, x, y), per_lane([&](std::size_t i) { return x[i].invert(); }),
                     "invert, " + at);
    }
}

// Kernel outputs fed back as kernel inputs: whatever limbs a backend hands
// out must be accepted by every operation and stay exact.
TEST_P(BatchFieldTest, ChainedOutputsStayExact) {
    const std::vector<Lanes> sets = input_sets(2);
    for (std::size_t s = 0; s + 1 < sets.size(); s += 4) {
        Lanes x = sets[s], y = sets[s + 1], xs = x, ys = y;
        for (int step = 0; step < 200; ++step) {
            switch (step % 5) {
                case 0:
                    x = op(b::FieldOp::mul, x, y);
                    xs = per_lane([&](std::size_t i) { return xs[i] * ys[i]; });
                    break;
                case 1:
                    y = op(b::FieldOp::sub, y, x);
                    ys = per_lane([&](std::size_t i) { return ys[i] - xs[i]; });
                    break;
                case 2:
                    x = op(b::FieldOp::square, op(b::FieldOp::add, x, y), y);
                    xs = per_lane([&](std::size_t i) { return (xs[i] + ys[i]).square(); });
                    break;
                case 3:
                    y = op(b::FieldOp::mul, op(b::FieldOp::neg, y, y), op(b::FieldOp::add, x, x));
                    ys = per_lane([&](std::size_t i) { return (-ys[i]) * (xs[i] + xs[i]); });
                    break;
                default:
                    x = op(b::FieldOp::add, op(b::FieldOp::sub, x, y), op(b::FieldOp::add, y, y));
                    xs = per_lane([&](std::size_t i) { return (xs[i] - ys[i]) + (ys[i] + ys[i]); });
                    break;
            }
        }
        expect_lanes(x, xs, "chain x, set " + std::to_string(s));
        expect_lanes(y, ys, "chain y, set " + std::to_string(s));
    }
}

TEST_P(BatchFieldTest, PredicatesMatchScalar) {
    const std::vector<Lanes> sets = input_sets(20);
    for (std::size_t s = 0; s < sets.size(); ++s) {
        const Lanes& x = sets[s];
        Lanes y = sets[(s + 7) % sets.size()];
        y[s % lanes()] = x[s % lanes()];  // one equal lane at least
        std::uint32_t zero = 0, negative = 0, equal = 0;
        kernels().predicates(x.data(), y.data(), &zero, &negative, &equal);
        EXPECT_EQ(zero, mask_of([&](std::size_t i) { return x[i].is_zero(); })) << "set " << s;
        EXPECT_EQ(negative, mask_of([&](std::size_t i) { return x[i].is_negative(); })) << "set " << s;
        EXPECT_EQ(equal, mask_of([&](std::size_t i) { return x[i].ct_eq(y[i]); })) << "set " << s;
        EXPECT_NE((equal >> (s % lanes())) & 1, 0u) << "set " << s;
    }
    // The same values written differently: p and 0, p + 1 and 1, 2^255 - 1
    // and 18, and limbs at their bound against the reduced value.
    const std::vector<FieldElement> limbs = edge_limbs();
    const std::array<std::pair<FieldElement, FieldElement>, 4> same = {
        std::pair{FieldElement::from_bytes(p_plus(0)), FieldElement::zero()},
        std::pair{FieldElement::from_bytes(p_plus(1)), FieldElement::one()},
        std::pair{FieldElement::from_bytes(p_plus(18)), FieldElement::from_u64(18)},
        std::pair{limbs[0], FieldElement::from_bytes(limbs[0].to_bytes())}};
    for (std::size_t shift = 0; shift < same.size(); ++shift) {
        Lanes x{}, y{};
        for (std::size_t i = 0; i < lanes(); ++i) {
            x[i] = same[(i + shift) % same.size()].first;
            y[i] = same[(i + shift) % same.size()].second;
        }
        std::uint32_t zero = 0, negative = 0, equal = 0;
        kernels().predicates(x.data(), y.data(), &zero, &negative, &equal);
        EXPECT_EQ(equal, all_lanes()) << "shift " << shift;
        EXPECT_EQ(zero, mask_of([&](std::size_t i) { return y[i].is_zero(); })) << "shift " << shift;
        EXPECT_EQ(negative, mask_of([&](std::size_t i) { return y[i].is_negative(); })) << "shift " << shift;
    }
}

// u = 0, v = 0, both, squares and non-squares at every lane position.
TEST_P(BatchFieldTest, SqrtRatioMatchesScalar) {
    const std::vector<Lanes> sets = input_sets(12);
    const std::size_t n = sets.size();
    std::uint32_t seen_square = 0, seen_non_square = 0;
    for (std::size_t s = 0; s < n; ++s) {
        Lanes u = sets[s], v = sets[(s + 1) % n];
        for (std::size_t i = 0; i < lanes(); ++i) {
            const FieldElement w2 = FieldElement::from_bytes(batch_inputs::random32()).square();
            const FieldElement v_nonzero = v[i].is_zero().declassify() ? FieldElement::one() : v[i];
            switch ((s + i) % 6) {
                case 1: u[i] = FieldElement::zero(); break;
                case 2: v[i] = FieldElement::zero(); break;
                case 3: u[i] = v[i] = FieldElement::zero(); break;
                case 4: u[i] = v[i] * w2; break;  // u / v a square
                case 5:                           // u / v = 2 w^2, not a square
                    v[i] = v_nonzero;
                    u[i] = FieldElement::from_u64(2) * v[i] * w2;
                    break;
                default: break;  // as drawn
            }
        }
        Lanes roots{};
        const std::uint32_t was_square = kernels().sqrt_ratio_i(u.data(), v.data(), roots.data());
        Lanes want{};
        std::uint32_t want_square = 0;
        for (std::size_t i = 0; i < lanes(); ++i) {
            const auto [ok, root] = FieldElement::sqrt_ratio_i(u[i], v[i]);
            want[i] = root;
            want_square |= static_cast<std::uint32_t>(ok.bit()) << i;
        }
        EXPECT_EQ(was_square, want_square) << "set " << s;
        expect_lanes(roots, want, "sqrt_ratio_i, set " + std::to_string(s));
        seen_square |= want_square;
        seen_non_square |= ~want_square & all_lanes();
    }
    // Both outcomes came up in every lane.
    EXPECT_EQ(seen_square, all_lanes());
    EXPECT_EQ(seen_non_square, all_lanes());
}

INSTANTIATE_FOR_EVERY_BACKEND(BatchFieldTest);

}  // namespace
