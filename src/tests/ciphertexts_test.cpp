// Ciphertext (the store's value) and the query entries, one entry at a time
// through the reference lane path (the portable kernels, and the same path
// with a scalar the test gives: given_scalars/): the algebra that decryption
// relies on, the byte forms and their failures, and the acceptance of
// identity, small-order and non-canonical components.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "edwards25519/table.hpp"
#include "okvs/bits.hpp"
#include "src/ciphertexts.hpp"
#include "src/point_conversion.hpp"
#include "src/paths/kernels.hpp"
#include "src/tests/given_scalars/given_scalars.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace {

using edwards25519::CompressedEdwardsY;
using edwards25519::ED25519_BASEPOINT_TABLE;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using ostrelline::Ciphertext;
using ostrelline::random_scalar;
using ostrelline::point_conversion::point_to_uniform_bytes;
using ostrelline::point_conversion::uniform_bytes_to_point;
using Bytes32 = std::array<std::uint8_t, 32>;

Scalar scalar_of(std::uint64_t value) {
    Bytes32 bytes{};
    for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return Scalar::from_bytes_mod_order(bytes.data());
}

// Bytes with the given low byte and top byte, zero in between.
Bytes32 bytes_of(std::uint8_t first, std::uint8_t middle, std::uint8_t last) {
    Bytes32 out;
    out.fill(middle);
    out[0] = first;
    out[31] = last;
    return out;
}

const Bytes32 kIdentity = bytes_of(0x01, 0x00, 0x00);
const Bytes32 kOrderTwo = bytes_of(0xec, 0xff, 0x7f);      // y = -1
const Bytes32 kIdentityPlusP = bytes_of(0xee, 0xff, 0x7f); // y = p + 1
const Bytes32 kZeroYPlusP = bytes_of(0xed, 0xff, 0x7f);    // y = p, read as 0
const Bytes32 kNotAPoint = bytes_of(0x02, 0x00, 0x00);     // y = 2 has no x

EdwardsPoint point_of(const Bytes32& bytes) {
    std::optional<EdwardsPoint> p = CompressedEdwardsY{bytes}.decompress();
    if (!p) throw std::logic_error("not a point");
    return *p;
}

EdwardsPoint point_of(const CompressedEdwardsY& c) { return point_of(c.bytes); }

std::string failure_of(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const support::Failure& failure) {
        return failure.what();
    }
    return "no failure";
}

std::string range_message(std::size_t end, std::size_t size) {
    return "range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(size);
}

std::vector<std::uint8_t> random_vector(std::size_t size) {
    std::vector<std::uint8_t> out(size);
    support::random_bytes(out);
    return out;
}

const ostrelline::paths::Kernels& reference() { return ostrelline::paths::kernels(edwards25519::batch::Isa::portable); }

// A query entry: four compressed points, 128 bytes, with the reference's
// randomize (by a fresh scalar, or by a given one) and combine of one entry.
struct WideCiphertext {
    CompressedEdwardsY sender, receiver, gamma, delta;

    std::array<std::uint8_t, 128> to_bytes() const {
        std::array<std::uint8_t, 128> out;
        std::size_t at = 0;
        for (const CompressedEdwardsY* c : {&sender, &receiver, &gamma, &delta}) {
            std::copy(c->bytes.begin(), c->bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
            at += 32;
        }
        return out;
    }
    static WideCiphertext from_bytes(std::span<const std::uint8_t> raw) {
        WideCiphertext w;
        std::size_t at = 0;
        for (CompressedEdwardsY* c : {&w.sender, &w.receiver, &w.gamma, &w.delta}) {
            std::copy_n(raw.begin() + static_cast<std::ptrdiff_t>(at), 32, c->bytes.begin());
            at += 32;
        }
        return w;
    }
    WideCiphertext randomize() const { return randomize_on(reference()); }
    WideCiphertext randomize_with(const Scalar& t) const {
        const given_scalars::GivenScalars::Use use(&t);
        return randomize_on(given_scalars::kernels(edwards25519::batch::Isa::portable));
    }
    WideCiphertext sum(const WideCiphertext& other) const {
        const auto a = to_bytes(), b = other.to_bytes();
        std::array<std::uint8_t, 128> out;
        std::uint8_t* const components[4] = {out.data(), out.data() + 32, out.data() + 64, out.data() + 96};
        reference().combine(a, b, components, 1);
        return from_bytes(out);
    }

private:
    WideCiphertext randomize_on(const ostrelline::paths::Kernels& kernels) const {
        const auto in = to_bytes();
        std::array<std::uint8_t, 128> out;
        kernels.randomize(in, out.data(), 1);
        return from_bytes(out);
    }
};

struct KeyPair {
    Scalar secret;
    EdwardsPoint public_key;
};

KeyPair make_key() {
    Scalar secret = random_scalar();
    return KeyPair{secret, ED25519_BASEPOINT_TABLE().mul(secret)};
}

// One encryption of the identity under the key, and a membership-hiding one.
Ciphertext zero(const KeyPair& key, bool hiding = false) {
    Ciphertext c;
    reference().zero(key.public_key, 1, hiding, &c);
    return c;
}

Ciphertext hiding_zero(const KeyPair& key) { return zero(key, true); }

// The query of two cells under the network's key.
WideCiphertext query(const Ciphertext& a, const Ciphertext& b, const EdwardsPoint& key) {
    const auto x = a.to_bytes(), y = b.to_bytes();
    std::array<std::uint8_t, 128> out;
    reference().queries(x.data(), y.data(), 1, key, out.data());
    return WideCiphertext::from_bytes(out);
}

// The three parties: sending bank, receiving bank, payment network.
struct Parties {
    KeyPair sender = make_key(), receiver = make_key(), network = make_key();

