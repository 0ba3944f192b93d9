// Batch points against scalar points, lane by lane: decompression (valid,
// invalid, small-order and non-canonical encodings at every lane position),
// compression, addition, doubling, equality, and the three multiplications
// (variable base with one shared or one scalar per lane, fixed base from a
// shared table) with random and edge scalars.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "edwards25519/batch/batch.hpp"
#include "edwards25519/table.hpp"
#include "batch_inputs.hpp"

using namespace edwards25519;
using batch_inputs::Bytes32;
namespace b = edwards25519::batch;
namespace inputs = batch_inputs;

namespace {

using Set = std::array<Bytes32, b::kLanes>;
using Points = std::array<EdwardsPoint, b::kLanes>;

class BatchPoint : public ::testing::Test {
protected:
    void SetUp() override {
        if (!b::available()) GTEST_SKIP() << "no AVX-512 IFMA on this CPU";
    }
};

std::array<const std::uint8_t*, b::kLanes> pointers(const Set& set) {
    std::array<const std::uint8_t*, b::kLanes> p;
    for (std::size_t i = 0; i < b::kLanes; ++i) p[i] = set[i].data();
    return p;
}

Set compressed(const b::PointBatch& p) {
    Set out;
    std::uint8_t* ptrs[b::kLanes];
    for (std::size_t i = 0; i < b::kLanes; ++i) ptrs[i] = out[i].data();
    b::compress(p, ptrs);
    return out;
}

void expect_points(const b::PointBatch& got, const Points& want, const char* what) {
    const Set bytes = compressed(got);
    for (std::size_t i = 0; i < b::kLanes; ++i) EXPECT_EQ(bytes[i], want[i].compress().bytes) << what << " lane " << i;
}

// Encodings worth decompressing: random points of order l, the eight torsion
// points, those plus a random point, y = p + 1 (the identity written with
// y >= p) and y = p (order 4, y = 0 written with y >= p), both signs.
std::vector<Bytes32> valid_encodings() {
    std::vector<Bytes32> out;
    const auto torsion = inputs::torsion_points();
    for (const EdwardsPoint& t : torsion) {
        out.push_back(t.compress().bytes);
        out.push_back((t + inputs::decode(inputs::random_encoding())).compress().bytes);
    }
    for (int i = 0; i < 8; ++i) out.push_back(inputs::random_encoding());
    for (int k : {0, 1}) {
        Bytes32 y{};
        y.fill(0xff);
        y[31] = 0x7f;
        y[0] = static_cast<std::uint8_t>(0xed + k);  // p + k
        out.push_back(y);
        y[31] = 0xff;  // sign bit set as well
        out.push_back(y);
    }
    return out;
}

// Encodings of no point: y = 2 and random strings that fail.
std::vector<Bytes32> invalid_encodings() {
    std::vector<Bytes32> out;
    Bytes32 two{};
    two[0] = 2;
    out.push_back(two);
    while (out.size() < 8) {
        const Bytes32 r = inputs::random32();
        if (!CompressedEdwardsY{r}.decompress()) out.push_back(r);
    }
    return out;
}

// Scalar reference of a decompression: the point, or the identity with the
// lane's bit clear.
b::LaneMask scalar_decompress(const Set& set, Points& out) {
    b::LaneMask ok = 0;
    for (std::size_t i = 0; i < b::kLanes; ++i) {
        const auto p = CompressedEdwardsY{set[i]}.decompress();
        out[i] = p.value_or(EdwardsPoint::identity());
        if (p) ok = static_cast<b::LaneMask>(ok | (1u << i));
    }
    return ok;
}

b::PointBatch decompress_all(const Set& set, b::LaneMask& ok) {
    b::PointBatch p;
    ok = b::decompress(pointers(set).data(), p);
    return p;
}

Set random_valid_set() {
    Set set;
    for (auto& x : set) x = inputs::random_encoding();
    return set;
}

TEST_F(BatchPoint, DecompressionMatchesScalarAtEveryLane) {
    const std::vector<Bytes32> valid = valid_encodings(), invalid = invalid_encodings();
    std::size_t sets = 0;
    for (std::size_t start = 0; start < valid.size(); ++start) {
        for (std::size_t bad_lane = 0; bad_lane <= b::kLanes; ++bad_lane) {
            Set set;
            for (std::size_t i = 0; i < b::kLanes; ++i) set[i] = valid[(start + 5 * i) % valid.size()];
            if (bad_lane < b::kLanes) set[bad_lane] = invalid[(start + bad_lane) % invalid.size()];
            Points want;
            const b::LaneMask want_ok = scalar_decompress(set, want);
            b::LaneMask ok = 0;
            const b::PointBatch got = decompress_all(set, ok);
            EXPECT_EQ(ok, want_ok) << "start " << start << " bad lane " << bad_lane;
            if (bad_lane < b::kLanes) {
                EXPECT_EQ((ok >> bad_lane) & 1, 0);
            }
            expect_points(got, want, "decompress");
            ++sets;
        }
    }
    EXPECT_GT(sets, 100u);
}

TEST_F(BatchPoint, CompressionIsCanonicalAndMatchesScalar) {
    // Non-canonical inputs (y >= p) come out canonical, as from the scalar path.
    const std::vector<Bytes32> valid = valid_encodings();
    for (std::size_t start = 0; start + b::kLanes <= valid.size(); ++start) {
        Set set;
        for (std::size_t i = 0; i < b::kLanes; ++i) set[i] = valid[start + i];
        Points want;
        scalar_decompress(set, want);
        b::LaneMask ok = 0;
        const b::PointBatch got = decompress_all(set, ok);
        ASSERT_EQ(ok, b::kAllLanes);
        expect_points(got, want, "compress");
        // Four batches through one shared inversion give the same bytes.
        const b::PointBatch many[4] = {got, b::double_point(got), b::add(got, got), b::point_identity()};
        std::array<Set, 4> out;
        std::uint8_t* ptrs[4 * b::kLanes];
        for (std::size_t k = 0; k < 4; ++k) {
            for (std::size_t i = 0; i < b::kLanes; ++i) ptrs[k * b::kLanes + i] = out[k][i].data();
        }
        b::compress_many(many, 4, ptrs);
        for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(out[k], compressed(many[k])) << k;
    }
}

TEST_F(BatchPoint, AdditionDoublingAndEqualityMatchScalar) {
    const auto torsion = inputs::torsion_points();
    for (int round = 0; round < 30; ++round) {
        Set sa = random_valid_set(), sb = random_valid_set();
        Points pa, pb;
        scalar_decompress(sa, pa);
        scalar_decompress(sb, pb);
        // Small-order summands in some lanes, equal operands in another.
        for (std::size_t i = 0; i < 3; ++i) pa[i] = pa[i] + torsion[(round + i) % 8];
        pb[4] = torsion[static_cast<std::size_t>(round) % 8];
        pb[6] = pa[6];
        const b::PointBatch a = b::point_from_lanes(pa), c = b::point_from_lanes(pb);
        Points sum, dbl;
        b::LaneMask eq = 0;
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            sum[i] = pa[i] + pb[i];
            dbl[i] = pa[i].double_point();
            if (pa[i] == pb[i]) eq = static_cast<b::LaneMask>(eq | (1u << i));
        }
        expect_points(b::add(a, c), sum, "add");
        expect_points(b::double_point(a), dbl, "double");
        EXPECT_EQ(b::equal(a, c), eq);
        EXPECT_TRUE((eq >> 6) & 1);
        // The same points in another projective form still compare equal.
        EXPECT_EQ(b::equal(b::add(a, b::point_identity()), a), b::kAllLanes);
        Points back;
        b::point_to_lanes(a, back);
        expect_points(b::point_from_lanes(back), pa, "lane conversion");
    }
}

