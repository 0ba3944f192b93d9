// Fixed-base tables: RFC 8032 public keys, the reference base multiplication,
// and agreement with variable-base multiplication for points of every order.
#include <gtest/gtest.h>

#include <cstring>

#include "edwards25519/table.hpp"
#include "oracle.hpp"
#include "torsion.hpp"

using namespace edwards25519;
using oracle::Bytes32;

namespace {

using namespace torsion;

// The first three Ed25519 test vectors of RFC 8032: secret key, public key.
TEST(Table, Rfc8032PublicKeys) {
    const std::pair<const char*, const char*> vectors[] = {
        {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"},
        {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c"},
        {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
         "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"},
    };
    oracle::init_reference();
    for (const auto& [secret, public_key] : vectors) {
        const Bytes32 seed = oracle::hex32(secret);
        std::uint8_t h[64];
        crypto_hash_sha512(h, seed.data(), 32);
        h[0] &= 248;  // clamp: a multiple of 8 in [2^254, 2^255)
        h[31] = static_cast<std::uint8_t>((h[31] & 127) | 64);
        const Scalar a = Scalar::from_bits(h);
        EXPECT_EQ(ED25519_BASEPOINT_TABLE().mul(a).compress().bytes, oracle::hex32(public_key));
        EXPECT_EQ(EdwardsPoint::basepoint().mul(a).compress().bytes, oracle::hex32(public_key));
        std::uint8_t pk[32], sk[64];
        crypto_sign_seed_keypair(pk, sk, seed.data());
        EXPECT_EQ(0, std::memcmp(pk, oracle::hex32(public_key).data(), 32));
    }
}

TEST(Table, BasepointMatchesReference) {
    oracle::init_reference();
    EXPECT_TRUE(ED25519_BASEPOINT_TABLE().base() == EdwardsPoint::basepoint());
    // The edges 0, 1 and 2^255 - 1 first (the top digit of the widest window
    // carries), then random reduced and unreduced scalars.
    const Bytes32 edges[3] = {Bytes32{}, oracle::hex32("01"), ones_scalar()};
    for (int i = 0; i < 203; ++i) {
        const Scalar s = i < 3       ? Scalar::from_bits(edges[i].data())
                         : i % 2 ? random_reduced_scalar()
                                 : Scalar::from_bits(oracle::random32().data());
        if (i == 0) {  // the reference refuses to give the identity
            EXPECT_TRUE(ED25519_BASEPOINT_TABLE().mul(s).is_identity().declassify());
            continue;
        }
        Bytes32 want{};
        ASSERT_EQ(crypto_scalarmult_ed25519_base_noclamp(want.data(), s.to_bytes().data()), 0);
        EXPECT_EQ(ED25519_BASEPOINT_TABLE().mul(s).compress().bytes, want);
    }
}

// Tables of prime-order, small-order and mixed points against mul, with
// random unreduced scalars and the edges 0, 1 and 2^255 - 1.
TEST(Table, AgreesWithVariableBaseForPointsOfEveryOrder) {
    std::vector<EdwardsPoint> bases = torsion_points();
    const EdwardsPoint prime = decode(reference_random_point());
    for (std::size_t k = 0; k < 8; ++k) bases.push_back(bases[k] + prime);
    std::vector<Bytes32> scalars = {Bytes32{}, oracle::hex32("01"), ones_scalar()};
    for (int i = 0; i < 20; ++i) scalars.push_back(oracle::random32());
    for (const EdwardsPoint& base : bases) {
        const EdwardsBasepointTable table(base);
        EXPECT_TRUE(table.base() == base);
        for (const Bytes32& b : scalars) {
            const Scalar s = Scalar::from_bits(b.data());
            ASSERT_EQ(table.mul(s), base.mul(s));
        }
        const Scalar edge = Scalar::from_bits(ones_scalar().data());
        EXPECT_EQ(table.mul(edge), double_and_add(base, edge));
    }
}

TEST(Table, MovesKeepTheTable) {
    const EdwardsPoint p = decode(reference_random_point());
    const Scalar s = random_reduced_scalar();
    EdwardsBasepointTable a(p);
    EdwardsBasepointTable b(std::move(a));
    EXPECT_EQ(b.mul(s), p.mul(s));
    EdwardsBasepointTable c(EdwardsPoint::identity());
    c = std::move(b);
    EXPECT_EQ(c.mul(s), p.mul(s));
    EXPECT_TRUE(c.base() == p);
}

}  // namespace
