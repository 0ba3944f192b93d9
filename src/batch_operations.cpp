// The batch path of the stream operations (see stream_paths.hpp): entries in
// groups of eight, one per lane of the group layer's batch backend. A last
// group of fewer entries runs with its spare lanes fed a copy of its first
// entry and their results written to scratch space.
#include <algorithm>
#include <array>
#include <cstring>

#include "edwards25519/batch/batch.hpp"
#include "src/point_conversion.hpp"
#include "src/stream_paths.hpp"
#include "src/wide_ciphertexts.hpp"
#include "support/rng.hpp"

namespace ostrelline::paths {

namespace b = edwards25519::batch;
using b::kLanes;
using b::LaneMask;
using b::PointBatch;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;

namespace {

constexpr std::size_t kComponents = 4;

// The lanes a group of `count` entries occupies.
LaneMask active_lanes(std::size_t count) { return static_cast<LaneMask>((1u << count) - 1); }

// One group of entries [begin, begin + count): lane i stands for entry
// begin + min(i, count - 1) on input and writes to scratch beyond count.
struct Group {
    std::size_t begin, count;

    std::size_t entry(std::size_t lane) const { return begin + std::min(lane, count - 1); }
    bool active(std::size_t lane) const { return lane < count; }
};

// Input pointers of a group: stream + width * entry + offset.
std::array<const std::uint8_t*, kLanes> inputs(Bytes stream, const Group& g, std::size_t width, std::size_t offset) {
    std::array<const std::uint8_t*, kLanes> in;
    for (std::size_t lane = 0; lane < kLanes; ++lane) in[lane] = stream.data() + width * g.entry(lane) + offset;
    return in;
}

// Output pointers of a group: base + width * entry + offset for active
// lanes, scratch rows for the others.
template <std::size_t Rows>
void outputs(std::uint8_t* base, const Group& g, std::size_t width, std::size_t offset,
             std::uint8_t (&scratch)[Rows][32], std::uint8_t** out) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        out[lane] = g.active(lane) ? base + width * (g.begin + lane) + offset : scratch[lane % Rows];
    }
}

// Whether entries [begin, end) of a stream of `width`-byte entries are all complete.
bool complete(Bytes stream, std::size_t end, std::size_t width) { return width * end <= stream.size(); }

// Lane-wise decompression of one component of a group; true when every
// active lane decompressed.
bool decompress_group(Bytes stream, const Group& g, std::size_t width, std::size_t offset, PointBatch& out) {
    const auto in = inputs(stream, g, width, offset);
    const LaneMask ok = b::decompress(in.data(), out);
    const LaneMask want = active_lanes(g.count);
    return (ok & want) == want;
}

template <class F>
void for_each_group(std::size_t entries, F&& body) {
    for (std::size_t begin = 0; begin < entries; begin += kLanes) body(Group{begin, std::min(kLanes, entries - begin)});
}

// Scalars for the active lanes (given[entry] when given, else fresh ones),
// copies of lane 0 for the others.
std::array<Scalar, kLanes> scalars_for(const Group& g, const Scalar* given) {
    std::array<Scalar, kLanes> s;
    for (std::size_t lane = 0; lane < g.count; ++lane) s[lane] = given != nullptr ? given[g.begin + lane] : random_scalar();
    for (std::size_t lane = g.count; lane < kLanes; ++lane) s[lane] = s[0];
    return s;
}

// One random choice bit per active lane (the top bit of a 32-bit draw, as
// point_to_uniform_bytes draws it), 0 for the others.
std::array<std::uint8_t, kLanes> choice_bits(std::size_t count) {
    std::array<std::uint8_t, kLanes> bits{};
    for (std::size_t lane = 0; lane < count; ++lane) bits[lane] = static_cast<std::uint8_t>(support::random_u32() >> 31);
    return bits;
}

// Lane i of p plus a fresh uniform 8-torsion point when `hiding`; p otherwise.
PointBatch with_torsion(const PointBatch& p, bool hiding) {
    if (!hiding) return p;
    std::array<EdwardsPoint, kLanes> torsion;
    for (EdwardsPoint& t : torsion) t = random_torsion_point();
    return b::add(p, b::point_from_lanes(torsion));
}

std::array<std::uint8_t, 32> random_representative(const std::array<std::uint8_t, 32>& bytes) {
    return point_conversion::with_representative(bytes, static_cast<std::uint8_t>(support::random_u32() >> 31));
}

