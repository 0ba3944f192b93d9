// Each batch backend's point kernels against the scalar points, lane by
// lane: decompression (valid, invalid, small-order and non-canonical
// encodings at every lane position), compression of one to four points with
// one inversion, addition, doubling, equality, selection, and the
// multiplications (variable base with one scalar per lane or one shared,
// fixed base from a table of the base point or of any other point) with
// random and edge scalars. Results are compared as compressed bytes and
// must be points whose coordinates satisfy the curve equation and XY = ZT.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "batch_backends.hpp"
#include "batch_inputs.hpp"
#include "edwards25519/table.hpp"

namespace {

using edwards25519::CompressedEdwardsY;
using edwards25519::EdwardsBasepointTable;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using batch_inputs::Bytes32;
namespace b = edwards25519::batch;
namespace inputs = batch_inputs;
using Points = std::array<EdwardsPoint, b::kMaxLanes>;
using Encodings = std::array<Bytes32, b::kMaxLanes>;
using Scalars = std::array<Scalar, b::kMaxLanes>;

// Encodings worth decompressing: the eight small-order points, each plus a
// random point, random points of order l, the identity and the point of
// order 2 with the sign bit set (x = 0 takes either), and y = p, y = p + 1
// (a point of order 4 and the identity written with y >= p), both signs.
std::vector<Bytes32> valid_encodings() {
    std::vector<Bytes32> out;
    for (const EdwardsPoint& t : inputs::torsion_points()) {
        out.push_back(t.compress().bytes);
        out.push_back((t + inputs::random_point()).compress().bytes);
    }
    for (int i = 0; i < 6; ++i) out.push_back(inputs::random_encoding());
    for (const EdwardsPoint& t : {EdwardsPoint::identity(), inputs::torsion_points()[4]}) {
        Bytes32 signed_zero = t.compress().bytes;
        signed_zero[31] |= 0x80;
        out.push_back(signed_zero);
    }
    for (int k : {0, 1}) {
        out.push_back(inputs::p_plus(k, false));
        out.push_back(inputs::p_plus(k, true));
    }
    for (const Bytes32& e : out) EXPECT_TRUE(CompressedEdwardsY{e}.decompress().has_value());
    return out;
}

// Encodings of no point: y = 2, random strings that fail, and values y >= p
// that fail.
std::vector<Bytes32> invalid_encodings() {
    std::vector<Bytes32> out;
    Bytes32 two{};
    two[0] = 2;
    out.push_back(two);
    for (int k = 2; k < 19 && out.size() < 4; ++k) {
        const Bytes32 y = inputs::p_plus(k, k % 2 == 1);
        if (!CompressedEdwardsY{y}.decompress()) out.push_back(y);
    }
    while (out.size() < 8) {
        const Bytes32 r = inputs::random32();
        if (!CompressedEdwardsY{r}.decompress()) out.push_back(r);
    }
    return out;
}

Scalars scalar_set(std::size_t round, std::size_t lanes) {
    const std::vector<Scalar> edges = inputs::edge_scalars();
    Scalars s{};
    for (std::size_t i = 0; i < lanes; ++i) {
        s[i] = (round + i) % 3 == 0 ? edges[(round + i) % edges.size()] : inputs::random_reduced_scalar();
    }
    // Scalars up to 2^255 - 1 that are not reduced.
    if (round % 2 == 1) s[round % lanes] = Scalar::from_bits(inputs::random32().data());
    return s;
}

class BatchPointTest : public batch_backends::BackendTest {
protected:
    void expect_points(const Points& got, const Points& want, const std::string& what) const {
        for (std::size_t i = 0; i < lanes(); ++i) {
            EXPECT_TRUE(got[i].is_on_curve()) << what << ", lane " << i;
            EXPECT_EQ(got[i].compress().bytes, want[i].compress().bytes) << what << ", lane " << i;
        }
    }

    // Lanes of random points of order l, with small-order and mixed-order
    // points and the identity spread over them by `shift`.
    Points mixed_points(std::size_t shift) const {
        const auto torsion = inputs::torsion_points();
        Points out{};
        for (std::size_t i = 0; i < lanes(); ++i) {
            switch ((i + shift) % 5) {
                case 0: out[i] = torsion[(i + shift) % 8]; break;
                case 1: out[i] = inputs::random_point() + torsion[(i + 3 * shift) % 8]; break;
                case 2: out[i] = (i + shift) % 10 == 2 ? EdwardsPoint::identity() : inputs::random_point(); break;
                default: out[i] = inputs::random_point(); break;
            }
        }
        return out;
    }

