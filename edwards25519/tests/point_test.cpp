// Group operations against libsodium on prime-order points, and small-order
// behaviour against naive reference computations.
#include <gtest/gtest.h>

#include "edwards25519/point.hpp"
#include "edwards25519/table.hpp"
#include "oracle.hpp"

using namespace edwards25519;
using oracle::Bytes32;

namespace {

// A random scalar below l, as libsodium's noclamp functions want.
Scalar random_reduced_scalar() {
    std::uint8_t wide[64];
    support::random_bytes(wide);
    return Scalar::from_bytes_mod_order_wide(wide);
}

TEST(Point, BasepointMultipleMatchesSodium) {
    oracle::init_sodium();
    for (int i = 0; i < 50; ++i) {
        const Scalar s = random_reduced_scalar();
        Bytes32 expected{};
        ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(expected.data(), s.to_bytes().data()), 0);
        EXPECT_EQ(EdwardsPoint::basepoint().mul(s).compress().bytes, expected);
        EXPECT_EQ(ED25519_BASEPOINT_TABLE().mul(s).compress().bytes, expected);
    }
}

}  // namespace