// 8 p per lane; lanes among the first `count` where that is the identity get
// a fresh random point of the prime-order subgroup (as clear_cofactor of
// ciphertexts.hpp does on the scalar path).
PointBatch clear_cofactor(const PointBatch& p, std::size_t count) {
    const PointBatch cleared = b::double_point(b::double_point(b::double_point(p)));
    const LaneMask degenerate = b::equal(cleared, b::point_identity()) & active_lanes(count);
    if (degenerate == 0) return cleared;
    return b::select(cleared, b::batch_basepoint_table().mul(scalars_for(Group{0, kLanes}, nullptr)), degenerate);
}

}  // namespace

void decrypt_batch(Bytes points, const Scalar& key, std::uint8_t* out, std::size_t entries) {
    std::uint8_t scratch[kLanes][32];
    for_each_group(entries, [&](const Group& g) {
        PointBatch p;
        if (!complete(points, g.begin + g.count, 32) || !decompress_group(points, g, 32, 0, p)) {
            decrypt_scalar(points, key, out, g.begin, g.begin + g.count);
            return;
        }
        std::uint8_t* dst[kLanes];
        outputs(out, g, 32, 0, scratch, dst);
        b::compress(b::mul(p, key), dst);
    });
}

void finish_batch(const FinishStreams& streams, const Scalar& key, std::uint8_t* matches, std::size_t entries) {
    const Bytes in[kComponents] = {streams.sender, streams.receiver, streams.gamma, streams.delta};
    for_each_group(entries, [&](const Group& g) {
        PointBatch p[kComponents];
        bool ok = true;
        for (std::size_t k = 0; k < kComponents && ok; ++k) ok = complete(in[k], g.begin + g.count, 32);
        for (std::size_t k = 0; k < kComponents && ok; ++k) ok = decompress_group(in[k], g, 32, 0, p[k]);
        if (!ok) {
            finish_scalar(streams, key, matches, g.begin, g.begin + g.count);
            return;
        }
        const PointBatch expected = b::add(b::add(p[0], p[1]), b::mul(p[2], key));
        const LaneMask equal = b::equal(p[3], expected);
        for (std::size_t lane = 0; lane < g.count; ++lane) matches[g.begin + lane] = static_cast<std::uint8_t>((equal >> lane) & 1);
    });
}

void randomize_batch(Bytes ciphertexts, std::uint8_t* out, std::size_t entries, const Scalar* scalars) {
    std::uint8_t scratch[kComponents * kLanes][32];
    for_each_group(entries, [&](const Group& g) {
        PointBatch p[kComponents];
        bool ok = complete(ciphertexts, g.begin + g.count, 128);
        for (std::size_t k = 0; k < kComponents && ok; ++k) ok = decompress_group(ciphertexts, g, 128, 32 * k, p[k]);
        if (!ok) {
            randomize_scalar(ciphertexts, out, g.begin, g.begin + g.count);
            return;
        }
        const std::array<Scalar, kLanes> t = scalars_for(g, scalars);
        PointBatch products[kComponents];
        std::uint8_t* dst[kComponents * kLanes];
        for (std::size_t k = 0; k < kComponents; ++k) {
            products[k] = b::mul(p[k], t);
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                dst[k * kLanes + lane] = g.active(lane) ? out + 128 * (g.begin + lane) + 32 * k : scratch[k * kLanes + lane];
            }
        }
        b::compress_many(products, kComponents, dst);
    });
}

