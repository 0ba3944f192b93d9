// The stream operations through the batch path and through the scalar path
// on the same inputs: the same bytes, or the same failure message. Streams
// of lengths that are and are not multiples of eight, entries that are the
// identity, small-order points and encodings with y >= p, entries that do
// not decompress at every position, and short last chunks. Where an
// operation draws a scalar per entry, both paths are given the same scalars.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "edwards25519/batch/batch.hpp"
#include "edwards25519/table.hpp"
#include "src/ciphertexts.hpp"
#include "src/operations.hpp"
#include "src/point_conversion.hpp"
#include "src/stream_paths.hpp"
#include "src/wide_ciphertexts.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace {

using edwards25519::CompressedEdwardsY;
using edwards25519::ED25519_BASEPOINT_TABLE;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using ostrelline::Backend;
using ostrelline::ByteArg;
using ostrelline::Sink;
using Bytes = std::vector<std::uint8_t>;
using Bytes32 = std::array<std::uint8_t, 32>;
namespace b = edwards25519::batch;

class BatchOperations : public ::testing::Test {
protected:
    void SetUp() override {
        if (!b::available()) GTEST_SKIP() << "no AVX-512 IFMA on this CPU";
    }
};

// Every buffer an operation allocates, in order, or its failure message.
struct Outcome {
    std::vector<Bytes> buffers;
    std::vector<std::uint8_t> matches;
    std::string error;
};

Sink sink_into(Outcome& o) {
    return Sink{&o, [](void* context, std::size_t size) -> std::uint8_t* {
                    auto& buffers = static_cast<Outcome*>(context)->buffers;
                    buffers.emplace_back(size);
                    return buffers.back().data();
                }};
}

template <class F>
Outcome run(F&& op) {
    Outcome o;
    try {
        op(o);
    } catch (const support::Failure& e) {
        o.error = e.what();
        o.buffers.clear();
    }
    return o;
}

void expect_same(const Outcome& scalar, const Outcome& batch, const std::string& what) {
    EXPECT_EQ(batch.error, scalar.error) << what;
    EXPECT_EQ(batch.buffers, scalar.buffers) << what;
    EXPECT_EQ(batch.matches, scalar.matches) << what;
}

Scalar random_scalar() { return ostrelline::random_scalar(); }

// "what n", built without operator+ on strings (GCC 12 warns falsely there).
std::string label(const char* what, std::size_t n) {
    std::string s = what;
    s += ' ';
    s += std::to_string(n);
    return s;
}

Bytes32 encode(const EdwardsPoint& p) { return p.compress().bytes; }

EdwardsPoint random_point() { return ED25519_BASEPOINT_TABLE().mul(random_scalar()); }

std::vector<EdwardsPoint> torsion_points() {
    Bytes32 t8{};
    const char* hex = "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05";
    for (std::size_t i = 0; i < 32; ++i) t8[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
    std::vector<EdwardsPoint> out{EdwardsPoint::identity()};
    const EdwardsPoint t = *CompressedEdwardsY{t8}.decompress();
    for (int k = 1; k < 8; ++k) out.push_back(out.back() + t);
    return out;
}

// y = p + 1 (the identity) and y = p (a point of order 4), written with y >= p.
Bytes32 non_canonical(int k, bool sign) {
    Bytes32 y{};
    y.fill(0xff);
    y[0] = static_cast<std::uint8_t>(0xed + k);
    y[31] = sign ? 0xff : 0x7f;
    return y;
}

Bytes32 invalid_point() {
    Bytes32 y{};
    y[0] = 2;  // y = 2 has no x
    return y;
}

// Entry i of a point stream: mostly random points, with the identity,
// small-order points, mixed-order points and non-canonical encodings spread
// over the lanes.
Bytes32 point_entry(std::size_t i) {
    static const std::vector<EdwardsPoint> torsion = torsion_points();
    switch (i % 11) {
        case 2: return encode(torsion[i % 8]);
        case 5: return encode(random_point() + torsion[(i / 11) % 8]);
        case 7: return non_canonical(static_cast<int>(i % 2), (i / 2) % 2 == 1);
        case 9: return encode(EdwardsPoint::identity());
        default: return encode(random_point());
    }
}

Bytes point_stream(std::size_t n) {
    Bytes out;
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes32 e = point_entry(i);
        out.insert(out.end(), e.begin(), e.end());
    }
    return out;
}

