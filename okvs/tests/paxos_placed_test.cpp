// Encoding with keys and values held apart into cells the caller provides
// (encode_placed): the same draws, in the same order, and so the same store
// as Paxos::encode of the same pairs; every provided cell written; repeated
// keys refused before any cell is asked for or any value drawn.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "okvs/src/hashable.hpp"
#include "okvs/paxos.hpp"
#include "okvs/tests/test_values.hpp"

namespace {

using okvs::hashable::BytesKey;
using okvs::schemes::paxos::graph_size;
using okvs_test::Block;
using okvs_test::Draws;
using okvs_test::failure_of;
using okvs_test::Key;
using okvs_test::Pair;
using okvs_test::ScriptedDraws;
using Store = okvs::schemes::paxos::Paxos<Block>;

// Keys packed one after the other, as BytesKey views, and values apart.
struct Apart {
    std::string bytes;
    std::vector<std::size_t> offsets{0};
    std::vector<Block> values;

    explicit Apart(std::size_t n, std::string_view prefix = "row-") {
        for (std::size_t i = 0; i < n; ++i) {
            bytes += std::string(prefix) + std::to_string(i);
            offsets.push_back(bytes.size());
            values.push_back(Block::numbered(1'000'000 + i));
        }
    }
    BytesKey key(std::size_t i) const {
        return {{reinterpret_cast<const std::uint8_t*>(bytes.data()) + offsets[i], offsets[i + 1] - offsets[i]}};
    }
    std::vector<Pair> pairs() const {
        std::vector<Pair> out;
        for (std::size_t i = 0; i < values.size(); ++i) {
            out.emplace_back(Key{bytes.substr(offsets[i], offsets[i + 1] - offsets[i])}, values[i]);
        }
        return out;
    }
};

struct Placed {
    okvs::schemes::paxos::PlacedParts<Block> parts;
    std::vector<Block> cells;
    std::size_t asked = 0;     // calls of graph_cells
    std::uint64_t draws = 0;   // values drawn
};

// encode_placed of `rows` into cells that start out as a marker pattern;
// `out` counts as it goes, so that it also tells what a failed call did.
void place(const Apart& rows, Placed& out) {
    const std::size_t n = rows.values.size();
    out.cells.assign(graph_size(n), Block::numbered(0xdead));
    const ScriptedDraws script;
    out.parts = okvs::schemes::paxos::encode_placed<Block>(
        n, [&](std::size_t i) { return rows.key(i); },
        [&](std::size_t i) -> const Block& { return rows.values[i]; },
        [&](std::size_t m) {
            ++out.asked;
            EXPECT_EQ(m, out.cells.size());
            return std::span<Block>(out.cells);
        });
    out.draws = Draws::count;
}

Placed placed(const Apart& rows) {
    Placed out;
    place(rows, out);
    return out;
}

TEST(PlacedEncoding, SameStoreAndDrawsAsEncodeOfThePairs) {
    for (std::size_t n : {0ul, 1ul, 2ul, 7ul, 300ul, 5000ul}) {
        const Apart rows(n);
        const Placed got = placed(rows);
        ASSERT_GE(got.asked, 1u) << n;
        // The pairs encoded with the seeds that succeeded, draws numbered afresh.
        const std::vector<Pair> pairs = rows.pairs();
        const ScriptedDraws script;
        const auto expected = Store::try_encode_with_seeds(std::span<const Pair>(pairs), got.parts.seeds[0],
                                                           got.parts.seeds[1], got.parts.seeds[2]);
        ASSERT_TRUE(expected.has_value()) << n;
        EXPECT_EQ(Draws::count, got.draws) << n;
        EXPECT_EQ(got.cells, expected->graph_part) << n;
        EXPECT_EQ(got.parts.binary_part, expected->binary_part) << n;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(expected->decode(pairs[i].first), pairs[i].second) << n << " key " << i;
        }
    }
}

TEST(PlacedEncoding, EveryProvidedCellIsWritten) {
    const Apart rows(2000);
    const Placed got = placed(rows);
    std::size_t stale = 0;
    for (const Block& cell : got.cells) stale += cell == Block::numbered(0xdead);
    EXPECT_EQ(stale, 0u);
}

TEST(PlacedEncoding, HeaderWrittenAsByteFormSeeds) {
    const Apart rows(50);
    const Placed got = placed(rows);
    std::uint8_t header[okvs::schemes::paxos::kHeaderBytes];
    okvs::schemes::paxos::detail::write_seeds(got.parts.seeds, header);
    Store store{got.parts.seeds[0], got.parts.seeds[1], got.parts.seeds[2], got.cells, got.parts.binary_part};
    const std::vector<std::uint8_t> bytes = store.to_bytes();
    EXPECT_TRUE(std::equal(header, header + sizeof header, bytes.begin()));
}

TEST(PlacedEncoding, RepeatedKeysRefusedBeforeCellsOrDraws) {
    Apart rows(40);
    // Row 31 gets the key bytes of row 12.
    rows.bytes = "";
    rows.offsets = {0};
    for (std::size_t i = 0; i < 40; ++i) {
        rows.bytes += "row-" + std::to_string(i == 31 ? 12 : i);
        rows.offsets.push_back(rows.bytes.size());
    }
    Placed got;
    EXPECT_EQ(failure_of([&] { place(rows, got); }),
              "rows 12 and 31 have the same key bytes; every row must be distinct");
    EXPECT_EQ(got.asked, 0u);
    EXPECT_EQ(Draws::count, 0u);
}

TEST(PlacedEncoding, TooManyPairsNamed) {
    EXPECT_EQ(failure_of([] { okvs::schemes::paxos::detail::require_storable(std::size_t{1} << 31); }),
              "too many pairs for one store: 2147483648");
    EXPECT_EQ(failure_of([] { okvs::schemes::paxos::detail::require_storable(1000); }), "no failure");
}

}  // namespace