    std::uint32_t decompress(const Encodings& in, Points& out) const {
        const std::uint8_t* ptrs[b::kMaxLanes];
        for (std::size_t i = 0; i < lanes(); ++i) ptrs[i] = in[i].data();
        return kernels().decompress(ptrs, out.data());
    }
};

TEST_P(BatchPointTest, DecompressionMatchesScalarAtEveryLane) {
    const std::vector<Bytes32> valid = valid_encodings(), invalid = invalid_encodings();
    for (std::size_t start = 0; start < valid.size(); ++start) {
        // No invalid lane, one at each lane, then every lane invalid.
        for (std::size_t bad = 0; bad <= lanes() + 1; ++bad) {
            Encodings set{};
            for (std::size_t i = 0; i < lanes(); ++i) {
                set[i] = valid[(start + 5 * i) % valid.size()];
                if (i == bad || bad == lanes() + 1) set[i] = invalid[(start + i) % invalid.size()];
            }
            Points want{};
            std::uint32_t want_ok = 0;
            for (std::size_t i = 0; i < lanes(); ++i) {
                const auto p = CompressedEdwardsY{set[i]}.decompress();
                want[i] = p.value_or(EdwardsPoint::identity());
                want_ok |= static_cast<std::uint32_t>(p.has_value()) << i;
            }
            Points got{};
            const std::string at = "start " + std::to_string(start) + ", bad lane " + std::to_string(bad);
            EXPECT_EQ(decompress(set, got), want_ok) << at;
            expect_points(got, want, at);
            // Four at once: point k of lane i is the set's lane i + k (mod lanes).
            const std::uint8_t* four_in[4 * b::kMaxLanes];
            for (std::size_t k = 0; k < 4; ++k) {
                for (std::size_t i = 0; i < lanes(); ++i) four_in[k * lanes() + i] = set[(i + k) % lanes()].data();
            }
            std::array<EdwardsPoint, 4 * b::kMaxLanes> four_out{};
            std::uint32_t four_ok[4];
            kernels().decompress_four(four_in, four_out.data(), four_ok);
            for (std::size_t k = 0; k < 4; ++k) {
                Points got_k{}, want_k{};
                std::uint32_t want_ok_k = 0;
                for (std::size_t i = 0; i < lanes(); ++i) {
                    got_k[i] = four_out[k * lanes() + i];
                    want_k[i] = want[(i + k) % lanes()];
                    want_ok_k |= ((want_ok >> ((i + k) % lanes())) & 1) << i;
                }
                EXPECT_EQ(four_ok[k], want_ok_k) << at << ", four at once, point " << k;
                expect_points(got_k, want_k, at + ", four at once, point " + std::to_string(k));
            }
        }
    }
}

// Points with Z != 1, small-order ones and the identity; the encodings of
// y >= p come out canonical, as from the scalar layer.
TEST_P(BatchPointTest, CompressionOfOneToFourPointsMatchesScalar) {
    const std::vector<Bytes32> valid = valid_encodings();
    for (std::size_t round = 0; round < 6; ++round) {
        std::array<Points, 4> points{};
        Encodings decoded{};
        for (std::size_t i = 0; i < lanes(); ++i) decoded[i] = valid[(round * 7 + i) % valid.size()];
        ASSERT_EQ(decompress(decoded, points[0]), all_lanes());
        points[1] = mixed_points(round);
        for (std::size_t i = 0; i < lanes(); ++i) {
            points[2][i] = points[0][i] + points[1][i];
            points[3][i] = points[1][i].double_point();
        }
        for (std::size_t count = 1; count <= 4; ++count) {
            std::vector<EdwardsPoint> flat(count * lanes());
            std::vector<Bytes32> out(count * lanes());
            std::vector<std::uint8_t*> ptrs(count * lanes());
            for (std::size_t k = 0; k < count; ++k) {
                for (std::size_t i = 0; i < lanes(); ++i) {
                    // The last point first, so that each count mixes the kinds.
                    flat[k * lanes() + i] = points[(k + 4 - count) % 4][i];
                    ptrs[k * lanes() + i] = out[k * lanes() + i].data();
                }
            }
            kernels().compress_many(flat.data(), count, ptrs.data());
            for (std::size_t j = 0; j < flat.size(); ++j) {
                EXPECT_EQ(out[j], flat[j].compress().bytes)
                    << "round " << round << ", count " << count << ", point " << j / lanes() << ", lane "
                    << j % lanes();
            }
        }
    }
}

TEST_P(BatchPointTest, AdditionDoublingAndEqualityMatchScalar) {
    for (std::size_t round = 0; round < 12; ++round) {
        const Points pa = mixed_points(round);
        Points pc = mixed_points(round + 2);
        pc[round % lanes()] = pa[round % lanes()];  // an equal pair: the sum is a doubling
        Points sum{}, dbl{}, got{};
        std::uint32_t eq = 0;
        for (std::size_t i = 0; i < lanes(); ++i) {
            sum[i] = pa[i] + pc[i];
            dbl[i] = pa[i].double_point();
            eq |= static_cast<std::uint32_t>(pa[i] == pc[i]) << i;
        }
        const std::string at = "round " + std::to_string(round);
        kernels().add(pa.data(), pc.data(), got.data());
        expect_points(got, sum, "add, " + at);
        kernels().double_point(pa.data(), got.data());
        expect_points(got, dbl, "double, " + at);
        EXPECT_EQ(kernels().equal(pa.data(), pc.data()), eq) << at;
        EXPECT_NE((eq >> (round % lanes())) & 1, 0u) << at;
        // The same points in another projective form still compare equal.
        Points shifted{};
        kernels().add(pa.data(), pc.data(), got.data());
        for (std::size_t i = 0; i < lanes(); ++i) shifted[i] = got[i] + EdwardsPoint::identity();
        EXPECT_EQ(kernels().equal(got.data(), shifted.data()), all_lanes()) << at;
        EXPECT_EQ(kernels().equal(shifted.data(), sum.data()), all_lanes()) << at;
    }
}

TEST_P(BatchPointTest, SelectionTakesEachLaneFromTheChosenSide) {
    const Points pa = mixed_points(0), pc = mixed_points(1);
    for (std::size_t i = 0; i < lanes(); ++i) ASSERT_NE(pa[i].compress().bytes, pc[i].compress().bytes) << i;
    for (std::uint32_t mask = 0; mask <= all_lanes(); ++mask) {
        Points got{}, want{};
        kernels().select(pa.data(), pc.data(), mask, got.data());
        for (std::size_t i = 0; i < lanes(); ++i) want[i] = (mask >> i) & 1 ? pc[i] : pa[i];
        expect_points(got, want, "mask " + std::to_string(mask));
    }
}

TEST_P(BatchPointTest, VariableBaseMatchesScalarPerLaneAndShared) {
    for (std::size_t round = 0; round < 10; ++round) {
        const Points p = mixed_points(round);
        const Scalars s = scalar_set(round, lanes());
        const Scalar& shared = s[round % lanes()];
        Points per_lane{}, all{}, got{};
        for (std::size_t i = 0; i < lanes(); ++i) {
            per_lane[i] = p[i].mul(s[i]);
            all[i] = p[i].mul(shared);
        }
        const std::string at = "round " + std::to_string(round);
        kernels().mul(p.data(), s.data(), false, got.data());
        expect_points(got, per_lane, "per-lane scalars, " + at);
        kernels().mul(p.data(), &shared, true, got.data());
        expect_points(got, all, "shared scalar, " + at);
    }
}

TEST_P(BatchPointTest, FixedBaseMatchesScalarTables) {
    const auto torsion = inputs::torsion_points();
    const EdwardsPoint key = inputs::random_point();
    // The base point's own table, tables of a point of order l, of a
    // mixed-order point, of a small-order point and of the identity.
    const std::vector<EdwardsPoint> bases = {EdwardsPoint::basepoint(), key, key + torsion[3], torsion[5],
                                             EdwardsPoint::identity()};
    std::vector<EdwardsBasepointTable> tables;
    for (const EdwardsPoint& base : bases) tables.emplace_back(base);
    for (std::size_t round = 0; round < 4; ++round) {
        const Scalars s = scalar_set(round, lanes());
        const std::string at = "round " + std::to_string(round);
        Points got{}, want{};
        for (std::size_t i = 0; i < lanes(); ++i) want[i] = edwards25519::ED25519_BASEPOINT_TABLE().mul(s[i]);
        kernels().mul_basepoint(s.data(), got.data());
        expect_points(got, want, "cached base point table, " + at);
        for (std::size_t k = 0; k < bases.size(); ++k) {
            const EdwardsBasepointTable& table = tables[k];
            for (std::size_t i = 0; i < lanes(); ++i) want[i] = table.mul(s[i]);
            kernels().mul_fixed(bases[k], s.data(), got.data());
            expect_points(got, want, "table of base " + std::to_string(k) + ", " + at);
        }
    }
}

INSTANTIATE_FOR_EVERY_BACKEND(BatchPointTest);

}  // namespace