    WideCiphertext query() const { return ::query(zero(sender), zero(receiver), network.public_key); }
    // delta = k_s sender + k_r receiver + k gamma
    bool relation_holds(const WideCiphertext& w) const {
        return point_of(w.sender).mul(sender.secret) + point_of(w.receiver).mul(receiver.secret) +
                   point_of(w.gamma).mul(network.secret) ==
               point_of(w.delta);
    }
};

WideCiphertext with_component(const WideCiphertext& w, std::size_t index, const Bytes32& bytes) {
    std::array<std::uint8_t, 128> raw = w.to_bytes();
    std::copy(bytes.begin(), bytes.end(), raw.begin() + static_cast<std::ptrdiff_t>(32 * index));
    return WideCiphertext::from_bytes(raw);
}

WideCiphertext all_components(const Bytes32& bytes) {
    return WideCiphertext{{bytes}, {bytes}, {bytes}, {bytes}};
}

std::array<Bytes32, 4> components(const WideCiphertext& w) {
    return {w.sender.bytes, w.receiver.bytes, w.gamma.bytes, w.delta.bytes};
}

// ---------------------------------------------------------------- Ciphertext

TEST(Ciphertext, ZeroEncryptsTheIdentityUnderTheKey) {
    const KeyPair key = make_key(), other = make_key();
    std::set<Bytes32> firsts;
    for (int i = 0; i < 16; ++i) {
        const Ciphertext ct = zero(key);
        const EdwardsPoint first = uniform_bytes_to_point(ct.c1), second = uniform_bytes_to_point(ct.c2);
        EXPECT_TRUE(first.mul(key.secret) == second);
        EXPECT_FALSE(first.mul(other.secret) == second);
        EXPECT_EQ(ct.c1[0] & 1, 0);
        EXPECT_EQ(ct.c2[0] & 1, 0);
        EXPECT_TRUE(firsts.insert(ct.c1).second) << "repeated scalar";
    }
}

TEST(Ciphertext, BitsByteFormAndExclusiveOr) {
    static_assert(okvs::bits::width_of<Ciphertext> == 64);
    const std::vector<std::uint8_t> raw = random_vector(70);  // bytes from 64 on are ignored
    const Ciphertext a = okvs::bits::from_bytes<Ciphertext>(raw);
    EXPECT_TRUE(std::equal(a.c1.begin(), a.c1.end(), raw.begin()));
    EXPECT_TRUE(std::equal(a.c2.begin(), a.c2.end(), raw.begin() + 32));
    const std::array<std::uint8_t, 64> back = okvs::bits::to_bytes(a);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), raw.begin()));

    const Ciphertext b = okvs::bits::random<Ciphertext>();
    EXPECT_NE(b.c1, b.c2);
    const std::array<std::uint8_t, 64> xa = a.to_bytes(), xb = b.to_bytes(), xab = (a ^ b).to_bytes();
    for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(xab[i], xa[i] ^ xb[i]) << i;
    EXPECT_EQ(((a ^ b) ^ b).to_bytes(), xa);
    const Ciphertext zero = a ^ a;
    EXPECT_EQ(zero.to_bytes(), (std::array<std::uint8_t, 64>{}));
    // The all-zero ciphertext is (0, -1) twice.
    EXPECT_EQ(uniform_bytes_to_point(zero.c1).compress().bytes, kOrderTwo);
    EXPECT_EQ(uniform_bytes_to_point(zero.c2).compress().bytes, kOrderTwo);
}

