// The packed build: offsets at fault refused before any key is read (the
// buffers are exactly their size, so a sanitizer build catches any read past
// them), packed rows read as their spans, the distinct rows first
// occurrences first, and the store of build_okvs and build_hiding_okvs of
// the same rows byte for byte. For the last, this executable answers
// getrandom with fixed bytes, so that every build run in a fresh thread
// (whose generator seeds itself at its first draw) draws the same values.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "src/operations.hpp"
#include "src/store_build.hpp"
#include "support/failure.hpp"

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int) {
    auto* out = static_cast<unsigned char*>(buffer);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<unsigned char>(i * 37u + 11u);
    return static_cast<ssize_t>(length);
}

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes offsets_of(std::initializer_list<std::uint64_t> values) {
    Bytes out;
    for (std::uint64_t v : values) {
        for (int k = 0; k < 8; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
    return out;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

struct Packed {
    Bytes keys, offsets;
};

Packed pack(const std::vector<std::string>& rows) {
    Packed p;
    std::vector<std::uint64_t> bounds{0};
    for (const std::string& row : rows) {
        p.keys.insert(p.keys.end(), row.begin(), row.end());
        bounds.push_back(p.keys.size());
    }
    for (std::uint64_t v : bounds) {
        for (int k = 0; k < 8; ++k) p.offsets.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    }
    return p;
}

std::string failure_of(const Bytes& keys, const Bytes& offsets) {
    try {
        ostrelline::PackedRows rows(keys, offsets);
    } catch (const support::Failure& failure) {
        return failure.what();
    }
    return "no failure";
}

// The buffers an operation allocates, in order.
struct Results {
    std::vector<Bytes> buffers;
    ostrelline::Sink sink() {
        return {this, [](void* context, std::size_t size) -> std::uint8_t* {
                    auto& held = static_cast<Results*>(context)->buffers;
                    held.emplace_back(size, 0xa5);
                    return held.back().data();
                }};
    }
};

// `build` in a thread of its own: a generator seeded afresh, from the fixed getrandom.
template <class F>
Bytes in_fresh_thread(F&& build) {
    Results results;
    std::thread thread([&] { build(results.sink()); });
    thread.join();
    return results.buffers.at(0);
}

TEST(PackedRows, OffsetsAtFaultAreRefused) {
    const Bytes abc = text("abc"), six = text("abcdef");
    EXPECT_EQ(failure_of(abc, {}), "The row_offsets object should hold n + 1 offsets of 8 bytes each for n rows: its "
                                   "length, 0, is not a positive multiple of 8.");
    Bytes partial = offsets_of({0, 3});
    partial.pop_back();
    EXPECT_EQ(failure_of(abc, partial), "The row_offsets object should hold n + 1 offsets of 8 bytes each for n "
                                        "rows: its length, 15, is not a positive multiple of 8.");
    EXPECT_EQ(failure_of(abc, offsets_of({1, 3})), "Row offset 0 is 1: the first row starts at byte 0 of row_keys.");
    EXPECT_EQ(failure_of(six, offsets_of({0, 4, 2, 6})),
              "Row offset 2 (2) is below row offset 1 (4): offsets never decrease.");
    EXPECT_EQ(failure_of(abc, offsets_of({0, 7, 7})), "Row offset 1 (7) is beyond the end of row_keys (3 bytes).");
    EXPECT_EQ(failure_of(abc, offsets_of({0, ~std::uint64_t{0}})),
              "Row offset 1 (18446744073709551615) is beyond the end of row_keys (3 bytes).");
    EXPECT_EQ(failure_of(six, offsets_of({0, 2, 4})), "The last row offset (4) is not the length of row_keys (6 "
                                                      "bytes): every key byte belongs to a row.");
    EXPECT_EQ(failure_of({}, offsets_of({0})), "no failure");
}

TEST(PackedRows, RowsAreTheirSpans) {
    const Packed p = pack({"ab", "", "c", "def"});
    const ostrelline::PackedRows rows(p.keys, p.offsets);
    ASSERT_EQ(rows.size(), 4u);
    const char* expected[] = {"ab", "", "c", "def"};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto bytes = rows[i].key_bytes();
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected[i]) << i;
    }
}

TEST(PackedRows, DistinctRowsFirstOccurrencesFirst) {
    const Packed p = pack({"b", "a", "", "b", "ab", "a", "", "c"});
    Results results;
    ostrelline::distinct_packed(ostrelline::ByteArg::of(p.keys), ostrelline::ByteArg::of(p.offsets),
                                results.sink());
    ASSERT_EQ(results.buffers.size(), 2u);
    const Packed expected = pack({"b", "a", "", "ab", "c"});
    EXPECT_EQ(results.buffers[0], expected.keys);
    EXPECT_EQ(results.buffers[1], expected.offsets);
}

TEST(PackedBuild, TheListStoreByteForByte) {
    const ostrelline::KeyPair pair = ostrelline::key_gen();
    std::vector<std::string> keys;
    for (int i = 0; i < 2000; ++i) keys.push_back(std::to_string(i % 7 + 3) + ":row" + std::to_string(i));
    const Packed p = pack(keys);
    const auto public_key = ostrelline::ByteArg::of(pair.public_key);
    for (bool hiding : {false, true}) {
        const auto as_list = [&](ostrelline::Sink out) {
            ostrelline::Rows rows(keys.size());
            for (std::size_t i = 0; i < keys.size(); ++i) rows[i].push_column(keys[i]);
            if (hiding) {
                ostrelline::build_hiding_okvs(public_key, std::move(rows), out);
            } else {
                ostrelline::build_okvs(public_key, std::move(rows), out);
            }
        };
        const auto packed = [&](ostrelline::Sink out) {
            ostrelline::build_okvs_packed(public_key, ostrelline::ByteArg::of(p.keys),
                                          ostrelline::ByteArg::of(p.offsets), hiding, out);
        };
        const Bytes first = in_fresh_thread(as_list);
        EXPECT_EQ(in_fresh_thread(as_list), first) << hiding;  // the fixed generator repeats a build
        EXPECT_EQ(in_fresh_thread(packed), first) << hiding;
        EXPECT_EQ(first.size(), 24 + 64 * (4800 + 32u)) << hiding;
    }
}

}  // namespace
