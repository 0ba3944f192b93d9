// Inputs for the batch-backend tests: random points of order l, the eight
// small-order points, edge scalars. Built from the scalar layer only.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "edwards25519/table.hpp"
#include "support/rng.hpp"

namespace batch_inputs {

using Bytes32 = std::array<std::uint8_t, 32>;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;

inline Bytes32 random32() {
    Bytes32 b{};
    support::random_bytes(b);
    return b;
}

inline Bytes32 hex32(const char* hex) {
    Bytes32 b{};
    for (std::size_t i = 0; i < 32; ++i) {
        auto nibble = [](char c) { return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10); };
        b[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    }
    return b;
}

inline Scalar random_reduced_scalar() {
    std::uint8_t wide[64];
    support::random_bytes(wide);
    return Scalar::from_bytes_mod_order_wide(wide);
}

inline EdwardsPoint random_point() { return edwards25519::ED25519_BASEPOINT_TABLE().mul(random_reduced_scalar()); }
inline Bytes32 random_encoding() { return random_point().compress().bytes; }

inline EdwardsPoint decode(const Bytes32& b) {
    return edwards25519::CompressedEdwardsY{b}.decompress().value_or(EdwardsPoint::identity());
}

// k T for k = 0..7, T a point of order 8.
inline std::vector<EdwardsPoint> torsion_points() {
    const EdwardsPoint t8 = decode(hex32("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05"));
    std::vector<EdwardsPoint> out{EdwardsPoint::identity()};
    for (std::size_t k = 1; k < 8; ++k) out.push_back(out.back() + t8);
    return out;
}

// p + k for k from -2 to 18 (p - 2 .. 2^255 - 1), little-endian, with bit
// 255 set when `sign`: for k = 0 and 1, y = p and y = p + 1 are the point of
// order 4 with y = 0 and the identity written with y >= p.
inline Bytes32 p_plus(int k, bool sign = false) {
    Bytes32 out;
    out.fill(0xff);
    out[0] = static_cast<std::uint8_t>(0xed + k);
    out[31] = sign ? 0xff : 0x7f;
    return out;
}

// l = 2^252 + 27742317777372353535851937790883648493, little-endian.
inline Bytes32 group_order() { return hex32("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010"); }

// 0, 1, 8, 2^255 - 1, l, l - 1 and a value whose radix-16 digits all carry.
inline std::vector<Scalar> edge_scalars() {
    std::vector<Scalar> out;
    const auto from = [](const Bytes32& bytes) { return Scalar::from_bits(bytes.data()); };
    Bytes32 x{};
    out.push_back(from(x));
    x[0] = 1;
    out.push_back(from(x));
    x[0] = 8;
    out.push_back(from(x));
    Bytes32 ones{};
    ones.fill(0xff);
    ones[31] = 0x7f;
    out.push_back(from(ones));
    const Bytes32 l = group_order();
    out.push_back(from(l));
    Bytes32 l_minus_1 = l;
    l_minus_1[0] = static_cast<std::uint8_t>(l_minus_1[0] - 1);
    out.push_back(from(l_minus_1));
    Bytes32 eights{};
    eights.fill(0x88);
    eights[31] = 0x78;
    out.push_back(from(eights));
    return out;
}

}  // namespace batch_inputs
