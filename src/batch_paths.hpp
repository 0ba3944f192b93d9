// The batch path of the stream operations (see stream_paths.hpp) over any
// lane field: entries in groups of F::kLanes, one per lane. A last group of
// fewer entries runs with its spare lanes fed a copy of its first entry and
// their results written to scratch space. Included once per backend, by that
// backend's translation unit under src/paths/, which hands out the result
// as plain function pointers (StreamKernels).
#pragma once

#include <array>
#include <cstring>
#include <memory>

#include "edwards25519/batch/engine.hpp"
#include "src/elligator.hpp"
#include "src/point_conversion.hpp"
#include "src/stream_paths.hpp"
#include "src/wide_ciphertexts.hpp"
#include "support/rng.hpp"

namespace ostrelline::paths {

template <edwards25519::batch::LaneField F>
struct BatchPaths {
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
        bool active(std::size_t lane) const { return lane < count; }
        Mask lanes() const { return F::mask_from_bits(static_cast<std::uint32_t>((std::uint64_t{1} << count) - 1)); }
    };

    template <class Body>
    static void for_each_group(std::size_t entries, Body&& body) {
        for (std::size_t begin = 0; begin < entries; begin += kLanes) {
            const std::size_t left = entries - begin;
            body(Group{begin, left < kLanes ? left : kLanes});
        }
    }

    // Whether entries [0, end) of a stream of `width`-byte entries are all there.
    static bool complete(Bytes stream, std::size_t end, std::size_t width) { return width * end <= stream.size(); }

    // Lane-wise decompression of one component of a group (entry bytes at
    // stream + width * entry + offset); true when every active lane decompressed.
    static bool decompress_group(Bytes stream, const Group& g, std::size_t width, std::size_t offset, Point& out) {
        const std::uint8_t* in[kLanes];
        for (std::size_t lane = 0; lane < kLanes; ++lane) in[lane] = stream.data() + width * g.entry(lane) + offset;
        const auto d = edwards25519::batch::engine::decompress<F>(in);
        out = d.point;
        return g.lanes().and_not(d.valid).declassify() == 0;
    }

