// Test helpers for points: points made by the reference library, small-order points and the
// naive multiplication references.
#pragma once

#include <gtest/gtest.h>

#include <numeric>

#include "edwards25519/point.hpp"
#include "oracle.hpp"

namespace torsion {

using namespace edwards25519;
using oracle::Bytes32;

inline const std::string kIdentityHex = "0100000000000000000000000000000000000000000000000000000000000000";
inline const std::string kOrder2Hex = "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";
inline const std::string kOrder4Hex = "0000000000000000000000000000000000000000000000000000000000000000";
inline const std::string kOrder4NegHex = "0000000000000000000000000000000000000000000000000000000000000080";
inline const std::string kOrder8Hex = "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05";

// A random point of order l, made by the reference library.
inline Bytes32 reference_random_point() {
    oracle::init_reference();
    Bytes32 b{};
    crypto_core_ed25519_random(b.data());
    return b;
}

inline EdwardsPoint decode(const Bytes32& b) {
    const auto p = CompressedEdwardsY{b}.decompress();
    EXPECT_TRUE(p.has_value());
    return p.value_or(EdwardsPoint::identity());
}

// A random scalar below l, as the reference noclamp functions want.
inline Scalar random_reduced_scalar() {
    std::uint8_t wide[64];
    support::random_bytes(wide);
    return Scalar::from_bytes_mod_order_wide(wide);
}

inline Bytes32 ones_scalar() {  // 2^255 - 1
    Bytes32 b{};
    b.fill(0xff);
    b[31] = 0x7f;
    return b;
}

// p + p + ... + p, n times.
inline EdwardsPoint repeated_sum(const EdwardsPoint& p, std::size_t n) {
    EdwardsPoint r = EdwardsPoint::identity();
    for (std::size_t i = 0; i < n; ++i) r = r + p;
    return r;
}

// Bit by bit from the top, branching on the bits.
inline EdwardsPoint double_and_add(const EdwardsPoint& p, const Scalar& s) {
    EdwardsPoint r = EdwardsPoint::identity();
    for (int bit = 255; bit >= 0; --bit) {
        r = r.double_point();
        if ((s.to_bytes()[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1) r = r + p;
    }
    return r;
}

// k T8 for k = 0..7.
inline std::vector<EdwardsPoint> torsion_points() {
    const EdwardsPoint t8 = decode(oracle::hex32(kOrder8Hex));
    std::vector<EdwardsPoint> out;
    for (std::size_t k = 0; k < 8; ++k) out.push_back(repeated_sum(t8, k));
    return out;
}

}  // namespace torsion