Bytes wide_stream(std::size_t n) { return point_stream(4 * n); }

void put(Bytes& stream, std::size_t offset, const Bytes32& value) {
    std::memcpy(stream.data() + offset, value.data(), 32);
}

ByteArg arg(const Bytes& bytes) { return ByteArg::of(bytes); }

ByteArg key_arg(const Bytes32& key) { return ByteArg::of(std::span<const std::uint8_t>(key.data(), 32)); }

std::vector<Bytes32> secret_keys() {
    Bytes32 zero{}, one{}, ones{};
    one[0] = 1;
    ones.fill(0xff);  // bit 255 cleared on reading: 2^255 - 1
    return {random_scalar().to_bytes(), zero, one, ones, random_scalar().to_bytes()};
}

const std::size_t kLengths[] = {0, 1, 3, 7, 8, 9, 15, 16, 17, 24, 31};

Outcome decrypt(const Bytes& points, const Bytes32& key, Backend backend) {
    return run([&](Outcome& o) { ostrelline::decrypt(arg(points), key_arg(key), sink_into(o), backend); });
}

TEST_F(BatchOperations, DecryptAgrees) {
    for (const Bytes32& key : secret_keys()) {
        for (std::size_t n : kLengths) {
            const Bytes points = point_stream(n);
            const Outcome scalar = decrypt(points, key, Backend::scalar);
            EXPECT_TRUE(scalar.error.empty());
            expect_same(scalar, decrypt(points, key, Backend::batch), label("length", n));
        }
    }
}

TEST_F(BatchOperations, DecryptFailsAlikeAtEveryPosition) {
    const Bytes32 key = random_scalar().to_bytes();
    const Bytes clean = point_stream(17);
    for (std::size_t bad = 0; bad < 17; ++bad) {
        Bytes points = clean;
        put(points, 32 * bad, invalid_point());
        const Outcome scalar = decrypt(points, key, Backend::scalar);
        EXPECT_EQ(scalar.error, support::kUnwrapNone);
        expect_same(scalar, decrypt(points, key, Backend::batch), label("invalid at", bad));
        // A short last chunk comes after the invalid entry: the entry is reported.
        points.resize(points.size() + 5, 0);
        expect_same(scalar, decrypt(points, key, Backend::batch), "invalid then short");
    }
    for (std::size_t n : kLengths) {
        Bytes points = point_stream(n);
        points.resize(points.size() + 1 + n % 31, 7);
        const Outcome scalar = decrypt(points, key, Backend::scalar);
        EXPECT_FALSE(scalar.error.empty());
        expect_same(scalar, decrypt(points, key, Backend::batch), label("short chunk after", n));
    }
}

Outcome finish(const std::array<Bytes, 4>& s, const Bytes32& key, Backend backend) {
    return run([&](Outcome& o) {
        o.matches = ostrelline::finish(arg(s[0]), arg(s[1]), arg(s[2]), arg(s[3]), key_arg(key), backend);
    });
}

// Four streams of n entries where entry i satisfies D = S + R + x G for
// even i and fails it for odd i.
std::array<Bytes, 4> finish_streams(std::size_t n, const Scalar& x) {
    std::array<Bytes, 4> s;
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes32 es = point_entry(i), er = point_entry(i + 3), eg = point_entry(i + 6);
        const EdwardsPoint ps = *CompressedEdwardsY{es}.decompress(), pr = *CompressedEdwardsY{er}.decompress(),
                           pg = *CompressedEdwardsY{eg}.decompress();
        EdwardsPoint d = (ps + pr) + pg.mul(x);
        if (i % 2 == 1) d = d + random_point();
        const Bytes32 ed = encode(d);
        for (const auto& [stream, e] : {std::pair{&s[0], es}, {&s[1], er}, {&s[2], eg}, {&s[3], ed}}) {
            stream->insert(stream->end(), e.begin(), e.end());
        }
    }
    return s;
}

