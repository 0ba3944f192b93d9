// The lane path of the stream operations (kernels.hpp) over any lane field:
// entries in groups of F::kLanes, one per lane. A last group of fewer
// entries runs with its spare lanes fed a copy of its first entry and their
// results written to scratch space. Included once per backend, by that
// backend's translation unit in this folder, which hands out the result as
// plain function pointers (Kernels).
//
// The scalars that randomize and queries multiply by come from the class
// `Draw`: Draw::scalar(i) is the scalar of entry i of the current call.
// The backends take FreshScalars, a fresh uniform scalar for each; the tests
// instantiate the path with scalars of their choosing (src/tests/), so that
// no table the operations can reach takes scalars from its caller.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <memory>

#include "edwards25519/batch/engine.hpp"
#include "src/elligator.hpp"
#include "src/paths/kernels.hpp"
#include "src/point_conversion.hpp"
#include "support/rng.hpp"

namespace ostrelline::paths {

// Where the lane path's per-entry scalars come from.
template <class D>
concept ScalarDraw = requires(std::size_t entry) {
    { D::scalar(entry) } -> std::same_as<edwards25519::Scalar>;
};

// A fresh uniform scalar for every entry.
struct FreshScalars {
    static edwards25519::Scalar scalar(std::size_t) { return random_scalar(); }
};

template <edwards25519::batch::LaneField F, ScalarDraw Draw = FreshScalars>
struct LanePaths {
    static constexpr std::size_t kLanes = F::kLanes;
    static constexpr std::size_t kComponents = 4;
    using Point = edwards25519::batch::engine::Point<F>;
    using Mask = typename F::Mask;
    using EdwardsPoint = edwards25519::EdwardsPoint;
    using Scalar = edwards25519::Scalar;

    // One group of entries [begin, begin + count): lane i stands for entry
    // begin + min(i, count - 1) on input and writes to scratch beyond count.
    struct Group {
        std::size_t begin, count;

        std::size_t entry(std::size_t lane) const { return begin + (lane < count ? lane : count - 1); }
        std::uint32_t bits() const { return static_cast<std::uint32_t>((std::uint64_t{1} << count) - 1); }
        Mask lanes() const { return F::mask_from_bits(bits()); }
    };

    template <class Body>
    static void for_each_group(std::size_t entries, Body&& body) {
        for (std::size_t begin = 0; begin < entries; begin += kLanes) {
            const std::size_t left = entries - begin;
            body(Group{begin, left < kLanes ? left : kLanes});
        }
    }

    // The entries of a group in a stream of `width`-byte entries: a pointer
    // per lane, and the lanes whose entry the stream ends inside. Such an
    // entry (only a stream's last can be one) is read from a zero-padded
    // copy, so that every lane computes; its result is never written.
    struct Entries {
        const std::uint8_t* at[kLanes];
        std::uint32_t short_lanes = 0;
        std::size_t short_length = 0;  // the bytes of the short entry
        std::uint8_t padded[128] = {};

        Entries(Bytes stream, const Group& g, std::size_t width) {
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                const std::size_t begin = width * g.entry(lane);
                if (begin + width <= stream.size()) {
                    at[lane] = stream.data() + begin;
                    continue;
                }
                short_length = stream.size() - begin;
                std::memcpy(padded, stream.data() + begin, short_length);
                at[lane] = padded;
                if (lane < g.count) short_lanes |= std::uint32_t{1} << lane;
            }
        }
        Entries(const Entries&) = delete;
        Entries& operator=(const Entries&) = delete;
    };

    // A group's points at `offset` of each entry, from each stream.
    struct Component {
        const Entries* in;
        std::size_t offset;
    };