    // Output pointers of component k of a group: base + width * entry + 32 k
    // for active lanes, scratch rows for the others.
    static void outputs(std::uint8_t* base, const Group& g, std::size_t width, std::size_t k,
                        std::uint8_t (&scratch)[kComponents * kLanes][32], std::uint8_t** out) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            out[k * kLanes + lane] =
                g.active(lane) ? base + width * (g.begin + lane) + 32 * k : scratch[k * kLanes + lane];
        }
    }

    // Scalars for the active lanes (given[entry] when given, else fresh ones),
    // copies of lane 0 for the others.
    static std::array<Scalar, kLanes> scalars_for(const Group& g, const Scalar* given) {
        std::array<Scalar, kLanes> s;
        for (std::size_t lane = 0; lane < g.count; ++lane) {
            s[lane] = given != nullptr ? given[g.begin + lane] : random_scalar();
        }
        for (std::size_t lane = g.count; lane < kLanes; ++lane) s[lane] = s[0];
        return s;
    }

    // One random choice bit per lane, the top bit of a 32-bit draw, as the
    // scalar point_to_uniform_bytes draws it.
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

    static const edwards25519::batch::engine::BasepointTable<F>& basepoint_table() {
        return edwards25519::batch::engine::basepoint_table<F>();
    }

    // 8 p per lane; lanes among the group's where that is the identity get a
    // fresh random point of the prime-order subgroup (as clear_cofactor of
    // ciphertexts.hpp does on the scalar path).
    static Point clear_cofactor(const Point& p, const Group& g) {
        namespace e = edwards25519::batch::engine;
        const Point cleared = e::mul_by_pow2<F>(p, 3);
        const Mask degenerate = e::equal<F>(cleared, e::identity<F>()) & g.lanes();
        if (degenerate.declassify() == 0) return cleared;
        const auto fresh = scalars_for(Group{0, kLanes}, nullptr);
        return e::select<F>(cleared, basepoint_table().mul(fresh.data()), degenerate);
    }

    static void decrypt(Bytes points, const Scalar& eighth_of_key, std::uint8_t* out, std::size_t entries) {
        std::uint8_t scratch[kComponents * kLanes][32];
        for_each_group(entries, [&](const Group& g) {
            Point p;
            if (!complete(points, g.begin + g.count, 32) || !decompress_group(points, g, 32, 0, p)) {
                decrypt_scalar(points, eighth_of_key, out, g.begin, g.begin + g.count);
                return;
            }
            std::uint8_t* dst[kComponents * kLanes];
            outputs(out, g, 32, 0, scratch, dst);
            const Point product = edwards25519::batch::engine::mul_cleared<F>(p, &eighth_of_key, true);
            edwards25519::batch::engine::compress_many<F>(&product, 1, dst);
        });
    }

    static void finish(const FinishStreams& streams, const Scalar& key, std::uint8_t* matches, std::size_t entries) {
        namespace e = edwards25519::batch::engine;
        const Bytes in[kComponents] = {streams.sender, streams.receiver, streams.gamma, streams.delta};
        for_each_group(entries, [&](const Group& g) {
            Point p[kComponents];
            bool ok = true;
            for (std::size_t k = 0; k < kComponents && ok; ++k) ok = complete(in[k], g.begin + g.count, 32);
            for (std::size_t k = 0; k < kComponents && ok; ++k) ok = decompress_group(in[k], g, 32, 0, p[k]);
            if (!ok) {
                finish_scalar(streams, key, matches, g.begin, g.begin + g.count);
                return;
            }
            const Point expected = e::add_points<F>(e::add_points<F>(p[0], p[1]), e::mul<F>(p[2], &key, true));
            // The match bits are the operation's output.
            const std::uint32_t equal = e::equal<F>(p[3], expected).declassify();
            for (std::size_t lane = 0; lane < g.count; ++lane) {
                matches[g.begin + lane] = static_cast<std::uint8_t>((equal >> lane) & 1);
            }
        });
    }

    static void randomize(Bytes ciphertexts, std::uint8_t* out, std::size_t entries, const Scalar* scalars) {
        std::uint8_t scratch[kComponents * kLanes][32];
        for_each_group(entries, [&](const Group& g) {
            Point p[kComponents];
            bool ok = complete(ciphertexts, g.begin + g.count, 128);
            for (std::size_t k = 0; k < kComponents && ok; ++k) ok = decompress_group(ciphertexts, g, 128, 32 * k, p[k]);
            if (!ok) {
                randomize_scalar(ciphertexts, out, g.begin, g.begin + g.count);
                return;
            }
            const std::array<Scalar, kLanes> t = scalars_for(g, scalars);
            Point products[kComponents];
            std::uint8_t* dst[kComponents * kLanes];
            for (std::size_t k = 0; k < kComponents; ++k) {
                products[k] = edwards25519::batch::engine::mul<F>(p[k], t.data(), false);
                outputs(out, g, 128, k, scratch, dst);
            }
            edwards25519::batch::engine::compress_many<F>(products, kComponents, dst);
        });
    }

    static void combine(Bytes sender, Bytes receiver, std::uint8_t* const out[4], std::size_t entries) {
        std::uint8_t scratch[kComponents * kLanes][32];
        for_each_group(entries, [&](const Group& g) {
            Point sums[kComponents];
            bool ok = complete(sender, g.begin + g.count, 128) && complete(receiver, g.begin + g.count, 128);
            for (std::size_t k = 0; k < kComponents && ok; ++k) {
                Point a, c;
                ok = decompress_group(sender, g, 128, 32 * k, a) && decompress_group(receiver, g, 128, 32 * k, c);
                if (ok) sums[k] = edwards25519::batch::engine::add_points<F>(a, c);
            }
            if (!ok) {
                combine_scalar(sender, receiver, out, g.begin, g.begin + g.count);
                return;
            }
            std::uint8_t* dst[kComponents * kLanes];
            for (std::size_t k = 0; k < kComponents; ++k) {
                for (std::size_t lane = 0; lane < kLanes; ++lane) {
                    dst[k * kLanes + lane] = g.active(lane) ? out[k] + 32 * (g.begin + lane) : scratch[k * kLanes + lane];
                }
            }
            edwards25519::batch::engine::compress_many<F>(sums, kComponents, dst);
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
        const auto key_table = std::make_unique<e::BasepointTable<F>>(key);
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
                const std::array<Scalar, kLanes> x = scalars_for(Group{0, kLanes}, nullptr);
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
                        const EdwardsPoint& key, std::uint8_t* out, const Scalar* scalars) {
        namespace e = edwards25519::batch::engine;
        std::uint8_t scratch[kComponents * kLanes][32];
        const Point shared_key = e::broadcast<F>(key);
        for_each_group(entries, [&](const Group& g) {
            const std::array<Scalar, kLanes> r = scalars_for(g, scalars);
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
            for (std::size_t k = 0; k < kComponents; ++k) outputs(out, g, 128, k, scratch, dst);
            e::compress_many<F>(products, kComponents, dst);
        });
    }

    // The conversions on plain data, for the tests.
    static std::uint32_t to_uniform(const EdwardsPoint* p, std::uint32_t choice, std::uint8_t* const* out) {
        return elligator::point_to_uniform_bytes<F>(edwards25519::batch::engine::from_lanes<F>(p),
                                                    F::mask_from_bits(choice), out)
            .declassify();
    }

    static void from_uniform(const std::uint8_t* const* bytes, EdwardsPoint* out) {
        edwards25519::batch::engine::to_lanes<F>(elligator::uniform_bytes_to_point<F>(bytes), out);
    }

    static constexpr StreamKernels table(edwards25519::batch::Isa isa) {
        return {isa, kLanes, decrypt, finish, randomize, combine, zero, queries, to_uniform, from_uniform};
    }
};

}  // namespace ostrelline::paths