TEST_F(BatchOperations, FinishAgrees) {
    for (const Bytes32& key : secret_keys()) {
        const Scalar x = Scalar::from_bits(key.data());
        for (std::size_t n : kLengths) {
            std::array<Bytes, 4> s = finish_streams(n, x);
            const Outcome scalar = finish(s, key, Backend::scalar);
            ASSERT_TRUE(scalar.error.empty());
            ASSERT_EQ(scalar.matches.size(), n);
            for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(scalar.matches[i], i % 2 == 0 ? 1 : 0) << i;
            expect_same(scalar, finish(s, key, Backend::batch), label("length", n));
            // Streams of different lengths: the shortest decides.
            s[n % 4].resize(s[n % 4].size() / 2 / 32 * 32);
            expect_same(finish(s, key, Backend::scalar), finish(s, key, Backend::batch), "uneven");
        }
    }
}

TEST_F(BatchOperations, FinishFailsAlikeInEveryStreamAndPosition) {
    const Bytes32 key = random_scalar().to_bytes();
    const std::array<Bytes, 4> clean = finish_streams(13, Scalar::from_bits(key.data()));
    for (std::size_t stream = 0; stream < 4; ++stream) {
        for (std::size_t bad = 0; bad < 13; ++bad) {
            std::array<Bytes, 4> s = clean;
            put(s[stream], 32 * bad, invalid_point());
            // A later invalid entry in another stream must not be reported first.
            put(s[(stream + 1) % 4], 32 * ((bad + 1) % 13), invalid_point());
            const Outcome scalar = finish(s, key, Backend::scalar);
            EXPECT_EQ(scalar.error, support::kUnwrapNone);
            expect_same(scalar, finish(s, key, Backend::batch), label("stream", stream));
        }
        std::array<Bytes, 4> s = clean;
        s[stream].resize(32 * 12 + 9);  // entry 12 is 9 bytes long
        const Outcome scalar = finish(s, key, Backend::scalar);
        EXPECT_EQ(scalar.error, "source slice length (9) does not match destination slice length (32)");
        expect_same(scalar, finish(s, key, Backend::batch), "short chunk");
    }
}

Outcome combine(const Bytes& a, const Bytes& c, Backend backend) {
    return run([&](Outcome& o) { ostrelline::combine(arg(a), arg(c), sink_into(o), backend); });
}

TEST_F(BatchOperations, CombineAgrees) {
    for (std::size_t n : kLengths) {
        for (std::size_t m : {n, n + 3, n / 2}) {
            const Bytes a = wide_stream(n), c = wide_stream(m);
            const Outcome scalar = combine(a, c, Backend::scalar);
            ASSERT_TRUE(scalar.error.empty());
            ASSERT_EQ(scalar.buffers.size(), 4u);
            expect_same(scalar, combine(a, c, Backend::batch), label("lengths", n) + label(",", m));
        }
    }
}

TEST_F(BatchOperations, CombineFailsAlikeAtEveryComponent) {
    const Bytes clean_a = wide_stream(10), clean_c = wide_stream(10);
    for (std::size_t bad = 0; bad < 40; ++bad) {
        for (int side = 0; side < 2; ++side) {
            Bytes a = clean_a, c = clean_c;
            put(side == 0 ? a : c, 32 * bad, invalid_point());
            put(side == 0 ? c : a, 32 * ((bad + 5) % 40), invalid_point());
            const Outcome scalar = combine(a, c, Backend::scalar);
            EXPECT_EQ(scalar.error, support::kUnwrapNone);
            expect_same(scalar, combine(a, c, Backend::batch), label("component", bad));
        }
    }
    for (std::size_t extra : {2u, 40u, 72u, 100u}) {
        Bytes a = clean_a;
        a.resize(a.size() + extra, 1);
        const Outcome scalar = combine(a, wide_stream(11), Backend::scalar);
        EXPECT_FALSE(scalar.error.empty());
        expect_same(scalar, combine(a, wide_stream(11), Backend::batch), "short chunk");
        // The short chunk beyond the shorter stream is never read.
        expect_same(combine(a, clean_c, Backend::scalar), combine(a, clean_c, Backend::batch), "unread chunk");
    }
}

