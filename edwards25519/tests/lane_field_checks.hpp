// The checks of lane_field_cases.hpp: each operation of a lane field in
// every lane against the scalar field. Included after lane_field_cases.hpp
// and after the field's header, inside the target region of the field's
// instruction set where there is one.
#pragma once

#include "lane_field_cases.hpp"

namespace lane_field_cases {
namespace {

Bytes32 bit(unsigned k) {
    Bytes32 out{};
    out[k / 8] = static_cast<std::uint8_t>(1u << (k % 8));
    return out;
}

// p + k (k from -2 to 18: p - 2 .. 2^255 - 1).
Bytes32 p_plus(int k) {
    Bytes32 out;
    out.fill(0xff);
    out[31] = 0x7f;
    out[0] = static_cast<std::uint8_t>(0xff - (18 - k));
    return out;
}

// 2^w - 1 for w = 2^bits: all ones below bit w.
Bytes32 ones_below(unsigned w) {
    Bytes32 out{};
    for (unsigned k = 0; k < w; ++k) out[k / 8] = static_cast<std::uint8_t>(out[k / 8] | (1u << (k % 8)));
    return out;
}

std::vector<Bytes32> edge_bytes() {
    std::vector<Bytes32> out{Bytes32{}, bit(0)};
    for (int k = -2; k <= 18; ++k) out.push_back(p_plus(k));
    out.push_back(bit(255));  // reads as 0
    Bytes32 all;
    all.fill(0xff);  // 2^256 - 1: bit 255 dropped
    out.push_back(all);
    // The limb boundaries of radix 2^25.5 and of radix 2^51 / 2^52.
    for (const unsigned w : {26u, 51u, 52u, 77u, 102u, 104u, 128u, 153u, 156u, 179u, 204u, 208u, 230u}) {
        out.push_back(bit(w));
        out.push_back(ones_below(w));
    }
    Bytes32 alternating;
    alternating.fill(0xaa);
    alternating[31] = 0x2a;
    out.push_back(alternating);
    return out;
}

Bytes32 random32(std::mt19937_64& rng) {
    Bytes32 out;
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

template <class F>
using LaneBytes = std::array<Bytes32, F::kLanes>;
template <class F>
using Scalars = std::array<FieldElement, F::kLanes>;

// Every edge in every lane position, lanes holding different edges, then
// random sets.
template <class F>
std::vector<LaneBytes<F>> input_sets(std::size_t random_sets, std::uint64_t seed) {
    const std::vector<Bytes32> pool = edge_bytes();
    std::vector<LaneBytes<F>> sets;
    for (std::size_t s = 0; s < pool.size(); ++s) {
        LaneBytes<F> set;
        for (std::size_t i = 0; i < F::kLanes; ++i) set[i] = pool[(s + 5 * i) % pool.size()];
        sets.push_back(set);
    }
    std::mt19937_64 rng(seed);
    for (std::size_t s = 0; s < random_sets; ++s) {
        LaneBytes<F> set;
        for (auto& x : set) x = random32(rng);
        sets.push_back(set);
    }
    return sets;
}

template <class F>
typename F::Element load(const LaneBytes<F>& set) {
    const std::uint8_t* ptrs[F::kLanes];
    for (std::size_t i = 0; i < F::kLanes; ++i) ptrs[i] = set[i].data();
    return F::from_bytes(ptrs);
}

template <class F>
Scalars<F> scalars(const LaneBytes<F>& set) {
    Scalars<F> out;
    for (std::size_t i = 0; i < F::kLanes; ++i) out[i] = FieldElement::from_bytes(set[i]);
    return out;
}

template <class F>
LaneBytes<F> bytes_of(const typename F::Element& a, typename F::Mask sign) {
    LaneBytes<F> out;
    std::uint8_t* ptrs[F::kLanes];
    for (std::size_t i = 0; i < F::kLanes; ++i) ptrs[i] = out[i].data();
    F::to_bytes(a, sign, ptrs);
    return out;
}

template <class F>
void expect_lanes(const typename F::Element& got, const Scalars<F>& want, const std::string& what) {
    const LaneBytes<F> bytes = bytes_of<F>(got, F::mask_from_bits(0));
    for (std::size_t i = 0; i < F::kLanes; ++i) EXPECT_EQ(bytes[i], want[i].to_bytes()) << what << ", lane " << i;
}

template <class F, class Op>
Scalars<F> per_lane(Op op) {
    Scalars<F> out;
    for (std::size_t i = 0; i < F::kLanes; ++i) out[i] = op(i);
    return out;
}

template <class F, class Pred>
std::uint32_t bits_where(Pred pred) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < F::kLanes; ++i) bits |= static_cast<std::uint32_t>(pred(i) ? 1 : 0) << i;
    return bits;
}

template <class F>
struct Checks {
    static void round_trips() {
        const std::uint32_t all = F::all_lanes().declassify();
        EXPECT_EQ(all, static_cast<std::uint32_t>((std::uint64_t{1} << F::kLanes) - 1));
        std::size_t s = 0;
        for (const auto& set : input_sets<F>(40, 1)) {
            const auto a = load<F>(set);
            const Scalars<F> want = scalars<F>(set);
            expect_lanes<F>(a, want, "from_bytes");
            Scalars<F> lanes;
            F::to_lanes(a, lanes.data());
            for (std::size_t i = 0; i < F::kLanes; ++i) EXPECT_EQ(lanes[i].to_bytes(), want[i].to_bytes()) << "to_lanes";
            expect_lanes<F>(F::from_lanes(want.data()), want, "from_lanes");
            // Bit 255 of the input per lane, and bit 255 of the output where asked.
            const std::uint8_t* ptrs[F::kLanes];
            for (std::size_t i = 0; i < F::kLanes; ++i) ptrs[i] = set[i].data();
            EXPECT_EQ(F::top_bits(ptrs).declassify(), bits_where<F>([&](std::size_t i) { return set[i][31] >> 7; }));
            const std::uint32_t sign = static_cast<std::uint32_t>(s * 2654435761u) & all;
            const LaneBytes<F> signed_out = bytes_of<F>(a, F::mask_from_bits(sign));
            for (std::size_t i = 0; i < F::kLanes; ++i) {
                Bytes32 expected = want[i].to_bytes();
                expected[31] = static_cast<std::uint8_t>(expected[31] | (((sign >> i) & 1) << 7));
                EXPECT_EQ(signed_out[i], expected) << "to_bytes with sign, lane " << i;
            }
            // Lane `lane` as a table entry, broadcast to every lane.
            const std::size_t lane = s % F::kLanes;
            const auto entry = F::broadcast(F::limbs(a, lane));
            expect_lanes<F>(entry, per_lane<F>([&](std::size_t) { return want[lane]; }), "limbs/broadcast");
            expect_lanes<F>(F::broadcast(want[lane]), per_lane<F>([&](std::size_t) { return want[lane]; }),
                            "broadcast");
            ++s;
        }
        expect_lanes<F>(F::zero(), per_lane<F>([](std::size_t) { return FieldElement::zero(); }), "zero");
        expect_lanes<F>(F::one(), per_lane<F>([](std::size_t) { return FieldElement::one(); }), "one");
    }

