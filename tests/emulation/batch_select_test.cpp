// What the group layer's batch tests leave to the callers: point selection
// under every lane mask, and broadcasting one point to all lanes, lane by
// lane against the scalar points. Built and run only by
// scripts/emulated_batch.sh, on an emulated CPU with AVX-512 IFMA; skipped
// elsewhere.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>

#include "edwards25519/batch/batch.hpp"
#include "edwards25519/tests/batch_inputs.hpp"

namespace {

using edwards25519::EdwardsPoint;
namespace b = edwards25519::batch;
namespace inputs = batch_inputs;
using Points = std::array<EdwardsPoint, b::kLanes>;
using Encodings = std::array<inputs::Bytes32, b::kLanes>;

class BatchSelect : public ::testing::Test {
protected:
    void SetUp() override {
        if (!b::available()) GTEST_SKIP() << "no AVX-512 IFMA on this CPU";
    }
};

Encodings compressed(const b::PointBatch& p) {
    Encodings out;
    std::uint8_t* targets[b::kLanes];
    for (std::size_t i = 0; i < b::kLanes; ++i) targets[i] = out[i].data();
    b::compress(p, targets);
    return out;
}

// Random points of order l in some lanes, small-order and mixed-order points
// and the identity in others: no lane of `a` equals its lane of `c`.
Points mixed_points(std::size_t shift) {
    const auto torsion = inputs::torsion_points();
    Points out;
    for (std::size_t i = 0; i < b::kLanes; ++i) {
        const std::size_t k = (i + shift) % 4;
        out[i] = k == 0 ? torsion[(i + shift) % 8]
                 : k == 1 ? inputs::random_point() + torsion[(i + 3 * shift) % 8]
                          : inputs::random_point();
    }
    return out;
}

TEST_F(BatchSelect, PointSelectionTakesEachLaneFromTheChosenSide) {
    const Points a = mixed_points(0), c = mixed_points(1);
    for (std::size_t i = 0; i < b::kLanes; ++i) ASSERT_NE(a[i].compress().bytes, c[i].compress().bytes);
    const b::PointBatch pa = b::point_from_lanes(a), pc = b::point_from_lanes(c);
    for (unsigned mask = 0; mask < 256; ++mask) {
        const Encodings got = compressed(b::select(pa, pc, static_cast<b::LaneMask>(mask)));
        for (std::size_t i = 0; i < b::kLanes; ++i) {
            const EdwardsPoint& want = (mask >> i) & 1 ? c[i] : a[i];
            EXPECT_EQ(got[i], want.compress().bytes) << "mask " << mask << " lane " << i;
        }
    }
}

TEST_F(BatchSelect, BroadcastPutsThePointInEveryLane) {
    const auto torsion = inputs::torsion_points();
    for (const EdwardsPoint& p : {inputs::random_point(), torsion[1], torsion[4], EdwardsPoint::identity(),
                                  inputs::random_point() + torsion[3]}) {
        const b::PointBatch all = b::point_broadcast(p);
        const Encodings got = compressed(all);
        for (std::size_t i = 0; i < b::kLanes; ++i) EXPECT_EQ(got[i], p.compress().bytes) << "lane " << i;
        Points lanes;
        b::point_to_lanes(all, lanes);
        for (std::size_t i = 0; i < b::kLanes; ++i) EXPECT_TRUE(lanes[i] == p) << "lane " << i;
    }
}

}  // namespace