TEST(Ciphertext, ShortInputsFail) {
    for (std::size_t size : {0, 20, 31, 32, 63}) {
        const std::vector<std::uint8_t> raw(size, 0xab);
        EXPECT_EQ(failure_of([&] { Ciphertext::from_bytes(raw); }), range_message(size < 32 ? 32 : 64, size));
    }
    EXPECT_EQ(failure_of([] { Ciphertext::from_bytes(std::vector<std::uint8_t>(63)); }),
              "range end index 64 out of range for slice of length 63");
}

// l P = l T = 5 T for P = Q + T with Q of order l: tells T's class.
EdwardsPoint times_order(const EdwardsPoint& p) {
    const Bytes32 l = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                       0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
    return p.mul(Scalar::from_bits(l.data()));
}

bool in_prime_order_subgroup(const CompressedEdwardsY& c) { return point_of(c).is_torsion_free().declassify(); }

TEST(Ciphertext, HidingZeroEncryptsTheIdentityUpToTorsion) {
    const KeyPair key = make_key(), other = make_key();
    std::set<Bytes32> classes_first, classes_second;
    int odd_first = 0, odd_second = 0;
    constexpr int kCount = 160;
    for (int i = 0; i < kCount; ++i) {
        const Ciphertext ct = hiding_zero(key);
        const EdwardsPoint first = uniform_bytes_to_point(ct.c1), second = uniform_bytes_to_point(ct.c2);
        EXPECT_TRUE(first.mul_by_cofactor().mul(key.secret) == second.mul_by_cofactor());
        EXPECT_FALSE(first.mul_by_cofactor().mul(other.secret) == second.mul_by_cofactor());
        classes_first.insert(times_order(first).compress().bytes);
        classes_second.insert(times_order(second).compress().bytes);
        odd_first += ct.c1[0] & 1;
        odd_second += ct.c2[0] & 1;
    }
    // Independent uniform torsion parts and coin-flip parities: all eight
    // classes and both parities show up (each miss has probability < 2^-20).
    EXPECT_EQ(classes_first.size(), 8u);
    EXPECT_EQ(classes_second.size(), 8u);
    EXPECT_GT(odd_first, kCount / 4);
    EXPECT_LT(odd_first, 3 * kCount / 4);
    EXPECT_GT(odd_second, kCount / 4);
    EXPECT_LT(odd_second, 3 * kCount / 4);
}

TEST(Ciphertext, OtherRepresentativeDecodesToTheSamePoint) {
    const KeyPair key = make_key();
    for (int i = 0; i < 16; ++i) {
        const Ciphertext ct = zero(key);
        const Bytes32 other = ostrelline::point_conversion::with_representative(ct.c1, 1);
        EXPECT_EQ(other[0] & 1, 1);  // p - r is odd for an even r
        EXPECT_EQ(other[31] & 0x80, ct.c1[31] & 0x80);
        EXPECT_EQ(uniform_bytes_to_point(other), uniform_bytes_to_point(ct.c1));
        EXPECT_EQ(ostrelline::point_conversion::with_representative(ct.c1, 0), ct.c1);
        EXPECT_EQ(ostrelline::point_conversion::with_representative(other, 1), ct.c1);
    }
}

// Whatever the store cells hold, no query component carries a small-order
// component; held rows of both kinds of store satisfy the relation.
TEST(Ciphertext, AddAndRandomizeClearsSmallOrderComponents) {
    const Parties parties;
    const std::vector<Ciphertext> senders = {zero(parties.sender),
                                             hiding_zero(parties.sender)};
    const std::vector<Ciphertext> receivers = {zero(parties.receiver),
                                               hiding_zero(parties.receiver)};
    for (const Ciphertext& a : senders) {
        for (const Ciphertext& b : receivers) {
            const WideCiphertext w = query(a, b, parties.network.public_key);
            EXPECT_TRUE(parties.relation_holds(w));
            for (const Bytes32& c : components(w)) EXPECT_TRUE(in_prime_order_subgroup(CompressedEdwardsY{c}));
        }
    }
    for (int i = 0; i < 32; ++i) {
        const WideCiphertext w = query(Ciphertext::random(), Ciphertext::random(), parties.network.public_key);
        for (const Bytes32& c : components(w)) EXPECT_TRUE(in_prime_order_subgroup(CompressedEdwardsY{c}));
    }
}