// The batch path with given scalars against WideCiphertext::randomize_with.
TEST_F(BatchOperations, RandomizeGivesScalarBytesForTheSameScalars) {
    for (std::size_t n : kLengths) {
        const Bytes in = wide_stream(n);
        std::vector<Scalar> t;
        for (std::size_t i = 0; i < n; ++i) t.push_back(i % 5 == 3 ? Scalar::from_bits(non_canonical(0, true).data()) : random_scalar());
        Bytes batch(128 * n), scalar(128 * n);
        ostrelline::paths::randomize_batch(in, batch.data(), n, t.data());
        for (std::size_t i = 0; i < n; ++i) {
            const auto entry = ostrelline::WideCiphertext::from_bytes(std::span(in).subspan(128 * i, 128));
            entry.randomize_with(t[i]).to_bytes(scalar.data() + 128 * i);
        }
        EXPECT_EQ(batch, scalar) << n;
    }
}

Outcome randomize(const Bytes& in, Backend backend) {
    return run([&](Outcome& o) { ostrelline::randomize(arg(in), sink_into(o), backend); });
}

TEST_F(BatchOperations, RandomizeKeepsOneScalarPerEntryAndFailsAlike) {
    // Entries (G, 2G, 3G, 4G) stay (H, 2H, 3H, 4H) for a new H.
    Bytes in;
    for (std::size_t i = 0; i < 11; ++i) {
        const EdwardsPoint g = i == 4 ? torsion_points()[3] : random_point();
        EdwardsPoint m = g;
        for (int k = 0; k < 4; ++k, m = m + g) {
            const Bytes32 e = encode(m);
            in.insert(in.end(), e.begin(), e.end());
        }
    }
    const Outcome out = randomize(in, Backend::batch);
    ASSERT_TRUE(out.error.empty());
    ASSERT_EQ(out.buffers.size(), 1u);
    ASSERT_EQ(out.buffers[0].size(), in.size());
    for (std::size_t i = 0; i < 11; ++i) {
        const auto point = [&](std::size_t k) {
            Bytes32 e;
            std::memcpy(e.data(), out.buffers[0].data() + 128 * i + 32 * k, 32);
            return *CompressedEdwardsY{e}.decompress();
        };
        const EdwardsPoint h = point(0);
        EXPECT_EQ(point(1), h + h);
        EXPECT_EQ(point(2), h + h + h);
        EXPECT_EQ(point(3), h + h + h + h);
        // Entry 4 has order 8, so t G = G for one t in eight; the others change.
        if (i != 4) {
            EXPECT_NE(std::memcmp(out.buffers[0].data() + 128 * i, in.data() + 128 * i, 32), 0);
        }
    }
    const Bytes clean = wide_stream(9);
    for (std::size_t bad = 0; bad < 36; ++bad) {
        Bytes s = clean;
        put(s, 32 * bad, invalid_point());
        const Outcome scalar = randomize(s, Backend::scalar);
        EXPECT_EQ(scalar.error, support::kUnwrapNone);
        expect_same(scalar, randomize(s, Backend::batch), label("invalid at", bad));
    }
    for (std::size_t extra : {2u, 40u, 72u, 127u}) {
        Bytes s = clean;
        s.resize(s.size() + extra, 1);
        const Outcome scalar = randomize(s, Backend::scalar);
        EXPECT_FALSE(scalar.error.empty());
        expect_same(scalar, randomize(s, Backend::batch), label("short chunk of", extra));
    }
}

// The reference for add_and_randomize with a given scalar, from the scalar
// layer's primitives in the order Ciphertext::add_and_randomize uses them.
// The scalar path's result for scalar z, and which components it could not
// pin down: a decoded point whose multiple by 8 is the identity is replaced
// by a fresh random point on either path.
struct Reference {
    Bytes bytes;
    std::array<bool, 4> random{};
};