    static void arithmetic() {
        const auto sets = input_sets<F>(60, 2);
        for (std::size_t s = 0; s + 1 < sets.size(); ++s) {
            const auto x = load<F>(sets[s]), y = load<F>(sets[s + 1]);
            const Scalars<F> xs = scalars<F>(sets[s]), ys = scalars<F>(sets[s + 1]);
            const auto lanes = [&](auto op) { return per_lane<F>([&](std::size_t i) { return op(xs[i], ys[i]); }); };
            using E = const FieldElement&;
            expect_lanes<F>(F::add(x, y), lanes([](E a, E b) { return a + b; }), "add");
            expect_lanes<F>(F::sub(x, y), lanes([](E a, E b) { return a - b; }), "sub");
            expect_lanes<F>(F::neg(x), lanes([](E a, E) { return -a; }), "neg");
            expect_lanes<F>(F::mul(x, y), lanes([](E a, E b) { return a * b; }), "mul");
            expect_lanes<F>(F::square(x), lanes([](E a, E) { return a.square(); }), "square");
            expect_lanes<F>(F::pow2k(x, 1), lanes([](E a, E) { return a.pow2k(1); }), "pow2k 1");
            expect_lanes<F>(F::pow2k(y, 7), lanes([](E, E b) { return b.pow2k(7); }), "pow2k 7");
            const auto sum = F::add_loose(x, y), diff = F::sub_loose(x, y);
            expect_lanes<F>(F::tighten(sum), lanes([](E a, E b) { return a + b; }), "tighten(add_loose)");
            expect_lanes<F>(F::tighten(diff), lanes([](E a, E b) { return a - b; }), "tighten(sub_loose)");
            expect_lanes<F>(F::mul(sum, y), lanes([](E a, E b) { return (a + b) * b; }), "mul(loose, tight)");
            expect_lanes<F>(F::mul(sum, diff), lanes([](E a, E b) { return (a + b) * (a - b); }), "mul(loose, loose)");
            expect_lanes<F>(F::square(diff), lanes([](E a, E b) { return (a - b).square(); }), "square(loose)");
        }
    }

// Outputs fed back as inputs a thousand times: a bound that one operation
    // exceeds shows up as a wrong lane a few steps later.
    static void long_chains() {
        const auto sets = input_sets<F>(3, 3);
        for (std::size_t s = 0; s + 1 < sets.size(); s += 7) {
            auto x = load<F>(sets[s]), y = load<F>(sets[s + 1]);
            Scalars<F> xs = scalars<F>(sets[s]), ys = scalars<F>(sets[s + 1]);
            for (int step = 0; step < 1000; ++step) {
                for (std::size_t i = 0; i < F::kLanes; ++i) {
                    switch (step % 6) {
                        case 0: xs[i] = xs[i] * ys[i]; break;
                        case 1: ys[i] = ys[i] - xs[i]; break;
                        case 2: xs[i] = (xs[i] + ys[i]).square(); break;
                        case 3: ys[i] = (-ys[i]) * (xs[i] - ys[i]); break;
                        case 4: xs[i] = (xs[i] - ys[i]) + (ys[i] + ys[i]); break;
                        default: ys[i] = (xs[i] + ys[i]) * (xs[i] - ys[i]); break;
                    }
                }
                switch (step % 6) {
                    case 0: x = F::mul(x, y); break;
                    case 1: y = F::sub(y, x); break;
                    case 2: x = F::square(F::add_loose(x, y)); break;
                    case 3: y = F::mul(F::sub_loose(x, y), F::neg(y)); break;
                    case 4: x = F::add(F::sub(x, y), F::add(y, y)); break;
                    default: y = F::mul(F::add_loose(x, y), F::sub_loose(x, y)); break;
                }
            }
            expect_lanes<F>(x, xs, "chain x");
            expect_lanes<F>(y, ys, "chain y");
        }
    }