// Cells whose points are of small order (all-zero bytes give the point of
// order 2) clear to the identity; the replacement random point keeps such a
// query from matching, whatever the parity of the bank's key.
TEST(Ciphertext, DegenerateCellsNeverMatch) {
    Ciphertext zeros{}, ones{};
    ones.c1.fill(0xff);
    ones.c2.fill(0xff);
    for (int round = 0; round < 8; ++round) {
        const Parties parties;
        const Ciphertext genuine = zero(parties.receiver);
        for (const Ciphertext& forged : {zeros, ones}) {
            const WideCiphertext w = query(forged, genuine, parties.network.public_key);
            EXPECT_FALSE(parties.relation_holds(w));
            EXPECT_FALSE(point_of(w.sender).is_identity().declassify());
            for (const Bytes32& c : components(w)) EXPECT_TRUE(in_prime_order_subgroup(CompressedEdwardsY{c}));
            const WideCiphertext both = query(forged, forged, parties.network.public_key);
            EXPECT_FALSE(parties.relation_holds(both));
        }
    }
}

// With points of known discrete logarithm every component is pinned down
// relative to gamma = r B: sender = alpha gamma, receiver = beta gamma,
// delta = (a2 + b2 + kappa) gamma.
TEST(Ciphertext, AddAndRandomizeComponentsFromKnownPoints) {
    std::vector<std::uint64_t> logs;
    std::vector<Bytes32> encodings;
    for (std::uint64_t n = 2; logs.size() < 4; ++n) {
        if (auto bytes = point_to_uniform_bytes(ED25519_BASEPOINT_TABLE().mul(scalar_of(n)))) {
            logs.push_back(n);
            encodings.push_back(*bytes);
        }
    }
    const std::uint64_t kappa = 1000003;
    const Ciphertext a{encodings[0], encodings[1]}, b{encodings[2], encodings[3]};
    const WideCiphertext w = query(a, b, ED25519_BASEPOINT_TABLE().mul(scalar_of(kappa)));
    const EdwardsPoint gamma = point_of(w.gamma);
    EXPECT_FALSE(gamma.is_identity().declassify());
    // The decoded points are multiplied by the cofactor 8 before use.
    EXPECT_EQ(w.sender.bytes, gamma.mul(scalar_of(8 * logs[0])).compress().bytes);
    EXPECT_EQ(w.receiver.bytes, gamma.mul(scalar_of(8 * logs[2])).compress().bytes);
    EXPECT_EQ(w.delta.bytes, gamma.mul(scalar_of(8 * (logs[1] + logs[3]) + kappa)).compress().bytes);
}

TEST(Ciphertext, AddAndRandomizeRelationForGenuineInputsOnly) {
    const Parties parties;
    const Ciphertext a = zero(parties.sender), b = zero(parties.receiver);
    const WideCiphertext first = query(a, b, parties.network.public_key);
    const WideCiphertext second = query(a, b, parties.network.public_key);
    EXPECT_TRUE(parties.relation_holds(first));
    EXPECT_TRUE(parties.relation_holds(second));
    EXPECT_NE(first.to_bytes(), second.to_bytes());
    EXPECT_FALSE(parties.relation_holds(query(Ciphertext::random(), b, parties.network.public_key)));
    EXPECT_FALSE(parties.relation_holds(query(a, Ciphertext::random(), parties.network.public_key)));
    EXPECT_FALSE(parties.relation_holds(query(b, a, parties.network.public_key)));  // banks swapped
}

// ---------------------------------------------------------------- WideCiphertext

// An entry the stream ends inside fails at the first end offset (32, 64,
// 96, 128) beyond it, in randomize and in combine (sender first), before
// any component is read.
TEST(WideCiphertext, ShortEntriesFail) {
    std::array<std::uint8_t, 128> out;
    std::uint8_t* const components[4] = {out.data(), out.data() + 32, out.data() + 64, out.data() + 96};
    const auto whole = Parties{}.query().to_bytes();
    for (std::size_t size : {1, 31, 32, 63, 64, 72, 95, 96, 127}) {
        const std::vector<std::uint8_t> short_raw(size, 0x11);
        EXPECT_EQ(failure_of([&] { reference().randomize(short_raw, out.data(), 1); }),
                  range_message(size / 32 * 32 + 32, size));
        EXPECT_EQ(failure_of([&] { reference().combine(short_raw, whole, components, 1); }),
                  range_message(size / 32 * 32 + 32, size));
        EXPECT_EQ(failure_of([&] { reference().combine(whole, short_raw, components, 1); }),
                  range_message(size / 32 * 32 + 32, size));
    }
    EXPECT_EQ(failure_of([&] { reference().randomize(std::vector<std::uint8_t>(72), out.data(), 1); }),
              "range end index 96 out of range for slice of length 72");
}

