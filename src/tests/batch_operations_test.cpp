// The stream operations through each backend and through the reference (the
// same lane path on one lane of the scalar field) on the same inputs: the
// same bytes, or the same failure message after the same entries were
// written (so the same first failing entry); the reference itself against
// the scalar layer's point operations. Streams
// of lengths around the backend's lane count, entries that are the
// identity, small-order points and encodings with y >= p, entries that do
// not decompress at every position, and short last chunks. Where an
// operation draws a scalar per entry, the backend's lane path is run with
// scalars the test gives (the test tables of given_scalars/) and checked
// against the scalar layer's multiplications by them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "edwards25519/table.hpp"
#include "edwards25519/tests/batch_backends.hpp"
#include "edwards25519/tests/batch_inputs.hpp"
#include "src/ciphertexts.hpp"
#include "src/operations.hpp"
#include "src/point_conversion.hpp"
#include "src/paths/kernels.hpp"
#include "src/tests/given_scalars/given_scalars.hpp"
#include "support/failure.hpp"

namespace {

using edwards25519::CompressedEdwardsY;
using edwards25519::ED25519_BASEPOINT_TABLE;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using ostrelline::Operations;
using ostrelline::ByteArg;
using ostrelline::Ciphertext;
using ostrelline::Sink;
using Bytes = std::vector<std::uint8_t>;
using Bytes32 = std::array<std::uint8_t, 32>;
namespace b = edwards25519::batch;
namespace inputs = batch_inputs;
namespace pc = ostrelline::point_conversion;

// What the allocated result buffers hold before an operation writes them: a
// 32-byte entry still equal to this afterwards was not written (no
// compressed point is these bytes, bar a chance of 2^-250).
constexpr std::uint8_t kUnwritten = 0xa5;

// Every buffer an operation allocates, in order, as it stands when the
// operation returns or fails, and the failure message.
struct Outcome {
    std::vector<Bytes> buffers;
    std::vector<std::uint8_t> matches;
    std::string error;
};

Sink sink_into(Outcome& o) {
    return Sink{&o, [](void* context, std::size_t size) -> std::uint8_t* {
                    auto& buffers = static_cast<Outcome*>(context)->buffers;
                    buffers.emplace_back(size, kUnwritten);
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
    }
    return o;
}

void expect_same(const Outcome& scalar, const Outcome& batch, const std::string& what) {
    EXPECT_EQ(batch.error, scalar.error) << what;
    EXPECT_EQ(batch.buffers, scalar.buffers) << what;
    EXPECT_EQ(batch.matches, scalar.matches) << what;
}

// Which 32-byte entries of each buffer were written: for results that hold
// fresh random multiples.
std::vector<std::vector<bool>> written(const Outcome& o) {
    std::vector<std::vector<bool>> out;
    for (const Bytes& buffer : o.buffers) {
        std::vector<bool> entries;
        for (std::size_t at = 0; at + 32 <= buffer.size(); at += 32) {
            entries.push_back(!std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(at),
                                           buffer.begin() + static_cast<std::ptrdiff_t>(at + 32),
                                           [](std::uint8_t x) { return x == kUnwritten; }));
        }
        out.push_back(std::move(entries));
    }
    return out;
}

std::string label(const char* what, std::size_t n) {
    std::string s = what;
    s += ' ';
    s += std::to_string(n);
    return s;
}

Bytes32 encode(const EdwardsPoint& p) { return p.compress().bytes; }

EdwardsPoint decode(const Bytes32& e) { return *CompressedEdwardsY{e}.decompress(); }

const std::vector<EdwardsPoint>& torsion() {
    static const std::vector<EdwardsPoint> points = inputs::torsion_points();
    return points;
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
    switch (i % 7) {
        case 1: return encode(torsion()[i % 8]);
        case 3: return encode(inputs::random_point() + torsion()[(i / 7) % 8]);
        case 4: return inputs::p_plus(static_cast<int>(i % 2), (i / 7) % 2 == 1);
        case 6: return encode(EdwardsPoint::identity());
        default: return encode(inputs::random_point());
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

// Secret keys: a random one, 0, 1, and all ones (read as 2^255 - 1).
std::vector<Bytes32> secret_keys() {
    Bytes32 zero{}, one{}, ones;
    one[0] = 1;
    ones.fill(0xff);
    return {ostrelline::random_scalar().to_bytes(), zero, one, ones};
}

// Scalars for given-scalar runs: mostly random, with the edge scalars.
std::vector<Scalar> scalars_for(std::size_t n) {
    const std::vector<Scalar> edges = inputs::edge_scalars();
    std::vector<Scalar> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(i % 3 == 1 ? edges[(i / 3) % edges.size()] : ostrelline::random_scalar());
    return out;
}

Operations reference() { return Operations(ostrelline::paths::kernels(b::Isa::portable)); }

class BatchOperationsTest : public batch_backends::BackendTest {
protected:
    // The operations on the backend under test, and on the reference: the
    // same lane path on one lane of the scalar field.
    Operations backend() const { return Operations(streams()); }

    const ostrelline::paths::Kernels& streams() const { return ostrelline::paths::kernels(GetParam()); }
    // The same lane path on the backend, its scalars set by GivenScalars::Use.
    const ostrelline::paths::Kernels& given() const { return given_scalars::kernels(GetParam()); }

    std::vector<std::size_t> lengths() const { return batch_backends::lengths_around(streams().lanes); }

    // Several groups with a short last one.
    std::size_t long_length() const { return 3 * streams().lanes + 2; }

    // Where failures are placed: a full group, then a group short of one
    // entry, so that a failing entry stands at every lane of both.
    std::size_t failure_length() const { return std::max<std::size_t>(2 * streams().lanes - 1, 3); }
};

Outcome decrypt(const Bytes& points, const Bytes32& key, const Operations& backend) {
    return run([&](Outcome& o) { backend.decrypt(arg(points), key_arg(key), sink_into(o)); });
}

TEST_P(BatchOperationsTest, DecryptMatchesScalar) {
    for (const Bytes32& key : secret_keys()) {
        for (std::size_t n : lengths()) {
            const Bytes points = point_stream(n);
            const Outcome scalar = decrypt(points, key, reference());
            EXPECT_TRUE(scalar.error.empty());
            expect_same(scalar, decrypt(points, key, backend()), label("length", n));
        }
    }
}

TEST_P(BatchOperationsTest, DecryptFailsAlikeAtEveryEntry) {
    const Bytes32 key = ostrelline::random_scalar().to_bytes();
    const std::size_t n = failure_length();
    const Bytes clean = point_stream(n);
    for (std::size_t bad = 0; bad < n; ++bad) {
        Bytes points = clean;
        put(points, 32 * bad, invalid_point());
        // A later invalid entry, in the same group or the next, is not the one reported.
        if (bad + 2 < n) put(points, 32 * (bad + 2), invalid_point());
        const Outcome scalar = decrypt(points, key, reference());
        EXPECT_EQ(scalar.error, support::kUnwrapNone);
        expect_same(scalar, decrypt(points, key, backend()), label("invalid at", bad));
        // A short last chunk comes after the invalid entry: the entry is reported.
        points.resize(points.size() + 5, 0);
        expect_same(scalar, decrypt(points, key, backend()), label("invalid, then a short chunk, at", bad));
    }
    for (std::size_t len : lengths()) {
        Bytes points = point_stream(len);
        points.resize(points.size() + 1 + len % 31, 7);
        const Outcome scalar = decrypt(points, key, reference());
        EXPECT_NE(scalar.error.find("source slice length"), std::string::npos);
        expect_same(scalar, decrypt(points, key, backend()), label("short chunk after", len));
    }
}

// Keys of every residue mod 8: random keys with their low three bits set to
// r, and the same keys unreduced (x + l where that stays below 2^255), so
// that x mod 8 and (x mod l) mod 8 both take every value.
std::vector<Bytes32> keys_of_every_residue() {
    std::vector<Bytes32> keys;
    for (std::uint8_t r = 0; r < 8; ++r) {
        Bytes32 key = ostrelline::random_scalar().to_bytes();
        key[0] = static_cast<std::uint8_t>((key[0] & 0xf8) | r);
        keys.push_back(key);
        // key < 2^253 and l < 2^253: key + l < 2^255, read as it is.
        const Bytes32 l = inputs::group_order();
        Bytes32 unreduced{};
        unsigned carry = 0;
        for (std::size_t i = 0; i < 32; ++i) {
            const unsigned sum = key[i] + l[i] + carry;
            unreduced[i] = static_cast<std::uint8_t>(sum);
            carry = sum >> 8;
        }
        keys.push_back(unreduced);
    }
    Bytes32 ones;
    ones.fill(0xff);
    keys.push_back(ones);
    return keys;
}

// x Q by a plain multiplication: what the key answered for a point of the
// prime-order subgroup before small-order parts were dropped.
Bytes32 plain_product(const Bytes32& key, const EdwardsPoint& q) {
    return encode(q.mul(Scalar::from_bits(key.data())));
}

Bytes concat(const std::vector<Bytes32>& entries) {
    Bytes out;
    for (const Bytes32& e : entries) out.insert(out.end(), e.begin(), e.end());
    return out;
}

// A payment network sending points of order dividing 8, each of the eight at
// every lane position: every key, whatever its residue mod 8, answers the
// identity, on the scalar path and on the backend.
TEST_P(BatchOperationsTest, DecryptOfSmallOrderPointsIsTheIdentityForEveryKey) {
    const std::size_t n = long_length();
    const Bytes identities = concat(std::vector<Bytes32>(n, encode(EdwardsPoint::identity())));
    for (const Bytes32& key : keys_of_every_residue()) {
        for (std::size_t shift = 0; shift < 8; ++shift) {
            std::vector<Bytes32> entries;
            for (std::size_t i = 0; i < n; ++i) entries.push_back(encode(torsion()[(i + shift) % 8]));
            const Bytes points = concat(entries);
            for (const Operations& path : {reference(), backend()}) {
                const Outcome o = decrypt(points, key, path);
                EXPECT_EQ(o.error, "") << label("shift", shift);
                ASSERT_EQ(o.buffers.size(), 1u);
                EXPECT_EQ(o.buffers[0], identities) << label("shift", shift) << label(", key byte 0", key[0]);
            }
        }
    }
}

// Q + T for Q of prime order and T of order dividing 8 gives what Q gives,
// and Q gives x Q exactly as a plain multiplication by the key does: at
// every stream length around the lane count, with each T at every lane.
TEST_P(BatchOperationsTest, DecryptOfMixedPointsIsDecryptOfTheirPrimeOrderPart) {
    for (const Bytes32& key : keys_of_every_residue()) {
        for (std::size_t n : lengths()) {
            std::vector<EdwardsPoint> q;
            std::vector<Bytes32> clean, expected;
            for (std::size_t i = 0; i < n; ++i) {
                q.push_back(inputs::random_point());
                clean.push_back(encode(q.back()));
                expected.push_back(plain_product(key, q.back()));
            }
            const Bytes want = concat(expected);
            for (const Operations& path : {reference(), backend()}) {
                const Outcome o = decrypt(concat(clean), key, path);
                ASSERT_EQ(o.buffers.size(), 1u);
                EXPECT_EQ(o.buffers[0], want) << label("prime-order points, length", n);
                for (std::size_t shift = 0; shift < 8; ++shift) {
                    std::vector<Bytes32> mixed;
                    for (std::size_t i = 0; i < n; ++i) mixed.push_back(encode(q[i] + torsion()[(i + shift) % 8]));
                    const Outcome m = decrypt(concat(mixed), key, path);
                    EXPECT_EQ(m.error, "");
                    ASSERT_EQ(m.buffers.size(), 1u);
                    EXPECT_EQ(m.buffers[0], want) << label("length", n) << label(", shift", shift);
                }
            }
        }
    }
}

// Failures are those of a plain multiplication: an invalid encoding stops
// the call with the same message at the same entry, the entries before it
// written with their answers and none after; a short last chunk names its
// length. Small-order and mixed points around the failure change nothing.
TEST_P(BatchOperationsTest, DecryptFailsAtTheSameEntryWithTheSameMessage) {
    const Bytes32 key = keys_of_every_residue()[3];
    const std::size_t n = failure_length();
    std::vector<Bytes32> entries, answers;
    for (std::size_t i = 0; i < n; ++i) {
        const EdwardsPoint q = inputs::random_point();
        entries.push_back(encode(q + torsion()[i % 8]));
        answers.push_back(plain_product(key, q));
    }
    const Bytes32 unwritten = [] {
        Bytes32 b;
        b.fill(kUnwritten);
        return b;
    }();
    for (std::size_t bad = 0; bad < n; ++bad) {
        std::vector<Bytes32> with_bad = entries, want = answers;
        with_bad[bad] = invalid_point();
        for (std::size_t i = bad; i < n; ++i) want[i] = unwritten;
        for (const Operations& path : {reference(), backend()}) {
            const Outcome o = decrypt(concat(with_bad), key, path);
            EXPECT_EQ(o.error, support::kUnwrapNone) << label("invalid at", bad);
            ASSERT_EQ(o.buffers.size(), 1u);
            EXPECT_EQ(o.buffers[0], concat(want)) << label("invalid at", bad);
        }
    }
    for (std::size_t len : lengths()) {
        const auto end = entries.begin() + static_cast<std::ptrdiff_t>(std::min(len, n));
        const std::vector<Bytes32> head(entries.begin(), end);
        Bytes points = concat(head);
        const std::size_t tail = 1 + len % 31;
        points.resize(points.size() + tail, 7);
        for (const Operations& path : {reference(), backend()}) {
            const Outcome o = decrypt(points, key, path);
            EXPECT_EQ(o.error, "source slice length (" + std::to_string(tail) +
                                   ") does not match destination slice length (32)")
                << label("short chunk after", len);
            ASSERT_EQ(o.buffers.size(), 1u);
            std::vector<Bytes32> want(answers.begin(), answers.begin() + static_cast<std::ptrdiff_t>(head.size()));
            EXPECT_EQ(o.buffers[0], concat(want)) << label("short chunk after", len);
        }
    }
}

Outcome finish(const std::array<Bytes, 4>& s, const Bytes32& key, const Operations& backend) {
    return run([&](Outcome& o) {
        o.matches = backend.finish(arg(s[0]), arg(s[1]), arg(s[2]), arg(s[3]), key_arg(key));
    });
}

// Four streams of n entries where entry i satisfies D = S + R + x G for
// even i and fails it for odd i.
std::array<Bytes, 4> finish_streams(std::size_t n, const Scalar& x) {
    std::array<Bytes, 4> s;
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes32 es = point_entry(i), er = point_entry(i + 3), eg = point_entry(i + 5);
        EdwardsPoint d = (decode(es) + decode(er)) + decode(eg).mul(x);
        if (i % 2 == 1) d = d + inputs::random_point();
        const Bytes32 ed = encode(d);
        for (const auto& [stream, e] : {std::pair{&s[0], es}, {&s[1], er}, {&s[2], eg}, {&s[3], ed}}) {
            stream->insert(stream->end(), e.begin(), e.end());
        }
    }
    return s;
}

TEST_P(BatchOperationsTest, FinishMatchesScalar) {
    for (const Bytes32& key : secret_keys()) {
        const Scalar x = Scalar::from_bits(key.data());
        for (std::size_t n : lengths()) {
            std::array<Bytes, 4> s = finish_streams(n, x);
            const Outcome scalar = finish(s, key, reference());
            ASSERT_TRUE(scalar.error.empty());
            ASSERT_EQ(scalar.matches.size(), n);
            for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(scalar.matches[i], i % 2 == 0 ? 1 : 0) << i;
            expect_same(scalar, finish(s, key, backend()), label("length", n));
            // Streams of different lengths: the shortest decides.
            s[n % 4].resize(s[n % 4].size() / 2 / 32 * 32);
            expect_same(finish(s, key, reference()), finish(s, key, backend()), label("uneven, length", n));
        }
    }
}

// An invalid point in one stream and a short chunk in another, in either
// order: entries are read in stream order entry by entry, and the first
// failure decides the message.
TEST_P(BatchOperationsTest, FinishFailsAlikeInEveryStreamAndEntry) {
    const Bytes32 key = ostrelline::random_scalar().to_bytes();
    const std::size_t n = failure_length();
    const std::array<Bytes, 4> clean = finish_streams(n, Scalar::from_bits(key.data()));
    std::size_t short_first = 0, invalid_first = 0;
    for (std::size_t stream = 0; stream < 4; ++stream) {
        for (std::size_t bad = 0; bad < n; ++bad) {
            std::array<Bytes, 4> s = clean;
            put(s[stream], 32 * bad, invalid_point());
            const Outcome scalar = finish(s, key, reference());
            EXPECT_EQ(scalar.error, support::kUnwrapNone);
            expect_same(scalar, finish(s, key, backend()), label("stream", stream) + label(", invalid at", bad));
            // With a short chunk too, for one stream of each entry.
            if (bad % 4 != stream) continue;
            const std::size_t other = (stream + 1 + (bad / 4) % 3) % 4;
            for (std::size_t cut = bad == 0 ? 0 : bad - 1; cut <= bad + 1 && cut < n; ++cut) {
                std::array<Bytes, 4> t = s;
                t[other].resize(32 * cut + 9);
                const Outcome want = finish(t, key, reference());
                ASSERT_FALSE(want.error.empty());
                ++(want.error == support::kUnwrapNone ? invalid_first : short_first);
                expect_same(want, finish(t, key, backend()),
                            label("stream", stream) + label(", invalid at", bad) + label(", short at", cut));
            }
        }
    }
    EXPECT_GT(short_first, 0u);
    EXPECT_GT(invalid_first, 0u);
}

Outcome combine(const Bytes& a, const Bytes& c, const Operations& backend) {
    return run([&](Outcome& o) { backend.combine(arg(a), arg(c), sink_into(o)); });
}

TEST_P(BatchOperationsTest, CombineMatchesScalar) {
    for (std::size_t n : lengths()) {
        for (std::size_t m : {n, n + 3, n / 2}) {
            const Bytes a = wide_stream(n), c = wide_stream(m);
            const Outcome scalar = combine(a, c, reference());
            ASSERT_TRUE(scalar.error.empty());
            ASSERT_EQ(scalar.buffers.size(), 4u);
            // The reference against the scalar layer's addition.
            for (std::size_t i = 0; i < std::min(n, m); ++i) {
                for (std::size_t k = 0; k < 4; ++k) {
                    Bytes32 x, y, got;
                    std::memcpy(x.data(), a.data() + 128 * i + 32 * k, 32);
                    std::memcpy(y.data(), c.data() + 128 * i + 32 * k, 32);
                    std::memcpy(got.data(), scalar.buffers[k].data() + 32 * i, 32);
                    EXPECT_EQ(got, encode(decode(x) + decode(y))) << label("entry", i) << label(", component", k);
                }
            }
            expect_same(scalar, combine(a, c, backend()), label("lengths", n) + label(",", m));
        }
    }
}

TEST_P(BatchOperationsTest, CombineFailsAlikeAtEveryComponent) {
    const std::size_t n = failure_length();
    const Bytes clean_a = wide_stream(n), clean_c = wide_stream(n);
    // Every component of every entry, on one side or the other: each entry
    // and each component on both sides.
    for (std::size_t bad = 0; bad < 4 * n; ++bad) {
        const std::size_t side = (bad / 4 + bad % 4) % 2;
        Bytes a = clean_a, c = clean_c;
        put(side == 0 ? a : c, 32 * bad, invalid_point());
        put(side == 0 ? c : a, 32 * ((bad + 5) % (4 * n)), invalid_point());
        const Outcome scalar = combine(a, c, reference());
        EXPECT_EQ(scalar.error, support::kUnwrapNone);
        expect_same(scalar, combine(a, c, backend()), label("side", side) + label(", component", bad));
    }
    for (std::size_t extra : {2u, 40u, 72u, 100u}) {
        Bytes a = clean_a;
        a.resize(a.size() + extra, 1);
        const Bytes longer = wide_stream(n + 1);
        const Outcome scalar = combine(a, longer, reference());
        EXPECT_FALSE(scalar.error.empty());
        expect_same(scalar, combine(a, longer, backend()), label("short chunk of", extra));
        // The short chunk beyond the shorter stream is never read.
        expect_same(combine(a, clean_c, reference()), combine(a, clean_c, backend()), label("unread chunk of", extra));
    }
}

// The lane path with given scalars against the scalar layer's
// multiplication of each component.
TEST_P(BatchOperationsTest, RandomizeWithGivenScalarsMatchesScalar) {
    // The test table is the backend's, not another's.
    ASSERT_EQ(given().isa, GetParam());
    ASSERT_EQ(given().lanes, streams().lanes);
    for (std::size_t n : lengths()) {
        const Bytes in = wide_stream(n);
        const std::vector<Scalar> t = scalars_for(n);
        Bytes batch(128 * n, kUnwritten), scalar(128 * n);
        {
            const given_scalars::GivenScalars::Use use(t.data());
            given().randomize(in, batch.data(), n);
        }
        for (std::size_t i = 0; i < 4 * n; ++i) {
            Bytes32 component;
            std::memcpy(component.data(), in.data() + 32 * i, 32);
            put(scalar, 32 * i, encode(decode(component).mul(t[i / 4])));
        }
        EXPECT_EQ(batch, scalar) << "length " << n;
    }
}

Outcome randomize(const Bytes& in, const Operations& backend) {
    return run([&](Outcome& o) { backend.randomize(arg(in), sink_into(o)); });
}

TEST_P(BatchOperationsTest, RandomizeKeepsOneScalarPerEntryAndFailsAlike) {
    // Entries (G, 2G, 3G, 4G) stay (H, 2H, 3H, 4H) for a new H.
    const std::size_t n = long_length();
    Bytes in;
    for (std::size_t i = 0; i < n; ++i) {
        const EdwardsPoint g = i == 4 ? torsion()[3] : inputs::random_point();
        EdwardsPoint m = g;
        for (int k = 0; k < 4; ++k, m = m + g) {
            const Bytes32 e = encode(m);
            in.insert(in.end(), e.begin(), e.end());
        }
    }
    const Outcome out = randomize(in, backend());
    ASSERT_TRUE(out.error.empty());
    ASSERT_EQ(out.buffers.size(), 1u);
    ASSERT_EQ(out.buffers[0].size(), in.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto point = [&](std::size_t k) {
            Bytes32 e;
            std::memcpy(e.data(), out.buffers[0].data() + 128 * i + 32 * k, 32);
            return decode(e);
        };
        const EdwardsPoint h = point(0);
        EXPECT_EQ(point(1), h + h) << i;
        EXPECT_EQ(point(2), h + h + h) << i;
        EXPECT_EQ(point(3), h + h + h + h) << i;
        // Entry 4 has order 8, so t G = G for one t in eight; the others change.
        if (i != 4) {
            EXPECT_NE(std::memcmp(out.buffers[0].data() + 128 * i, in.data() + 128 * i, 32), 0) << i;
        }
    }
    const std::size_t m = failure_length();
    const Bytes clean = wide_stream(m);
    // An invalid entry at every lane, its component turning with the entry.
    for (std::size_t entry = 0; entry < m; ++entry) {
        const std::size_t bad = 4 * entry + entry % 4;
        Bytes s = clean;
        put(s, 32 * bad, invalid_point());
        const Outcome scalar = randomize(s, reference());
        EXPECT_EQ(scalar.error, support::kUnwrapNone);
        const Outcome batch = randomize(s, backend());
        EXPECT_EQ(batch.error, scalar.error) << "invalid at " << bad;
        EXPECT_EQ(written(batch), written(scalar)) << "invalid at " << bad;
    }
    for (std::size_t extra : {2u, 40u, 72u, 127u}) {
        Bytes s = clean;
        s.resize(s.size() + extra, 1);
        const Outcome scalar = randomize(s, reference());
        EXPECT_FALSE(scalar.error.empty());
        const Outcome batch = randomize(s, backend());
        EXPECT_EQ(batch.error, scalar.error) << "short chunk of " << extra;
        EXPECT_EQ(written(batch), written(scalar)) << "short chunk of " << extra;
    }
}

// The query of two cells for scalar z, from the scalar layer's primitives
// one point at a time (kernels.hpp gives the formulas), and which
// components it could not pin down: a decoded point whose multiple by 8 is
// the identity is replaced by a fresh random point on either path.
struct Reference {
    Bytes bytes;
    std::array<bool, 4> random{};
};

Reference add_and_randomize_reference(const Ciphertext& s, const Ciphertext& r, const EdwardsPoint& key,
                                      const Scalar& z) {
    const auto cleared = [](const Bytes32& half) { return pc::uniform_bytes_to_point(half).mul_by_cofactor(); };
    const EdwardsPoint a1 = cleared(s.c1), a2 = cleared(s.c2), b1 = cleared(r.c1), b2 = cleared(r.c2);
    Bytes bytes;
    for (const EdwardsPoint& p : {a1.mul(z), b1.mul(z), ED25519_BASEPOINT_TABLE().mul(z), ((a2 + b2) + key).mul(z)}) {
        const Bytes32 e = encode(p);
        bytes.insert(bytes.end(), e.begin(), e.end());
    }
    const auto degenerate = [](const EdwardsPoint& p) { return p.is_identity().declassify(); };
    return Reference{bytes, {degenerate(a1), degenerate(b1), false, degenerate(a2) || degenerate(b2)}};
}

// Halves that decode to points of small order: all zero bytes (the point
// (0, -1)) and the uniform bytes of those of the eight that have them.
std::vector<Bytes32> small_order_halves() {
    std::vector<Bytes32> out{Bytes32{}};
    for (const EdwardsPoint& t : torsion()) {
        for (std::uint8_t bit = 0; bit < 2; ++bit) {
            if (const auto bytes = pc::point_to_uniform_bytes(t, bit)) out.push_back(*bytes);
        }
    }
    return out;
}

TEST_P(BatchOperationsTest, QueriesWithGivenScalarsMatchScalar) {
    const std::vector<Bytes32> degenerate = small_order_halves();
    ASSERT_GT(degenerate.size(), 1u);
    const EdwardsPoint plain_key = inputs::random_point();
    for (const EdwardsPoint& key : {plain_key, plain_key + torsion()[5]}) {
        std::vector<std::size_t> counts;
        for (std::size_t count = 1; count <= streams().lanes; ++count) counts.push_back(count);
        counts.push_back(long_length());
        for (std::size_t count : counts) {
            std::vector<Ciphertext> s(count), r(count);
            for (std::size_t i = 0; i < count; ++i) {
                s[i] = Ciphertext::random();
                r[i] = Ciphertext::random();
            }
            // A small-order half in a different half and lane for each count,
            // and a half of all ones (r = 18 with the sign bit set).
            Bytes32* halves[4] = {&s[count % count].c1, &s[(count + 1) % count].c2, &r[(count + 2) % count].c1,
                                  &r[(count + 3) % count].c2};
            *halves[count % 4] = degenerate[count % degenerate.size()];
            r[count - 1].c2.fill(0xff);
            const std::vector<Scalar> z = scalars_for(count);
            Bytes got(128 * count, kUnwritten);
            Bytes sender_cells, receiver_cells;
            for (std::size_t i = 0; i < count; ++i) {
                const auto a = s[i].to_bytes(), c = r[i].to_bytes();
                sender_cells.insert(sender_cells.end(), a.begin(), a.end());
                receiver_cells.insert(receiver_cells.end(), c.begin(), c.end());
            }
            {
                const given_scalars::GivenScalars::Use use(z.data());
                given().queries(sender_cells.data(), receiver_cells.data(), count, key, got.data());
            }
            std::size_t replaced = 0;
            for (std::size_t i = 0; i < count; ++i) {
                const Reference want = add_and_randomize_reference(s[i], r[i], key, z[i]);
                for (std::size_t k = 0; k < 4; ++k) {
                    Bytes32 component, expected;
                    std::memcpy(component.data(), got.data() + 128 * i + 32 * k, 32);
                    std::memcpy(expected.data(), want.bytes.data() + 32 * k, 32);
                    const std::string at = label("count", count) + label(", entry", i) + label(", component", k);
                    if (want.random[k]) {
                        // The reference counts the replaced point as the
                        // identity; the difference is z R for the fresh point
                        // R of the prime-order subgroup.
                        const auto p = CompressedEdwardsY{component}.decompress();
                        ASSERT_TRUE(p.has_value()) << at;
                        const EdwardsPoint fresh = *p - decode(expected);
                        EXPECT_TRUE(fresh.is_torsion_free().declassify()) << at;
                        EXPECT_EQ(fresh.is_identity().declassify(),
                                  ED25519_BASEPOINT_TABLE().mul(z[i]).is_identity().declassify())
                            << at;
                        ++replaced;
                    } else {
                        EXPECT_EQ(component, expected) << at;
                    }
                }
            }
            EXPECT_EQ(replaced, 1u) << "count " << count;
        }
    }
}

// Each ciphertext of zero() under K = k B (+ a small-order T) decodes to
// (x B, x K): cleared of small-order components, (A, k A). Without hiding
// both halves are even and A = x B itself; with hiding each half carries a
// random small-order point and a representative of random parity.
TEST_P(BatchOperationsTest, ZeroEncryptsTheIdentityUnderTheKey) {
    const Scalar k = ostrelline::random_scalar();
    const EdwardsPoint key = ED25519_BASEPOINT_TABLE().mul(k);
    const std::vector<std::size_t> counts = lengths();
    for (bool hiding : {false, true}) {
        for (const EdwardsPoint& public_key : {key, key + torsion()[5]}) {
            for (std::size_t count : counts) {
                std::vector<Ciphertext> c(count + 1);
                const Bytes32 guard = inputs::random32();
                c[count].c1 = guard;
                streams().zero(public_key, count, hiding, c.data());
                EXPECT_EQ(c[count].c1, guard) << "count " << count << ": written past the end";
                for (std::size_t i = 0; i < count; ++i) {
                    const std::string at = label(hiding ? "hiding, count" : "count", count) + label(", entry", i);
                    const EdwardsPoint a = pc::uniform_bytes_to_point(c[i].c1);
                    const EdwardsPoint a2 = pc::uniform_bytes_to_point(c[i].c2);
                    EXPECT_EQ(a2.mul_by_cofactor(), a.mul_by_cofactor().mul(k)) << at;
                    EXPECT_FALSE(a.mul_by_cofactor().is_identity().declassify()) << at;
                    if (!hiding) {
                        EXPECT_EQ(c[i].c1[0] & 1, 0) << at;
                        EXPECT_EQ(c[i].c2[0] & 1, 0) << at;
                        EXPECT_TRUE(a.is_torsion_free().declassify()) << at;
                        if (public_key == key) {
                            EXPECT_EQ(a2, a.mul(k)) << at;
                        }
                    }
                    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(c[i].c1, c[j].c1) << at << label(", entry", j);
                }
            }
        }
    }
    // With hiding, random parities and small-order parts: about half of the
    // 2 n halves odd, one first half in eight free of torsion.
    const std::size_t n = 64;
    std::vector<Ciphertext> c(n);
    streams().zero(key, n, true, c.data());
    std::size_t odd = 0, torsion_free = 0;
    for (const Ciphertext& ct : c) {
        odd += static_cast<std::size_t>((ct.c1[0] & 1) + (ct.c2[0] & 1));
        torsion_free += pc::uniform_bytes_to_point(ct.c1).is_torsion_free().declassify();
    }
    EXPECT_GT(odd, n / 4);
    EXPECT_LT(odd, 7 * n / 4);
    EXPECT_LT(torsion_free, n / 2);
}

// A secret key and its public key.
std::pair<Bytes32, Bytes32> key_pair() {
    const Scalar x = ostrelline::random_scalar();
    return std::pair{x.to_bytes(), ED25519_BASEPOINT_TABLE().mul(x).compress().bytes};
}

// The row "PREFIX i", of one column, and rows "PREFIX 0" to "PREFIX n-1".
ostrelline::DataRow row(const char* prefix, std::size_t i) {
    ostrelline::DataRow out;
    out.push_column(label(prefix, i));
    return out;
}

ostrelline::Rows rows(const char* prefix, std::size_t n) {
    ostrelline::Rows out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(row(prefix, i));
    return out;
}

// The whole protocol with every step on the backend: held rows match,
// absent rows do not.
TEST_P(BatchOperationsTest, ProtocolRoundTrip) {
    const auto [xs, ps] = key_pair();
    const auto [xr, pr] = key_pair();
    const auto [xq, pq] = key_pair();
    const Outcome store_s = run([&](Outcome& o) {
        backend().build_hiding_okvs(key_arg(ps), rows("s", 13), sink_into(o));
    });
    const Outcome store_r =
        run([&](Outcome& o) { backend().build_okvs(key_arg(pr), rows("r", 11), sink_into(o)); });
    ASSERT_TRUE(store_s.error.empty() && store_r.error.empty());
    // Queries 0..10 hold both rows; query 11 misses the receiver row, 12 both.
    ostrelline::Rows sq = rows("s", 13), rq = rows("r", 11);
    rq.push_back(rows("x", 1)[0]);
    rq.push_back(rows("y", 1)[0]);
    sq[12] = rows("z", 1)[0];
    const Outcome q = run([&](Outcome& o) {
        backend().initiate_queries(std::move(sq), std::move(rq), arg(store_s.buffers[0]), arg(store_r.buffers[0]),
                                   key_arg(pq), sink_into(o));
    });
    ASSERT_TRUE(q.error.empty());
    const Outcome t1 = randomize(q.buffers[0], backend()), t2 = randomize(q.buffers[0], backend());
    const Outcome c = combine(t1.buffers[0], t2.buffers[0], backend());
    ASSERT_EQ(c.buffers.size(), 4u);
    const Outcome ds = decrypt(c.buffers[0], xs, backend()), dr = decrypt(c.buffers[1], xr, backend());
    const Outcome f = finish({ds.buffers[0], dr.buffers[0], c.buffers[2], c.buffers[3]}, xq, backend());
    ASSERT_TRUE(f.error.empty());
    std::vector<std::uint8_t> want(13, 1);
    want[11] = want[12] = 0;
    EXPECT_EQ(f.matches, want);
}

// initiate_queries against its two steps apart, decode_okvs then
// queries_from_cells, on the backend: the same match bits after the rest of
// the protocol, and fresh scalars in both (no gamma = z B repeats within or
// across the two streams).
TEST_P(BatchOperationsTest, InitiateQueriesIsDecodeOkvsThenQueriesFromCells) {
    const auto [xs, ps] = key_pair();
    const auto [xr, pr] = key_pair();
    const auto [xq, pq] = key_pair();
    const std::size_t n = long_length() + 2 * 256;  // over more than one chunk of initiate_queries
    const Outcome store_s = run([&](Outcome& o) {
        backend().build_hiding_okvs(key_arg(ps), rows("s", n), sink_into(o));
    });
    const Outcome store_r =
        run([&](Outcome& o) { backend().build_okvs(key_arg(pr), rows("r", n), sink_into(o)); });
    ASSERT_TRUE(store_s.error.empty() && store_r.error.empty());
    // Every third query misses its sender row, every fifth its receiver row;
    // one more sender row than receiver rows.
    const auto query_rows = [&] {
        ostrelline::Rows sq = rows("s", n + 1), rq = rows("r", n);
        for (std::size_t i = 0; i < n; i += 3) sq[i] = row("absent s", i);
        for (std::size_t i = 0; i < n; i += 5) rq[i] = row("absent r", i);
        return std::pair{std::move(sq), std::move(rq)};
    };
    std::vector<std::uint8_t> want(n);
    for (std::size_t i = 0; i < n; ++i) want[i] = i % 3 != 0 && i % 5 != 0;
    auto [sq, rq] = query_rows();
    const Outcome whole = run([&](Outcome& o) {
        backend().initiate_queries(std::move(sq), std::move(rq), arg(store_s.buffers[0]), arg(store_r.buffers[0]),
                                   key_arg(pq), sink_into(o));
    });
    auto [sq2, rq2] = query_rows();
    const Outcome cells_s =
        run([&](Outcome& o) { ostrelline::decode_okvs(std::move(sq2), arg(store_s.buffers[0]), sink_into(o)); });
    const Outcome cells_r =
        run([&](Outcome& o) { ostrelline::decode_okvs(std::move(rq2), arg(store_r.buffers[0]), sink_into(o)); });
    ASSERT_TRUE(whole.error.empty() && cells_s.error.empty() && cells_r.error.empty());
    ASSERT_EQ(cells_s.buffers[0].size(), 64 * (n + 1));
    ASSERT_EQ(cells_r.buffers[0].size(), 64 * n);
    const Outcome split = run([&](Outcome& o) {
        backend().queries_from_cells(arg(cells_s.buffers[0]), arg(cells_r.buffers[0]), key_arg(pq), sink_into(o));
    });
    ASSERT_TRUE(split.error.empty());
    ASSERT_EQ(whole.buffers[0].size(), 128 * n);
    ASSERT_EQ(split.buffers[0].size(), 128 * n);
    std::vector<Bytes32> gammas;
    for (const Outcome* q : {&whole, &split}) {
        const Outcome t1 = randomize(q->buffers[0], backend()), t2 = randomize(q->buffers[0], backend());
        const Outcome c = combine(t1.buffers[0], t2.buffers[0], backend());
        ASSERT_EQ(c.buffers.size(), 4u);
        const Outcome ds = decrypt(c.buffers[0], xs, backend()), dr = decrypt(c.buffers[1], xr, backend());
        const Outcome f = finish({ds.buffers[0], dr.buffers[0], c.buffers[2], c.buffers[3]}, xq, backend());
        ASSERT_TRUE(f.error.empty());
        EXPECT_EQ(f.matches, want) << (q == &whole ? "initiate_queries" : "queries_from_cells");
        for (std::size_t i = 0; i < n; ++i) {
            Bytes32 gamma;
            std::memcpy(gamma.data(), q->buffers[0].data() + 128 * i + 64, 32);
            gammas.push_back(gamma);
        }
    }
    std::sort(gammas.begin(), gammas.end());
    EXPECT_EQ(std::adjacent_find(gammas.begin(), gammas.end()), gammas.end()) << "a scalar was drawn twice";
    // The same cells twice: fresh scalars each time.
    const Outcome again = run([&](Outcome& o) {
        backend().queries_from_cells(arg(cells_s.buffers[0]), arg(cells_r.buffers[0]), key_arg(pq), sink_into(o));
    });
    ASSERT_TRUE(again.error.empty());
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NE(std::memcmp(again.buffers[0].data() + 128 * i + 64, split.buffers[0].data() + 128 * i + 64, 32), 0)
            << "entry " << i;
    }
}

INSTANTIATE_FOR_EVERY_BACKEND(BatchOperationsTest);

// The two steps of initiate_queries refuse what it refuses, with its
// messages, and their own: cell streams of a length that is not a multiple
// of 64.
TEST(InitiateQueriesSteps, FailLikeInitiateQueries) {
    const auto [x, pk] = key_pair();
    const Outcome store =
        run([&](Outcome& o) { ostrelline::build_okvs(key_arg(pk), rows("a", 1), sink_into(o)); });
    const Outcome empty = run([&](Outcome& o) { ostrelline::build_okvs(key_arg(pk), {}, sink_into(o)); });
    ASSERT_TRUE(store.error.empty() && empty.error.empty());
    const auto decode = [](ostrelline::Rows data, const ByteArg& okvs) {
        return run([&](Outcome& o) { ostrelline::decode_okvs(std::move(data), okvs, sink_into(o)); });
    };
    const auto queries = [](const Bytes& s, const Bytes& r, const ByteArg& key) {
        return run([&](Outcome& o) { ostrelline::queries_from_cells(arg(s), arg(r), key, sink_into(o)); });
    };
    EXPECT_EQ(decode(rows("a", 1), arg(empty.buffers[0])).error,
              "attempt to calculate the remainder with a divisor of zero");
    EXPECT_EQ(decode({}, arg(empty.buffers[0])).buffers, std::vector<Bytes>{Bytes{}});
    EXPECT_EQ(decode({}, arg(Bytes(7))).error, "range end index 8 out of range for slice of length 7");
    EXPECT_EQ(decode({}, arg(Bytes(store.buffers[0].begin(), store.buffers[0].end() - 1))).error,
              run([&](Outcome& o) {
                  ostrelline::initiate_queries({}, {}, arg(Bytes(store.buffers[0].begin(), store.buffers[0].end() - 1)),
                                               arg(store.buffers[0]), key_arg(pk), sink_into(o));
              }).error);
    ByteArg refused;
    refused.describe = [](const void*) { return std::string("None"); };
    EXPECT_EQ(decode({}, refused).error,
              "The okvs object should be of type `bytes`.: PyDowncastError { from: None, to: \"PyBytes\" }");

    const Bytes cells(64 * 3), short_cells(64 * 2 + 5);
    EXPECT_EQ(queries(cells, cells, key_arg(pk)).buffers[0].size(), 128u * 3);
    EXPECT_EQ(queries(cells, Bytes(64), key_arg(pk)).buffers[0].size(), 128u);
    EXPECT_EQ(queries(Bytes{}, cells, key_arg(pk)).buffers, std::vector<Bytes>{Bytes{}});
    EXPECT_EQ(queries(short_cells, cells, key_arg(pk)).error,
              "The sender_cells object should hold whole 64-byte cells: its length, 133, is not a multiple of 64.");
    EXPECT_EQ(queries(cells, short_cells, key_arg(pk)).error,
              "The receiver_cells object should hold whole 64-byte cells: its length, 133, is not a multiple of 64.");
    // The sender stream first, then the receiver stream, then the key.
    EXPECT_EQ(queries(short_cells, short_cells, key_arg(invalid_point())).error,
              "The sender_cells object should hold whole 64-byte cells: its length, 133, is not a multiple of 64.");
    EXPECT_EQ(queries(cells, cells, key_arg(invalid_point())).error, "The public key was not a valid curve point.");
    EXPECT_EQ(queries(cells, cells, arg(Bytes(31))).error,
              "source slice length (31) does not match destination slice length (32)");
    const auto refused_cells = [&](bool sender) {
        return run([&](Outcome& o) {
            ostrelline::queries_from_cells(sender ? refused : arg(cells), sender ? arg(cells) : refused,
                                           key_arg(pk), sink_into(o));
        });
    };
    EXPECT_EQ(refused_cells(true).error,
              "The sender_cells object should be of type `bytes`.: PyDowncastError { from: None, to: \"PyBytes\" }");
    EXPECT_EQ(refused_cells(false).error,
              "The receiver_cells object should be of type `bytes`.: PyDowncastError { from: None, to: \"PyBytes\" }");
}

}  // namespace