    // Radix 2^25.5 only (limbs below 2^26 or 2^25 plus 2^17 when tight, three
    // times that plus 2^18 when loose): elements with every limb
    // just below the tight bound (in some lanes; other lanes random), their lazy sums
    // and differences at the loose bound, into every operation that takes them.
    // The expected values are computed from the limbs with the scalar field.
    static void limbs_at_bounds() {
        constexpr int n = F::kLimbs;  // radix 2^25.5: 26 and 25 bits alternately
        std::mt19937_64 rng(4);
        const auto value_of = [](const typename F::Limbs& l) {
            FieldElement v = FieldElement::zero();
            unsigned weight = 0;
            for (int i = 0; i < n; ++i) {
                v = v + FieldElement::from_u64(l.v[i]) * FieldElement::from_bytes(bit(weight));
                weight += (i & 1) ? 25 : 26;
            }
            return v;
        };
        typename F::Limbs top;
        for (int i = 0; i < n; ++i) top.v[i] = (1u << ((i & 1) ? 25 : 26)) + (1u << 17) - 1;  // below the tight bound
        for (std::uint32_t pattern = 0; pattern < 4; ++pattern) {
            // Lanes whose bit is set in `lanes_at_top` hold `top`, the others random values.
            const std::uint32_t lanes_at_top = pattern == 0 ? F::all_lanes().declassify() : static_cast<std::uint32_t>(rng());
            const auto random_set = input_sets<F>(1, 10 + pattern).back();
            const auto random = load<F>(random_set);
            const auto x = F::select(random, F::broadcast(top), F::mask_from_bits(lanes_at_top));
            const Scalars<F> rs = scalars<F>(random_set);
            const Scalars<F> xs = per_lane<F>([&](std::size_t i) { return (lanes_at_top >> i) & 1 ? value_of(top) : rs[i]; });
            const auto y = F::broadcast(top);
            const FieldElement t = value_of(top);
            const auto lanes = [&](auto op) { return per_lane<F>([&](std::size_t i) { return op(xs[i]); }); };
            using E = const FieldElement&;
            expect_lanes<F>(x, xs, "at the bound");
            expect_lanes<F>(F::add(x, y), lanes([&](E a) { return a + t; }), "add");
            expect_lanes<F>(F::sub(x, y), lanes([&](E a) { return a - t; }), "sub");
            expect_lanes<F>(F::sub(F::zero(), x), lanes([&](E a) { return -a; }), "0 - x");
            expect_lanes<F>(F::neg(x), lanes([&](E a) { return -a; }), "neg");
            expect_lanes<F>(F::mul(x, y), lanes([&](E a) { return a * t; }), "mul");
            expect_lanes<F>(F::square(x), lanes([&](E a) { return a.square(); }), "square");
            // a + 2p - 0: the largest difference; a + a: the largest sum.
            const auto big_diff = F::sub_loose(x, F::zero()), big_sum = F::add_loose(x, y);
            expect_lanes<F>(F::tighten(big_diff), xs, "tighten(sub_loose)");
            expect_lanes<F>(F::tighten(big_sum), lanes([&](E a) { return a + t; }), "tighten(add_loose)");
            expect_lanes<F>(F::mul(big_diff, big_diff), lanes([&](E a) { return a.square(); }), "mul(loose, loose)");
            expect_lanes<F>(F::mul(big_sum, big_diff), lanes([&](E a) { return (a + t) * a; }), "mul(sum, diff)");
            expect_lanes<F>(F::mul(big_diff, y), lanes([&](E a) { return a * t; }), "mul(loose, tight)");
            expect_lanes<F>(F::square(big_diff), lanes([&](E a) { return a.square(); }), "square(loose diff)");
            expect_lanes<F>(F::square(big_sum), lanes([&](E a) { return (a + t).square(); }), "square(loose sum)");
            EXPECT_EQ(F::is_zero(x).declassify(), bits_where<F>([&](std::size_t i) { return xs[i].is_zero().declassify(); }));
        }
    }