void combine_batch(Bytes sender, Bytes receiver, std::uint8_t* const out[4], std::size_t entries) {
    std::uint8_t scratch[kComponents * kLanes][32];
    for_each_group(entries, [&](const Group& g) {
        PointBatch sums[kComponents];
        bool ok = complete(sender, g.begin + g.count, 128) && complete(receiver, g.begin + g.count, 128);
        for (std::size_t k = 0; k < kComponents && ok; ++k) {
            PointBatch a, c;
            ok = decompress_group(sender, g, 128, 32 * k, a) && decompress_group(receiver, g, 128, 32 * k, c);
            if (ok) sums[k] = b::add(a, c);
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
        b::compress_many(sums, kComponents, dst);
    });
}

// Two stages fed from two queues: fresh scalars (x B must convert) and the
// survivors of the first stage with their c1 (x K must convert). A second
// stage runs whenever it has a full group, or enough survivors for the rows
// still missing; otherwise a first stage makes more survivors.
std::vector<Ciphertext> zero_batch(const EdwardsPoint& key, std::size_t count, bool hiding) {
    std::vector<Ciphertext> out;
    out.reserve(count);
    if (count == 0) return out;
    const b::BatchBasepointTable key_table(key);
    const b::BatchBasepointTable& base_table = b::batch_basepoint_table();
    struct Survivor {
        Scalar x;
        std::array<std::uint8_t, 32> c1;
    };
    std::vector<Survivor> survivors;
    std::size_t head = 0;
    std::uint8_t bytes[kLanes][32];
    std::uint8_t* dst[kLanes];
    for (std::size_t lane = 0; lane < kLanes; ++lane) dst[lane] = bytes[lane];

    while (out.size() < count) {
        const std::size_t waiting = survivors.size() - head;
        const std::size_t missing = count - out.size();
        if (waiting >= kLanes || (waiting > 0 && waiting >= missing)) {
            const std::size_t n = std::min(waiting, kLanes);
            std::array<Scalar, kLanes> x;
            for (std::size_t lane = 0; lane < kLanes; ++lane) x[lane] = survivors[head + std::min(lane, n - 1)].x;
            const auto bits = choice_bits(n);
            const LaneMask ok = point_conversion::point_to_uniform_bytes(with_torsion(key_table.mul(x), hiding),
                                                                         bits.data(), dst);
            for (std::size_t lane = 0; lane < n && out.size() < count; ++lane) {
                if ((ok >> lane) & 1) {
                    Ciphertext c;
                    c.c1 = survivors[head + lane].c1;
                    std::memcpy(c.c2.data(), bytes[lane], 32);
                    if (hiding) {
                        c.c1 = random_representative(c.c1);
                        c.c2 = random_representative(c.c2);
                    }
                    out.push_back(c);
                }
            }
            head += n;
            if (head == survivors.size()) {
                survivors.clear();
                head = 0;
            }
        } else {
            const std::array<Scalar, kLanes> x = scalars_for(Group{0, kLanes}, nullptr);
            const auto bits = choice_bits(kLanes);
            const LaneMask ok = point_conversion::point_to_uniform_bytes(with_torsion(base_table.mul(x), hiding),
                                                                         bits.data(), dst);
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                if ((ok >> lane) & 1) {
                    Survivor s{x[lane], {}};
                    std::memcpy(s.c1.data(), bytes[lane], 32);
                    survivors.push_back(s);
                }
            }
        }
    }
    return out;
}

void add_and_randomize_batch(const Ciphertext* sender, const Ciphertext* receiver, std::size_t count,
                             const EdwardsPoint& key, std::uint8_t* out, const Scalar* scalars) {
    if (count == 0 || count > kLanes) return;
    const Group g{0, count};
    const std::array<Scalar, kLanes> r = scalars_for(g, scalars);
    const std::uint8_t* halves[4][kLanes];
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        const std::size_t i = g.entry(lane);
        halves[0][lane] = sender[i].c1.data();
        halves[1][lane] = sender[i].c2.data();
        halves[2][lane] = receiver[i].c1.data();
        halves[3][lane] = receiver[i].c2.data();
    }
    const PointBatch a1 = clear_cofactor(point_conversion::uniform_bytes_to_point(halves[0]), count);
    const PointBatch a2 = clear_cofactor(point_conversion::uniform_bytes_to_point(halves[1]), count);
    const PointBatch b1 = clear_cofactor(point_conversion::uniform_bytes_to_point(halves[2]), count);
    const PointBatch b2 = clear_cofactor(point_conversion::uniform_bytes_to_point(halves[3]), count);
    const PointBatch products[kComponents] = {b::mul(a1, r), b::mul(b1, r), b::batch_basepoint_table().mul(r),
                                              b::mul(b::add(b::add(a2, b2), b::point_broadcast(key)), r)};
    std::uint8_t scratch[kComponents * kLanes][32];
    std::uint8_t* dst[kComponents * kLanes];
    for (std::size_t k = 0; k < kComponents; ++k) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            dst[k * kLanes + lane] = g.active(lane) ? out + 128 * lane + 32 * k : scratch[k * kLanes + lane];
        }
    }
    b::compress_many(products, kComponents, dst);
}

}  // namespace ostrelline::paths