TEST(WideCiphertext, RandomizeAndSumKeepTheRelation) {
    const Parties parties;
    const WideCiphertext a = parties.query(), b = parties.query();
    const Scalar t1 = random_scalar(), t2 = random_scalar();
    const std::array<Bytes32, 4> pa = components(a), pb = components(b);
    const std::array<Bytes32, 4> scaled = components(a.randomize_with(t1)), added = components(a.sum(b));
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(scaled[c], point_of(pa[c]).mul(t1).compress().bytes) << c;
        EXPECT_EQ(added[c], (point_of(pa[c]) + point_of(pb[c])).compress().bytes) << c;
    }
    const WideCiphertext once = a.randomize(), twice = a.randomize();
    EXPECT_TRUE(parties.relation_holds(once));
    EXPECT_TRUE(parties.relation_holds(twice));
    EXPECT_NE(once.to_bytes(), twice.to_bytes());
    EXPECT_TRUE(parties.relation_holds(a.sum(b)));
    // Two separately randomized copies add up to one blinded by the sum.
    EXPECT_EQ(a.randomize_with(t1).sum(a.randomize_with(t2)).to_bytes(), a.randomize_with(t1 + t2).to_bytes());
    // Values made for other keys break it.
    EXPECT_FALSE(parties.relation_holds(a.sum(Parties{}.query())));
}

TEST(WideCiphertext, IdentitySmallOrderAndNonCanonicalAccepted) {
    const WideCiphertext identity = all_components(kIdentity);
    const WideCiphertext w = Parties{}.query();
    EXPECT_EQ(identity.randomize().to_bytes(), identity.to_bytes());
    EXPECT_EQ(w.sum(identity).to_bytes(), w.to_bytes());
    EXPECT_EQ(identity.sum(w).to_bytes(), w.to_bytes());

    // (0, -1) has order two; y = 0 gives the points of order four.
    const WideCiphertext two = all_components(kOrderTwo), four = all_components(Bytes32{});
    EXPECT_EQ(two.randomize_with(scalar_of(2)).to_bytes(), identity.to_bytes());
    EXPECT_EQ(two.randomize_with(scalar_of(3)).to_bytes(), two.to_bytes());
    EXPECT_EQ(four.randomize_with(scalar_of(2)).to_bytes(), two.to_bytes());
    EXPECT_EQ(four.randomize_with(scalar_of(4)).to_bytes(), identity.to_bytes());

    // y from p to 2^255 - 1 is read mod p and written canonically: p + 1 is
    // the identity, p is y = 0 (x = +sqrt(-1), or its negation with bit 255).
    const WideCiphertext high_identity = all_components(kIdentityPlusP);
    EXPECT_EQ(high_identity.randomize().to_bytes(), identity.to_bytes());
    EXPECT_EQ(high_identity.sum(identity).to_bytes(), identity.to_bytes());
    EXPECT_EQ(all_components(kZeroYPlusP).sum(identity).to_bytes(), four.to_bytes());
    EXPECT_EQ(all_components(kZeroYPlusP).randomize_with(scalar_of(1)).to_bytes(), four.to_bytes());
    EXPECT_EQ(identity.sum(all_components(bytes_of(0xed, 0xff, 0xff))).to_bytes(),
              all_components(bytes_of(0x00, 0x00, 0x80)).to_bytes());
}

TEST(WideCiphertext, UndecodableComponentFails) {
    ASSERT_FALSE(CompressedEdwardsY{kNotAPoint}.decompress().has_value());
    const WideCiphertext good = Parties{}.query();
    for (std::size_t c = 0; c < 4; ++c) {
        const WideCiphertext bad = with_component(good, c, kNotAPoint);
        EXPECT_EQ(failure_of([&] { bad.randomize(); }), support::kUnwrapNone) << c;
        EXPECT_EQ(failure_of([&] { bad.randomize_with(scalar_of(5)); }), support::kUnwrapNone) << c;
        EXPECT_EQ(failure_of([&] { bad.sum(good); }), support::kUnwrapNone) << c;
        EXPECT_EQ(failure_of([&] { good.sum(bad); }), support::kUnwrapNone) << c;
    }
    EXPECT_EQ(std::string(support::kUnwrapNone), "called `Option::unwrap()` on a `None` value");
}

}  // namespace