std::array<Scalar, b::kLanes> scalar_set(std::size_t round) {
    const std::vector<Scalar> edges = inputs::edge_scalars();
    std::array<Scalar, b::kLanes> s;
    for (std::size_t i = 0; i < b::kLanes; ++i) {
        s[i] = (round + i) % 3 == 0 ? edges[(round + i) % edges.size()] : inputs::random_reduced_scalar();
    }
    if (round % 2 == 1) s[round % b::kLanes] = Scalar::from_bits(inputs::random32().data());
    return s;
}

TEST_F(BatchPoint, VariableBaseMatchesScalarPerLaneAndShared) {
    const auto torsion = inputs::torsion_points();
    for (std::size_t round = 0; round < 12; ++round) {
        Set set = random_valid_set();
        Points pts;
        scalar_decompress(set, pts);
        pts[round % b::kLanes] = torsion[round % 8];                 // small order
        pts[(round + 3) % b::kLanes] = pts[0] + torsion[(round + 1) % 8];  // mixed order
        pts[(round + 5) % b::kLanes] = EdwardsPoint::identity();
        const b::PointBatch p = b::point_from_lanes(pts);
        const std::array<Scalar, b::kLanes> scalars = scalar_set(round);
        Points per_lane, shared;
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            per_lane[i] = pts[i].mul(scalars[i]);
            shared[i] = pts[i].mul(scalars[round % b::kLanes]);
        }
        expect_points(b::mul(p, scalars), per_lane, "per-lane scalars");
        expect_points(b::mul(p, scalars[round % b::kLanes]), shared, "shared scalar");
    }
}

TEST_F(BatchPoint, FixedBaseMatchesScalarTables) {
    const EdwardsPoint key = inputs::decode(inputs::random_encoding());
    const EdwardsPoint mixed = key + inputs::torsion_points()[3];
    const EdwardsBasepointTable key_table(key), mixed_table(mixed);
    const b::BatchBasepointTable key_batch(key), mixed_batch(mixed);
    for (std::size_t round = 0; round < 12; ++round) {
        const std::array<Scalar, b::kLanes> scalars = scalar_set(round);
        Points base, keyed, mixed_want;
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            base[i] = ED25519_BASEPOINT_TABLE().mul(scalars[i]);
            keyed[i] = key_table.mul(scalars[i]);
            mixed_want[i] = mixed_table.mul(scalars[i]);
        }
        expect_points(b::batch_basepoint_table().mul(scalars), base, "base point");
        expect_points(key_batch.mul(scalars), keyed, "key table");
        expect_points(mixed_batch.mul(scalars), mixed_want, "mixed-order table");
    }
}

}  // namespace