Reference add_and_randomize_reference(const ostrelline::Ciphertext& s, const ostrelline::Ciphertext& r,
                                      const EdwardsPoint& key, const Scalar& z) {
    using ostrelline::point_conversion::uniform_bytes_to_point;
    const auto cleared = [](const std::array<std::uint8_t, 32>& half) {
        return uniform_bytes_to_point(half).mul_by_cofactor();
    };
    const EdwardsPoint a1 = cleared(s.c1), a2 = cleared(s.c2), b1 = cleared(r.c1), b2 = cleared(r.c2);
    const auto w = ostrelline::WideCiphertext::from_points(a1.mul(z), b1.mul(z), ED25519_BASEPOINT_TABLE().mul(z),
                                                           ((a2 + b2) + key).mul(z));
    const auto bytes = w.to_bytes();
    const auto degenerate = [](const EdwardsPoint& p) { return p.is_identity().declassify(); };
    return Reference{Bytes(bytes.begin(), bytes.end()),
                     {degenerate(a1), degenerate(b1), false, degenerate(a2) || degenerate(b2)}};
}

TEST_F(BatchOperations, AddAndRandomizeGivesScalarBytesForTheSameScalars) {
    const EdwardsPoint key = random_point();
    for (std::size_t count = 1; count <= b::kLanes; ++count) {
        std::vector<ostrelline::Ciphertext> s(count), r(count);
        std::vector<Scalar> z(count);
        for (std::size_t i = 0; i < count; ++i) {
            s[i] = ostrelline::Ciphertext::random();
            r[i] = ostrelline::Ciphertext::random();
            z[i] = random_scalar();
        }
        // Edge halves: all zero (the point (0, -1), cleared to the identity and
        // so replaced), all ones (r = 18, sign set).
        s[0].c1.fill(0);
        r[count - 1].c2.fill(0xff);
        Bytes got(128 * count);
        ostrelline::paths::add_and_randomize_batch(s.data(), r.data(), count, key, got.data(), z.data());
        for (std::size_t i = 0; i < count; ++i) {
            const Reference want = add_and_randomize_reference(s[i], r[i], key, z[i]);
            EXPECT_EQ(want.random[0], i == 0);
            for (std::size_t k = 0; k < 4; ++k) {
                const Bytes component(got.begin() + 128 * i + 32 * k, got.begin() + 128 * i + 32 * (k + 1));
                if (want.random[k]) {
                    // A fresh point of the prime-order subgroup, not the identity.
                    std::array<std::uint8_t, 32> c{};
                    std::copy(component.begin(), component.end(), c.begin());
                    const EdwardsPoint p = *CompressedEdwardsY{c}.decompress();
                    EXPECT_FALSE(p.is_identity().declassify());
                    EXPECT_TRUE(p.is_torsion_free().declassify());
                } else {
                    EXPECT_EQ(component, Bytes(want.bytes.begin() + 32 * k, want.bytes.begin() + 32 * (k + 1)))
                        << count << " " << i << " " << k;
                }
            }
        }
    }
}

// Each ciphertext of zero_batch with `hiding` decodes to (A + T1, k A + T2):
// cleared of torsion the pair still encrypts the identity, and parities of
// both halves vary.
TEST_F(BatchOperations, HidingZeroBatchEncryptsTheIdentityUpToTorsion) {
    const Scalar k = random_scalar();
    const EdwardsPoint key = ED25519_BASEPOINT_TABLE().mul(k);
    const std::vector<ostrelline::Ciphertext> c = ostrelline::paths::zero_batch(key, 61, true);
    ASSERT_EQ(c.size(), 61u);
    int odd = 0, torsion_free = 0;
    for (const ostrelline::Ciphertext& ct : c) {
        const EdwardsPoint a = ostrelline::point_conversion::uniform_bytes_to_point(ct.c1).mul_by_cofactor();
        const EdwardsPoint b2 = ostrelline::point_conversion::uniform_bytes_to_point(ct.c2);
        EXPECT_EQ(b2.mul_by_cofactor(), a.mul(k));
        odd += (ct.c1[0] & 1) + (ct.c2[0] & 1);
        torsion_free += b2.is_torsion_free().declassify();
    }
    EXPECT_GT(odd, 20);
    EXPECT_LT(odd, 102);
    EXPECT_LT(torsion_free, 30);  // about one in eight
}

