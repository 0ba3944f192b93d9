// The store's byte form field by field, parsing of every short length, and
// decoding as the exclusive-or of the cells a key selects.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "okvs/src/hashable.hpp"
#include "okvs/paxos.hpp"
#include "okvs/tests/test_values.hpp"
#include "support/failure.hpp"

namespace {

using okvs_test::Block;
using okvs_test::Key;
using Store = okvs::schemes::paxos::Paxos<Block>;
using View = okvs::schemes::paxos::PaxosView<Block>;

Store numbered_store(std::size_t m, std::uint64_t s1 = 1, std::uint64_t s2 = 2, std::uint64_t s3 = 3) {
    Store store{s1, s2, s3, {}, {}};
    for (std::size_t i = 0; i < m; ++i) store.graph_part.push_back(Block::numbered(i));
    for (std::size_t j = 0; j < 32; ++j) store.binary_part.push_back(Block::numbered(500 + j));
    return store;
}

bool same(const Store& a, const Store& b) {
    return a.first_seed == b.first_seed && a.second_seed == b.second_seed && a.row_bits_seed == b.row_bits_seed &&
           a.graph_part == b.graph_part && a.binary_part == b.binary_part;
}

std::string parse_failure(const std::vector<std::uint8_t>& bytes) {
    return okvs_test::failure_of([&] { Store::from_bytes(bytes); });
}

std::string view_failure(const std::vector<std::uint8_t>& bytes) {
    return okvs_test::failure_of([&] { View view(bytes); });
}

TEST(StoreBytes, Layout) {
    const Store store = numbered_store(5);
    const std::vector<std::uint8_t> bytes = store.to_bytes();
    ASSERT_EQ(bytes.size(), 2072u + 64 * 5);
    ASSERT_EQ(store.serialized_size(), bytes.size());
    const std::vector<std::uint8_t> seeds(bytes.begin(), bytes.begin() + 24);
    EXPECT_EQ(seeds, (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
    for (std::size_t i = 0; i < 5; ++i) {
        const auto cell = Block::numbered(i).bytes;
        EXPECT_TRUE(std::equal(cell.begin(), cell.end(), bytes.begin() + 24 + 64 * i)) << "graph cell " << i;
    }
    for (std::size_t j = 0; j < 32; ++j) {
        const auto cell = Block::numbered(500 + j).bytes;
        EXPECT_TRUE(std::equal(cell.begin(), cell.end(), bytes.begin() + 24 + 64 * 5 + 64 * j)) << "binary cell " << j;
    }
    // The pointer form writes the same bytes.
    std::vector<std::uint8_t> direct(store.serialized_size(), 0xEE);
    store.to_bytes(direct.data());
    EXPECT_EQ(direct, bytes);
    // Large seeds are little-endian.
    const auto big = numbered_store(0, 0x0102030405060708ull, 0, 0xFFFFFFFFFFFFFFFFull).to_bytes();
    EXPECT_EQ(big.size(), 2072u);
    EXPECT_EQ(std::vector<std::uint8_t>(big.begin(), big.begin() + 8),
              (std::vector<std::uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(std::vector<std::uint8_t>(big.begin() + 16, big.begin() + 24), std::vector<std::uint8_t>(8, 0xFF));
}

TEST(StoreBytes, RoundTrip) {
    for (std::size_t m : {0ul, 1ul, 3ul, 240ul}) {
        const Store store = numbered_store(m, 0xDEADBEEFull + m, 7, 0x8000000000000000ull);
        EXPECT_TRUE(same(Store::from_bytes(store.to_bytes()), store)) << m;
    }
    const auto pairs = okvs_test::numbered_pairs(1000);
    const Store encoded = Store::encode(pairs);
    const std::vector<std::uint8_t> bytes = encoded.to_bytes();
    EXPECT_EQ(bytes.size(), 2072u + 64 * 2400);
    const Store parsed = Store::from_bytes(bytes);
    EXPECT_TRUE(same(parsed, encoded));
    for (const auto& [key, value] : pairs) ASSERT_EQ(parsed.decode(key), value);
}

TEST(StoreBytes, TrailingRemainderIsIgnored) {
    const Store store = numbered_store(4);
    const std::vector<std::uint8_t> bytes = store.to_bytes();
    for (std::size_t k = 1; k < 64; ++k) {
        std::vector<std::uint8_t> padded(bytes.begin(), bytes.end() - 2048);
        padded.insert(padded.end(), k, static_cast<std::uint8_t>(k));
        padded.insert(padded.end(), bytes.end() - 2048, bytes.end());
        EXPECT_TRUE(same(Store::from_bytes(padded), store)) << k;
    }
}

TEST(StoreBytes, ShortInputsFail) {
    for (std::size_t length = 0; length < 2072; ++length) {
        const std::vector<std::uint8_t> bytes(length, 0xAB);
        std::string expected;
        if (length < 24) {
            const std::size_t end = length < 8 ? 8 : length < 16 ? 16 : 24;
            expected = "range end index " + std::to_string(end) + " out of range for slice of length " +
                       std::to_string(length);
        } else if (length < 2048) {
            expected = "store bytes too short: the length is " + std::to_string(length) +
                       " but a store takes at least 2072 bytes";
        } else {
            expected = "slice index starts at 24 but ends at " + std::to_string(length - 2048);
        }
        ASSERT_EQ(parse_failure(bytes), expected) << length;
        ASSERT_EQ(view_failure(bytes), expected) << length;
    }
    EXPECT_EQ(view_failure(std::vector<std::uint8_t>(2072, 0)), "no failure");
}

TEST(StoreBytes, StoreWithoutGraphCells) {
    const std::vector<std::uint8_t> bytes(2072, 0x11);
    const Store store = Store::from_bytes(bytes);
    EXPECT_TRUE(store.graph_part.empty());
    EXPECT_EQ(store.binary_part.size(), 32u);
    EXPECT_EQ(store.first_seed, 0x1111111111111111ull);
    EXPECT_EQ(okvs_test::failure_of([&] { store.decode(Key{"k"}); }),
              "attempt to calculate the remainder with a divisor of zero");
    const View view(bytes);
    EXPECT_EQ(view.graph_cells(), 0u);
    EXPECT_EQ(okvs_test::failure_of([&] { view.decode(Key{"k"}); }),
              "attempt to calculate the remainder with a divisor of zero");
}


// G[p1] ^ G[p2] ^ (B[j] for set bits j < 32 of w), written out bit by bit.
Block expected_value(const Store& store, const Key& key) {
    const std::size_t m = store.graph_part.size();
    const std::size_t p1 = okvs::hashable::hash_to_index(key, store.first_seed, m);
    const std::size_t p2 = okvs::hashable::hash_to_index(key, store.second_seed, m);
    const std::uint64_t w[] = {okvs::hashable::hash_to_bytes(key, store.row_bits_seed)};
    Block value = store.graph_part[p1] ^ store.graph_part[p2];
    for (std::size_t j = 0; j < 32; ++j) {
        if (okvs::bits::bit_at_is_set(w, j)) value = value ^ store.binary_part[j];
    }
    return value;
}

TEST(Decoding, IsTheExclusiveOrOfTheSelectedCells) {
    std::mt19937_64 rng(3);
    for (std::size_t m : {1ul, 2ul, 7ul, 100ul}) {
        const Store store = numbered_store(m, rng(), rng(), rng());
        for (int k = 0; k < 200; ++k) {
            const Key key{"probe" + std::to_string(k)};
            ASSERT_EQ(store.decode(key), expected_value(store, key));
        }
    }
    // With one graph cell both positions coincide: only binary cells count.
    const Store one = numbered_store(1, 4, 5, 6);
    const Key key{"alone"};
    const std::uint64_t w[] = {okvs::hashable::hash_to_bytes(key, 6)};
    std::optional<Block> binary_only;
    for (std::size_t j = 0; j < 32; ++j) {
        if (okvs::bits::bit_at_is_set(w, j)) binary_only = binary_only ? *binary_only ^ one.binary_part[j] : one.binary_part[j];
    }
    ASSERT_TRUE(binary_only);
    EXPECT_EQ(one.decode(key), *binary_only);
}

TEST(Decoding, MissingBinaryCellFails) {
    // A store missing a selected binary cell names the first one missing.
    Store store = numbered_store(10, 1, 2, 3);
    const Key key{"high"};
    const std::uint32_t low = static_cast<std::uint32_t>(okvs::hashable::hash_to_bytes(key, 3));
    ASSERT_NE(low, 0u);
    EXPECT_EQ(store.decode(key), expected_value(store, key));
    const std::size_t first_set = static_cast<std::size_t>(std::countr_zero(low));
    store.binary_part.resize(first_set);
    EXPECT_EQ(okvs_test::failure_of([&] { store.decode(key); }),
              "index out of bounds: the len is " + std::to_string(first_set) + " but the index is " +
                  std::to_string(first_set));
}

// A view of the bytes looks every key up as the parsed store does: the
// encoded keys, keys never encoded, and bytes with a remainder before the
// binary cells (which shifts where the binary cells start, not the graph's).
TEST(StoreView, DecodesAsTheParsedStore) {
    const auto pairs = okvs_test::numbered_pairs(700);
    const std::vector<std::uint8_t> bytes = Store::encode(pairs).to_bytes();
    std::vector<std::uint8_t> padded(bytes.begin(), bytes.end() - 2048);
    padded.insert(padded.end(), 37, 0x5A);
    padded.insert(padded.end(), bytes.end() - 2048, bytes.end());
    for (const std::vector<std::uint8_t>& form : {bytes, padded}) {
        const Store parsed = Store::from_bytes(form);
        const View view(form);
        ASSERT_EQ(view.graph_cells(), parsed.graph_part.size());
        for (const auto& [key, value] : pairs) ASSERT_EQ(view.decode(key), value);
        for (int k = 0; k < 300; ++k) {
            const Key key{"absent" + std::to_string(k)};
            ASSERT_EQ(view.decode(key), parsed.decode(key)) << k;
        }
    }
    // Every cell position is read from the bytes: one graph cell and a small store.
    for (std::size_t m : {1ul, 2ul, 7ul}) {
        const Store store = numbered_store(m, 11 * m, 13 * m, 17 * m);
        const std::vector<std::uint8_t> small = store.to_bytes();
        const View view(small);
        for (int k = 0; k < 100; ++k) {
            const Key key{"probe" + std::to_string(k)};
            ASSERT_EQ(view.decode(key), expected_value(store, key)) << m << " " << k;
        }
    }
}

}  // namespace