    // Lane-wise decompression of K components at once (their square roots
    // interleaved); the lanes where component k did not decompress go to
    // invalid[k], those of every lane.
    template <std::size_t K>
    static std::array<Point, K> decompress_group(const Component (&components)[K], std::uint32_t (&invalid)[K]) {
        const std::uint8_t* bytes[K][kLanes];
        for (std::size_t k = 0; k < K; ++k) {
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                bytes[k][lane] = components[k].in->at[lane] + components[k].offset;
            }
        }
        const auto d = edwards25519::batch::engine::decompress_many<F, K>(bytes);
        std::array<Point, K> points;
        for (std::size_t k = 0; k < K; ++k) {
            // Whether an entry is a point is public: it decides the failure.
            invalid[k] = F::all_lanes().and_not(d[k].valid).declassify();
            points[k] = d[k].point;
        }
        return points;
    }

    // The same for components of one group, invalid[k] its lanes only.
    template <std::size_t K>
    static std::array<Point, K> decompress_group(const Component (&components)[K], const Group& g,
                                                 std::uint32_t (&invalid)[K]) {
        const std::array<Point, K> points = decompress_group(components, invalid);
        for (std::uint32_t& lanes : invalid) lanes &= g.bits();
        return points;
    }

    // The same, the failing lanes of every component added to `failed`.
    template <std::size_t K>
    static std::array<Point, K> decompress_group(const Component (&components)[K], const Group& g,
                                                 std::uint32_t& failed) {
        std::uint32_t invalid[K];
        const std::array<Point, K> points = decompress_group(components, g, invalid);
        for (std::uint32_t lanes : invalid) failed |= lanes;
        return points;
    }

    // The first failing lane of a group, or its count when none fails.
    static std::size_t first(std::uint32_t failed, const Group& g) {
        return failed == 0 ? g.count : static_cast<std::size_t>(__builtin_ctz(failed));
    }

    // Output pointers of a group into slot k of `out`: base + width * entry +
    // offset for the lanes below `written`, scratch rows for the others (and
    // no arithmetic on `base` then: it may be null when nothing is written).
    static void outputs(std::uint8_t* base, const Group& g, std::size_t written, std::size_t width,
                        std::size_t offset, std::size_t k, std::uint8_t (&scratch)[kComponents * kLanes][32],
                        std::uint8_t** out) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            out[k * kLanes + lane] =
                lane < written ? base + width * (g.begin + lane) + offset : scratch[k * kLanes + lane];
        }
    }

    // Scalars for the active lanes (Source::scalar of each lane's entry),
    // copies of lane 0 for the others.
    template <ScalarDraw Source = Draw>
    static std::array<Scalar, kLanes> scalars_for(const Group& g) {
        std::array<Scalar, kLanes> s;
        for (std::size_t lane = 0; lane < g.count; ++lane) s[lane] = Source::scalar(g.begin + lane);
        for (std::size_t lane = g.count; lane < kLanes; ++lane) s[lane] = s[0];
        return s;
    }

    // kLanes fresh scalars, whatever Draw is: those that are no entry's.
    static std::array<Scalar, kLanes> fresh_scalars() { return scalars_for<FreshScalars>(Group{0, kLanes}); }

    // One random choice bit per lane, the top bit of a 32-bit draw.
    static Mask choice_bits() {
        std::uint32_t bits = 0;
        for (std::size_t lane = 0; lane < kLanes; ++lane) bits |= (support::random_u32() >> 31) << lane;
        return F::mask_from_bits(bits);
    }

    // Lane i of p plus a fresh uniform 8-torsion point when `hiding`.
    static Point with_torsion(const Point& p, bool hiding) {
        if (!hiding) return p;
        EdwardsPoint torsion[kLanes];
        for (EdwardsPoint& t : torsion) t = random_torsion_point();
        return edwards25519::batch::engine::add_points<F>(p, edwards25519::batch::engine::from_lanes<F>(torsion));
    }

    static const auto& basepoint_table() {
        return edwards25519::batch::engine::basepoint_table<F>();
    }

    // 8 p per lane; lanes among the group's where that is the identity get a
    // fresh random point of the prime-order subgroup. Whether a decoded
    // point was of small order is known to the party that decoded it (it
    // holds the store), so branching on it reveals nothing.
    static Point clear_cofactor(const Point& p, const Group& g) {
        namespace e = edwards25519::batch::engine;
        const Point cleared = e::mul_by_pow2<F>(p, 3);
        const Mask degenerate = e::equal<F>(cleared, e::identity<F>()) & g.lanes();
        if (degenerate.declassify() == 0) return cleared;
        const auto fresh = fresh_scalars();
        return e::select<F>(cleared, basepoint_table().mul(fresh.data()), degenerate);
    }

    // Four groups at a time, so that their square roots interleave and
    // their compressions share one inversion; past the stream's end the last
    // group is repeated into scratch space.
    static void decrypt(Bytes points, const Scalar& eighth_of_key, std::uint8_t* out, std::size_t entries) {
        namespace e = edwards25519::batch::engine;
        constexpr std::size_t kGroups = kComponents;
        std::uint8_t scratch[kComponents * kLanes][32];
        for (std::size_t begin = 0; begin < entries; begin += kGroups * kLanes) {
            Group g[kGroups];
            std::size_t groups = 0;
            for (std::size_t j = 0; j < kGroups; ++j) {
                const std::size_t at = begin + j * kLanes;
                if (at < entries) {
                    g[j] = Group{at, entries - at < kLanes ? entries - at : kLanes};
                    groups = j + 1;
                } else {
                    g[j] = g[groups - 1];
                }
            }
            const Entries in0(points, g[0], 32), in1(points, g[1], 32), in2(points, g[2], 32), in3(points, g[3], 32);
            const Entries* const in[kGroups] = {&in0, &in1, &in2, &in3};
            std::uint32_t invalid[kGroups];
            const std::array<Point, kGroups> p = decompress_group<kGroups>({{&in0, 0}, {&in1, 0}, {&in2, 0}, {&in3, 0}}, invalid);
            // Groups up to the first that fails are written, that one up to its
            // failing entry; none after it.
            std::size_t failing = groups, written = 0;
            std::uint8_t* dst[kComponents * kLanes];
            Point products[kGroups];
            for (std::size_t j = 0; j < kGroups; ++j) {
                const std::size_t valid_lanes = j < failing ? first(in[j]->short_lanes | (invalid[j] & g[j].bits()), g[j]) : 0;
                if (j < failing && valid_lanes < g[j].count) {
                    failing = j;
                    written = valid_lanes;
                }
                outputs(out, g[j], j < groups ? valid_lanes : 0, 32, 0, j, scratch, dst);
                products[j] = e::mul_cleared<F>(p[j], &eighth_of_key, true);
            }
            e::compress_many<F>(products, kGroups, dst);
            if (failing == groups) continue;
            if ((in[failing]->short_lanes >> written) & 1) point_length_failure(in[failing]->short_length);
            decompression_failure();
        }
    }

    static void finish(const FinishStreams& streams, const Scalar& key, std::uint8_t* matches, std::size_t entries) {
        namespace e = edwards25519::batch::engine;
        const Bytes in[kComponents] = {streams.sender, streams.receiver, streams.gamma, streams.delta};
        for_each_group(entries, [&](const Group& g) {
            const Entries s(in[0], g, 32), r(in[1], g, 32), gamma(in[2], g, 32), delta(in[3], g, 32);
            const Entries* const streams_in[kComponents] = {&s, &r, &gamma, &delta};
            std::uint32_t invalid[kComponents], failed = 0;
            const std::array<Point, kComponents> p =
                decompress_group<kComponents>({{&s, 0}, {&r, 0}, {&gamma, 0}, {&delta, 0}}, g, invalid);
            std::uint32_t short_lanes[kComponents];
            std::size_t short_length[kComponents];
            for (std::size_t k = 0; k < kComponents; ++k) {
                short_lanes[k] = streams_in[k]->short_lanes;
                short_length[k] = streams_in[k]->short_length;
                failed |= short_lanes[k] | invalid[k];
            }
            if (failed != 0) {
                // Each stream's entry in argument order: its length, then its point.
                const std::size_t lane = first(failed, g);
                for (std::size_t k = 0; k < kComponents; ++k) {
                    if ((short_lanes[k] >> lane) & 1) point_length_failure(short_length[k]);
                    if ((invalid[k] >> lane) & 1) decompression_failure();
                }
            }
            const Point expected = e::add_points<F>(e::add_points<F>(p[0], p[1]), e::mul<F>(p[2], &key, true));
            // The match bits are the operation's output.
            const std::uint32_t equal = e::equal<F>(p[3], expected).declassify();
            for (std::size_t lane = 0; lane < g.count; ++lane) {
                matches[g.begin + lane] = static_cast<std::uint8_t>((equal >> lane) & 1);
            }
        });
    }

    static void randomize(Bytes ciphertexts, std::uint8_t* out, std::size_t entries) {
        std::uint8_t scratch[kComponents * kLanes][32];
        for_each_group(entries, [&](const Group& g) {
            const Entries in(ciphertexts, g, 128);
            std::uint32_t failed = in.short_lanes;
            const std::array<Point, kComponents> p =
                decompress_group<kComponents>({{&in, 0}, {&in, 32}, {&in, 64}, {&in, 96}}, g, failed);
            const std::size_t written = first(failed, g);
            const std::array<Scalar, kLanes> t = scalars_for(g);
            Point products[kComponents];
            std::uint8_t* dst[kComponents * kLanes];
            for (std::size_t k = 0; k < kComponents; ++k) {
                products[k] = edwards25519::batch::engine::mul<F>(p[k], t.data(), false);
                outputs(out, g, written, 128, 32 * k, k, scratch, dst);
            }
            edwards25519::batch::engine::compress_many<F>(products, kComponents, dst);
            if (written == g.count) return;
            // The entry's length first, then its components.
            if ((in.short_lanes >> written) & 1) wide_length_failure(in.short_length);
            decompression_failure();
        });
    }

    static void combine(Bytes sender, Bytes receiver, std::uint8_t* const out[4], std::size_t entries) {
        std::uint8_t scratch[kComponents * kLanes][32];
        for_each_group(entries, [&](const Group& g) {
            const Entries a(sender, g, 128), c(receiver, g, 128);
            std::uint32_t failed = a.short_lanes | c.short_lanes;
            // Each component of both entries, as many components at a time as
            // the field interleaves square roots in pairs (kChains).
            constexpr std::size_t kStep = edwards25519::batch::engine::kChains<F> >= 4 ? 2 : 1;
            Point sums[kComponents];
            for (std::size_t k = 0; k < kComponents; k += kStep) {
                Component parts[2 * kStep];
                for (std::size_t i = 0; i < kStep; ++i) {
                    parts[2 * i] = {&a, 32 * (k + i)};
                    parts[2 * i + 1] = {&c, 32 * (k + i)};
                }
                const std::array<Point, 2 * kStep> p = decompress_group<2 * kStep>(parts, g, failed);
                for (std::size_t i = 0; i < kStep; ++i) {
                    sums[k + i] = edwards25519::batch::engine::add_points<F>(p[2 * i], p[2 * i + 1]);
                }
            }
            const std::size_t written = first(failed, g);
            std::uint8_t* dst[kComponents * kLanes];
            for (std::size_t k = 0; k < kComponents; ++k) {
                for (std::size_t lane = 0; lane < kLanes; ++lane) {
                    dst[k * kLanes + lane] = lane < written ? out[k] + 32 * (g.begin + lane) : scratch[k * kLanes + lane];
                }
            }
            edwards25519::batch::engine::compress_many<F>(sums, kComponents, dst);
            if (written == g.count) return;
            // Both entries' lengths, sender first, then the components.
            if ((a.short_lanes >> written) & 1) wide_length_failure(a.short_length);
            if ((c.short_lanes >> written) & 1) wide_length_failure(c.short_length);
            decompression_failure();
        });
    }

    // Two stages fed from a queue: fresh scalars x (x B must convert), and
    // the survivors of the first stage with their c1 (x K must convert). A
    // second stage runs whenever it has a full group, or enough survivors for
    // the rows still missing; otherwise a first stage makes more survivors.
    // The queue never holds more than 2 kLanes survivors: a first stage runs
    // only with fewer than kLanes waiting and adds at most kLanes.
    static void zero(const EdwardsPoint& key, std::size_t count, bool hiding, Ciphertext* out) {
        if (count == 0) return;
        namespace e = edwards25519::batch::engine;
        const auto key_table = std::make_unique<e::KeyTable<F>>(key);
        struct Survivor {
            Scalar x;
            std::array<std::uint8_t, 32> c1;
        };
        Survivor survivors[2 * kLanes];
        std::size_t waiting = 0, done = 0;
        std::uint8_t bytes[kLanes][32];
        std::uint8_t* dst[kLanes];
        for (std::size_t lane = 0; lane < kLanes; ++lane) dst[lane] = bytes[lane];

        while (done < count) {
            const std::size_t missing = count - done;
            if (waiting >= kLanes || (waiting > 0 && waiting >= missing)) {
                const std::size_t n = waiting < kLanes ? waiting : kLanes;
                std::array<Scalar, kLanes> x;
                for (std::size_t lane = 0; lane < kLanes; ++lane) x[lane] = survivors[lane < n ? lane : n - 1].x;
                const std::uint32_t ok =
                    elligator::point_to_uniform_bytes<F>(with_torsion(key_table->mul(x.data()), hiding), choice_bits(), dst)
                        .declassify();
                for (std::size_t lane = 0; lane < n && done < count; ++lane) {
                    if (((ok >> lane) & 1) == 0) continue;
                    Ciphertext& c = out[done++];
                    c.c1 = survivors[lane].c1;
                    std::memcpy(c.c2.data(), bytes[lane], 32);
                    if (hiding) {
                        c.c1 = representative(c.c1);
                        c.c2 = representative(c.c2);
                    }
                }
                for (std::size_t i = n; i < waiting; ++i) survivors[i - n] = survivors[i];
                waiting -= n;
            } else {
                const std::array<Scalar, kLanes> x = fresh_scalars();
                const std::uint32_t ok =
                    elligator::point_to_uniform_bytes<F>(with_torsion(basepoint_table().mul(x.data()), hiding),
                                                         choice_bits(), dst)
                        .declassify();
                for (std::size_t lane = 0; lane < kLanes; ++lane) {
                    if (((ok >> lane) & 1) == 0) continue;
                    survivors[waiting].x = x[lane];
                    std::memcpy(survivors[waiting].c1.data(), bytes[lane], 32);
                    ++waiting;
                }
            }
        }
    }

    static std::array<std::uint8_t, 32> representative(const std::array<std::uint8_t, 32>& bytes) {
        return point_conversion::with_representative(bytes, static_cast<std::uint8_t>(support::random_u32() >> 31));
    }

    static void queries(const std::uint8_t* sender_cells, const std::uint8_t* receiver_cells, std::size_t entries,
                        const EdwardsPoint& key, std::uint8_t* out) {
        namespace e = edwards25519::batch::engine;
        std::uint8_t scratch[kComponents * kLanes][32];
        const Point shared_key = e::broadcast<F>(key);
        for_each_group(entries, [&](const Group& g) {
            const std::array<Scalar, kLanes> r = scalars_for(g);
            const std::uint8_t* halves[kComponents][kLanes];
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                const std::size_t i = g.entry(lane);
                halves[0][lane] = sender_cells + Ciphertext::kSize * i;
                halves[1][lane] = sender_cells + Ciphertext::kSize * i + 32;
                halves[2][lane] = receiver_cells + Ciphertext::kSize * i;
                halves[3][lane] = receiver_cells + Ciphertext::kSize * i + 32;
            }
            const Point a1 = clear_cofactor(elligator::uniform_bytes_to_point<F>(halves[0]), g);
            const Point a2 = clear_cofactor(elligator::uniform_bytes_to_point<F>(halves[1]), g);
            const Point b1 = clear_cofactor(elligator::uniform_bytes_to_point<F>(halves[2]), g);
            const Point b2 = clear_cofactor(elligator::uniform_bytes_to_point<F>(halves[3]), g);
            const Point sum = e::add_points<F>(e::add_points<F>(a2, b2), shared_key);
            const Point products[kComponents] = {e::mul<F>(a1, r.data(), false), e::mul<F>(b1, r.data(), false),
                                                 basepoint_table().mul(r.data()), e::mul<F>(sum, r.data(), false)};
            std::uint8_t* dst[kComponents * kLanes];
            for (std::size_t k = 0; k < kComponents; ++k) outputs(out, g, g.count, 128, 32 * k, k, scratch, dst);
            e::compress_many<F>(products, kComponents, dst);
        });
    }

    static constexpr Kernels table(edwards25519::batch::Isa isa) {
        return {isa, kLanes, decrypt, finish, randomize, combine, zero, queries};
    }
};

}  // namespace ostrelline::paths