// Each ciphertext of zero_batch decodes to (A, k A) for the key's secret k,
// with bit 0 clear in both halves, and no two share a scalar.
TEST_F(BatchOperations, ZeroBatchEncryptsTheIdentityUnderTheKey) {
    const Scalar k = random_scalar();
    const EdwardsPoint key = ED25519_BASEPOINT_TABLE().mul(k);
    for (std::size_t count : {1u, 2u, 7u, 8u, 9u, 30u}) {
        const std::vector<ostrelline::Ciphertext> c = ostrelline::paths::zero_batch(key, count);
        ASSERT_EQ(c.size(), count);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(c[i].c1[0] & 1, 0);
            EXPECT_EQ(c[i].c2[0] & 1, 0);
            const EdwardsPoint a = ostrelline::point_conversion::uniform_bytes_to_point(c[i].c1);
            EXPECT_EQ(ostrelline::point_conversion::uniform_bytes_to_point(c[i].c2), a.mul(k));
            for (std::size_t j = 0; j < i; ++j) EXPECT_NE(c[i].c1, c[j].c1);
        }
    }
    // A key with torsion: c2 = x (k B + T) still holds for the scalar x of c1.
    EXPECT_EQ(ostrelline::paths::zero_batch(key + torsion_points()[5], 9).size(), 9u);
}

// The whole protocol with every step on the batch path and, for comparison,
// on the scalar path: held rows match, absent rows do not.
TEST_F(BatchOperations, ProtocolRoundTripOnBothPaths) {
    for (Backend backend : {Backend::batch, Backend::scalar}) {
        const auto keys = [] {
            const Scalar x = random_scalar();
            return std::pair{x.to_bytes(), ED25519_BASEPOINT_TABLE().mul(x).compress().bytes};
        };
        const auto [xs, ps] = keys();
        const auto [xr, pr] = keys();
        const auto [xq, pq] = keys();
        const auto rows = [](const char* prefix, std::size_t n) {
            ostrelline::Rows out(n);
            for (std::size_t i = 0; i < n; ++i) out[i].push_column(label(prefix, i));
            return out;
        };
        Outcome store_s = run([&](Outcome& o) {
            ostrelline::build_hiding_okvs(key_arg(ps), rows("s", 13), sink_into(o), backend);
        });
        Outcome store_r = run([&](Outcome& o) { ostrelline::build_okvs(key_arg(pr), rows("r", 11), sink_into(o), backend); });
        ASSERT_TRUE(store_s.error.empty() && store_r.error.empty());
        // Queries 0..10 hold both rows; query 11 misses the receiver row, 12 both.
        ostrelline::Rows sq = rows("s", 13), rq = rows("r", 11);
        rq.push_back(rows("x", 1)[0]);
        rq.push_back(rows("y", 1)[0]);
        sq[12] = rows("z", 1)[0];
        Outcome q = run([&](Outcome& o) {
            ostrelline::initiate_queries(std::move(sq), std::move(rq), arg(store_s.buffers[0]),
                                         arg(store_r.buffers[0]), key_arg(pq), sink_into(o), backend);
        });
        ASSERT_TRUE(q.error.empty());
        const Outcome t1 = randomize(q.buffers[0], backend), t2 = randomize(q.buffers[0], backend);
        const Outcome c = combine(t1.buffers[0], t2.buffers[0], backend);
        ASSERT_EQ(c.buffers.size(), 4u);
        const Outcome ds = decrypt(c.buffers[0], xs, backend), dr = decrypt(c.buffers[1], xr, backend);
        const Outcome f = finish({ds.buffers[0], dr.buffers[0], c.buffers[2], c.buffers[3]}, xq, backend);
        ASSERT_TRUE(f.error.empty());
        std::vector<std::uint8_t> want(13, 1);
        want[11] = want[12] = 0;
        EXPECT_EQ(f.matches, want);
    }
}

}  // namespace
