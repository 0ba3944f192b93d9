// Each batch backend's uniform point bytes conversions against the scalar
// conversions, lane by lane, for both choice bits: random points, the points
// without representative (identity, (0, -1)) and the other small-order
// points at every lane, points with Z != 1, and edge representatives (zero,
// all ones, r >= p, odd r, bit 255 alone).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "edwards25519/table.hpp"
#include "edwards25519/tests/batch_backends.hpp"
#include "edwards25519/tests/batch_inputs.hpp"
#include "src/point_conversion.hpp"
#include "src/tests/conversions/conversions.hpp"

namespace {

using edwards25519::EdwardsPoint;
namespace b = edwards25519::batch;
namespace inputs = batch_inputs;
namespace pc = ostrelline::point_conversion;
using Bytes32 = inputs::Bytes32;

class BatchConversionTest : public batch_backends::BackendTest {
protected:
    const conversions::Kernels& streams() const { return conversions::kernels(GetParam()); }
};

std::vector<EdwardsPoint> special_points() {
    std::vector<EdwardsPoint> out = inputs::torsion_points();  // out[4] is (0, -1)
    out.push_back(EdwardsPoint::basepoint());
    out.push_back(-EdwardsPoint::basepoint());
    out.push_back(inputs::random_point() + out[3]);
    return out;
}

TEST_P(BatchConversionTest, PointToUniformBytesMatchesScalar) {
    const std::vector<EdwardsPoint> special = special_points();
    std::size_t converted = 0, refused = 0;
    for (std::size_t round = 0; round < 3 * special.size(); ++round) {
        std::array<EdwardsPoint, b::kMaxLanes> pts;
        std::array<Bytes32, b::kMaxLanes> got{};
        std::uint8_t* out[b::kMaxLanes];
        std::uint32_t choice = 0;
        for (std::size_t i = 0; i < lanes(); ++i) {
            pts[i] = inputs::random_point();
            choice |= static_cast<std::uint32_t>((round >> (i % 3)) & 1) << i;
            out[i] = got[i].data();
        }
        pts[round % lanes()] = special[round % special.size()];
        // A lane holding a point in another projective form (Z != 1).
        const std::size_t other = (round + 1) % lanes();
        pts[other] = pts[other] + EdwardsPoint::identity();
        const std::uint32_t ok = streams().point_to_uniform_bytes(pts.data(), choice, out);
        for (std::size_t i = 0; i < lanes(); ++i) {
            const auto want = pc::point_to_uniform_bytes(pts[i], static_cast<std::uint8_t>((choice >> i) & 1));
            EXPECT_EQ(((ok >> i) & 1) == 1, want.has_value()) << "round " << round << ", lane " << i;
            if (want) {
                EXPECT_EQ(got[i], *want) << "round " << round << ", lane " << i;
                ++converted;
            } else {
                ++refused;
            }
        }
    }
    EXPECT_GT(converted, 10u);
    EXPECT_GT(refused, 10u);
}

TEST_P(BatchConversionTest, UniformBytesToPointMatchesScalar) {
    Bytes32 zero{}, ones, one{}, top{};
    ones.fill(0xff);
    one[0] = 1;
    top[31] = 0x80;
    std::vector<Bytes32> edges = {zero, ones, one, top, inputs::p_plus(3), inputs::p_plus(-1, true)};
    // The uniform bytes of small-order points, and their other representative.
    for (const EdwardsPoint& t : inputs::torsion_points()) {
        if (const auto bytes = pc::point_to_uniform_bytes(t, 1)) {
            edges.push_back(*bytes);
            edges.push_back(pc::with_representative(*bytes, 1));
        }
    }
    for (std::size_t round = 0; round < 3 * edges.size(); ++round) {
        std::array<Bytes32, b::kMaxLanes> in;
        const std::uint8_t* ptrs[b::kMaxLanes];
        for (std::size_t i = 0; i < lanes(); ++i) {
            in[i] = (round + i) % 3 == 0 ? edges[(round + i) % edges.size()] : inputs::random32();
            ptrs[i] = in[i].data();
        }
        in[round % lanes()] = edges[round % edges.size()];
        std::array<EdwardsPoint, b::kMaxLanes> got;
        streams().uniform_bytes_to_point(ptrs, got.data());
        for (std::size_t i = 0; i < lanes(); ++i) {
            EXPECT_TRUE(got[i].is_on_curve()) << "round " << round << ", lane " << i;
            EXPECT_EQ(got[i].compress().bytes, pc::uniform_bytes_to_point(in[i]).compress().bytes)
                << "round " << round << ", lane " << i;
        }
    }
}

INSTANTIATE_FOR_EVERY_BACKEND(BatchConversionTest);

}  // namespace