    static void predicates_and_selection() {
        const auto sets = input_sets<F>(40, 5);
        const std::uint32_t all = F::all_lanes().declassify();
        for (std::size_t s = 0; s + 1 < sets.size(); ++s) {
            const auto x = load<F>(sets[s]), y = load<F>(sets[s + 1]);
            const Scalars<F> xs = scalars<F>(sets[s]), ys = scalars<F>(sets[s + 1]);
            const auto where = [&](auto pred) { return bits_where<F>([&](std::size_t i) { return pred(i); }); };
            EXPECT_EQ(F::is_zero(x).declassify(), where([&](std::size_t i) { return xs[i].is_zero().declassify(); }));
            EXPECT_EQ(F::is_negative(x).declassify(),
                      where([&](std::size_t i) { return xs[i].is_negative().declassify(); }));
            EXPECT_EQ(F::equal(x, y).declassify(), where([&](std::size_t i) { return xs[i].ct_eq(ys[i]).declassify(); }));
            EXPECT_EQ(F::equal(x, F::add(x, F::zero())).declassify(), all);
            const std::uint32_t choose = static_cast<std::uint32_t>((s * 0x9e3779b9u) >> 7) & all;
            expect_lanes<F>(F::select(x, y, F::mask_from_bits(choose)),
                            per_lane<F>([&](std::size_t i) { return (choose >> i) & 1 ? ys[i] : xs[i]; }), "select");
        }
        // p is zero, and not negative, in every lane.
        LaneBytes<F> set;
        for (std::size_t i = 0; i < F::kLanes; ++i) set[i] = i % 2 ? p_plus(0) : Bytes32{};
        EXPECT_EQ(F::is_zero(load<F>(set)).declassify(), all);
        EXPECT_EQ(F::is_negative(load<F>(set)).declassify(), 0u);
    }

    static void masks() {
        const std::uint32_t all = F::all_lanes().declassify();
        std::mt19937_64 rng(6);
        for (int t = 0; t < 200; ++t) {
            const std::uint32_t a = static_cast<std::uint32_t>(rng()) & all, b = static_cast<std::uint32_t>(rng()) & all;
            const auto ma = F::mask_from_bits(a), mb = F::mask_from_bits(b);
            EXPECT_EQ(ma.declassify(), a);
            EXPECT_EQ((ma & mb).declassify(), a & b);
            EXPECT_EQ((ma | mb).declassify(), a | b);
            EXPECT_EQ(ma.and_not(mb).declassify(), a & ~b);
        }
    }

// Digits -8..8, each lane a different digit; every |digit| asked for.
    static void radix_digits() {
        for (int s = 0; s < 17; ++s) {
            std::int8_t digits[F::kLanes];
            for (std::size_t i = 0; i < F::kLanes; ++i) digits[i] = static_cast<std::int8_t>((s + 7 * static_cast<int>(i)) % 17 - 8);
            const auto index = F::index(digits);
            EXPECT_EQ(F::index_negative(index).declassify(), bits_where<F>([&](std::size_t i) { return digits[i] < 0; }));
            for (unsigned k = 0; k <= 8; ++k) {
                EXPECT_EQ(F::index_is(index, k).declassify(), bits_where<F>([&](std::size_t i) {
                              return static_cast<unsigned>(digits[i] < 0 ? -digits[i] : digits[i]) == k;
                          })) << "k = " << k;
            }
        }
    }
};

}  // namespace
}  // namespace lane_field_cases
