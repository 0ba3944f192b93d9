// The uniform point bytes conversions over eight lanes against the scalar
// conversions, lane by lane, for both choice bits: random points, the points
// without representative (identity, (0, -1), small-order points) at every
// lane, and edge representatives (zero, all ones, r >= p, odd r).
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "edwards25519/batch/batch.hpp"
#include "edwards25519/table.hpp"
#include "src/point_conversion.hpp"
#include "src/wide_ciphertexts.hpp"
#include "support/rng.hpp"

namespace {

using edwards25519::CompressedEdwardsY;
using edwards25519::ED25519_BASEPOINT_TABLE;
using edwards25519::EdwardsPoint;
namespace b = edwards25519::batch;
namespace pc = ostrelline::point_conversion;
using Bytes32 = std::array<std::uint8_t, 32>;

class BatchConversion : public ::testing::Test {
protected:
    void SetUp() override {
        if (!b::available()) GTEST_SKIP() << "no AVX-512 IFMA on this CPU";
    }
};

std::vector<EdwardsPoint> special_points() {
    Bytes32 t8{};
    const char* hex = "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05";
    for (std::size_t i = 0; i < 32; ++i) t8[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
    const EdwardsPoint t = *CompressedEdwardsY{t8}.decompress();
    std::vector<EdwardsPoint> out{EdwardsPoint::identity()};
    for (int k = 1; k < 8; ++k) out.push_back(out.back() + t);  // out[4] is (0, -1)
    out.push_back(EdwardsPoint::basepoint());
    out.push_back(-EdwardsPoint::basepoint());
    return out;
}

TEST_F(BatchConversion, PointToUniformBytesMatchesScalar) {
    const std::vector<EdwardsPoint> special = special_points();
    std::size_t converted = 0, refused = 0;
    for (std::size_t round = 0; round < 60; ++round) {
        std::array<EdwardsPoint, b::kLanes> pts;
        std::array<std::uint8_t, b::kLanes> bits;
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            pts[i] = ED25519_BASEPOINT_TABLE().mul(ostrelline::random_scalar());
            bits[i] = static_cast<std::uint8_t>((round >> (i % 3)) & 1);
        }
        pts[round % b::kLanes] = special[round % special.size()];
        // A lane holding a point in another projective form (Z != 1).
        pts[(round + 1) % b::kLanes] = pts[(round + 1) % b::kLanes] + EdwardsPoint::identity();
        std::array<Bytes32, b::kLanes> got;
        std::uint8_t* out[b::kLanes];
        for (std::size_t i = 0; i < b::kLanes; ++i) out[i] = got[i].data();
        const b::LaneMask ok = pc::point_to_uniform_bytes(b::point_from_lanes(pts), bits.data(), out);
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            const auto want = pc::point_to_uniform_bytes(pts[i], bits[i]);
            EXPECT_EQ(((ok >> i) & 1) == 1, want.has_value()) << round << " " << i;
            if (want) {
                EXPECT_EQ(got[i], *want) << round << " " << i;
                ++converted;
            } else {
                ++refused;
            }
        }
    }
    EXPECT_GT(converted, 100u);
    EXPECT_GT(refused, 100u);
}

TEST_F(BatchConversion, UniformBytesToPointMatchesScalar) {
    std::vector<Bytes32> edges;
    Bytes32 zero{}, ones{}, one{}, p_plus_3{};
    ones.fill(0xff);
    one[0] = 1;
    p_plus_3.fill(0xff);
    p_plus_3[0] = 0xf0;  // p + 3, with bit 255 clear
    p_plus_3[31] = 0x7f;
    edges = {zero, ones, one, p_plus_3};
    Bytes32 top = zero;
    top[31] = 0x80;
    edges.push_back(top);
    for (std::size_t round = 0; round < 40; ++round) {
        std::array<Bytes32, b::kLanes> in;
        const std::uint8_t* ptrs[b::kLanes];
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            support::random_bytes(in[i]);
            if ((round + i) % 4 == 0) in[i] = edges[(round + i) % edges.size()];
            ptrs[i] = in[i].data();
        }
        std::array<EdwardsPoint, b::kLanes> got;
        b::point_to_lanes(pc::uniform_bytes_to_point(ptrs), got);
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            EXPECT_EQ(got[i].compress().bytes, pc::uniform_bytes_to_point(in[i]).compress().bytes) << round << " " << i;
        }
    }
}

}  // namespace
