// Store bytes through Paxos from_bytes and through a view of the bytes (as
// the query side reads a received store), then decoding at arbitrary keys.
// Parsing fails exactly for inputs shorter than 2072 bytes, with the
// documented texts for the lengths that have them. A parsed store written
// back gives the input bytes whenever there is no remainder between the
// graph part and the binary part. Decoding never fails except with the
// divisor-zero failure on a store without graph cells, and gives exactly
// G[p1] ^ G[p2] ^ (B[j] for the set bits j of the low 32 bits of the row
// hash), computed here straight from the bytes and XXH3. The same key as a
// row of several columns, and decode_many, give the same value. With a
// valid swift key, initiate_queries on such a store always succeeds and
// gives canonical points: every 64-byte cell pattern reads as a ciphertext.
//
// Input: one byte giving the number of keys (0..7); for each key one length
// byte (0..63) and the key's bytes; the rest is the store.
#include <xxhash.h>

#include "edwards25519/table.hpp"
#include "fuzz/common.hpp"
#include "okvs/paxos.hpp"
#include "src/ciphertexts.hpp"

namespace {

using ostrelline::ByteArg;
using ostrelline::Ciphertext;
using ostrelline::DataRow;
using Store = okvs::schemes::paxos::Paxos<Ciphertext>;
using View = okvs::schemes::paxos::PaxosView<Ciphertext>;

constexpr std::size_t kMinimum = 2072;

std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::string expected_parse_failure(std::size_t length) {
    if (length < 8) return fuzzing::range_end_message(8, length);
    if (length < 16) return fuzzing::range_end_message(16, length);
    if (length < 24) return fuzzing::range_end_message(24, length);
    if (length >= 2048 && length < kMinimum)
        return "slice index starts at 24 but ends at " + std::to_string(length - 2048);
    return std::string();  // 24..2047: some failure of its own; checked separately
}

// The 64 bytes a key decodes to, from the store bytes alone.
std::array<std::uint8_t, 64> reference_decode(std::span<const std::uint8_t> store,
                                              std::span<const std::uint8_t> key) {
    const std::size_t m = (store.size() - kMinimum) / 64;
    const std::size_t p1 = XXH3_64bits_withSeed(key.data(), key.size(), load_le64(store.data())) % m;
    const std::size_t p2 = XXH3_64bits_withSeed(key.data(), key.size(), load_le64(store.data() + 8)) % m;
    const std::uint64_t h = XXH3_64bits_withSeed(key.data(), key.size(), load_le64(store.data() + 16));
    std::array<std::uint8_t, 64> value{};
    for (std::size_t b = 0; b < 64; ++b)
        value[b] = static_cast<std::uint8_t>(store[24 + 64 * p1 + b] ^ store[24 + 64 * p2 + b]);
    const std::size_t binary = store.size() - 2048;
    for (std::size_t j = 0; j < 32; ++j)
        if ((h >> j) & 1)
            for (std::size_t b = 0; b < 64; ++b) value[b] ^= store[binary + 64 * j + b];
    return value;
}

// The key as a row: its bytes cut into columns at every position where the
// key's own byte has bit 0 set (any cut gives the same key bytes).
DataRow as_row(std::span<const std::uint8_t> key) {
    DataRow row;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (key[i] & 1) {
            row.push_column(std::string_view(reinterpret_cast<const char*>(key.data()) + begin, i - begin));
            begin = i;
        }
    }
    row.push_column(std::string_view(reinterpret_cast<const char*>(key.data()) + begin, key.size() - begin));
    return row;
}

// The public key of the scalar 7: a valid key for initiate_queries.
const std::vector<std::uint8_t>& swift_key() {
    static const std::vector<std::uint8_t> key = [] {
        std::uint8_t seven[32] = {7};
        const auto compressed =
            edwards25519::ED25519_BASEPOINT_TABLE().mul(edwards25519::Scalar::from_bits(seven)).compress();
        return std::vector<std::uint8_t>(compressed.bytes.begin(), compressed.bytes.end());
    }();
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    std::vector<std::vector<std::uint8_t>> keys;
    std::size_t at = 0;
    if (at < input.size()) {
        const std::size_t count = input[at++] % 8;
        for (std::size_t k = 0; k < count && at < input.size(); ++k) {
            const std::size_t claimed = input[at++] % 64;
            const std::size_t length = std::min(claimed, input.size() - at);
            keys.emplace_back(input.begin() + static_cast<std::ptrdiff_t>(at),
                              input.begin() + static_cast<std::ptrdiff_t>(at + length));
            at += length;
        }
    }
    std::span<const std::uint8_t> bytes = input.subspan(at);

    std::optional<Store> store;
    const std::string failure = fuzzing::failure_of([&] { store.emplace(Store::from_bytes(bytes)); });
    std::optional<View> view;
    const std::string view_failure = fuzzing::failure_of([&] { view.emplace(bytes); });
    FUZZ_CHECK_MSG(view_failure == failure, view_failure);
    if (bytes.size() < kMinimum) {
        FUZZ_CHECK(!failure.empty() && !store);
        const std::string expected = expected_parse_failure(bytes.size());
        if (!expected.empty()) FUZZ_CHECK_MSG(failure == expected, failure);
        // initiate_queries parses the sender store first and reports the same.
        fuzzing::Outputs out;
        const std::string op_failure = fuzzing::failure_of([&] {
            ostrelline::initiate_queries({}, {}, ByteArg::of(bytes), ByteArg::of(bytes), ByteArg::of(swift_key()),
                                         out.sink());
        });
        FUZZ_CHECK(op_failure == failure);
        return 0;
    }
    FUZZ_CHECK_MSG(failure.empty(), failure);
    const std::size_t m = (bytes.size() - kMinimum) / 64;
    FUZZ_CHECK(store->graph_part.size() == m && store->binary_part.size() == 32);
    FUZZ_CHECK(store->first_seed == load_le64(bytes.data()));
    FUZZ_CHECK(store->second_seed == load_le64(bytes.data() + 8));
    FUZZ_CHECK(store->row_bits_seed == load_le64(bytes.data() + 16));
    FUZZ_CHECK(store->serialized_size() == kMinimum + 64 * m);
    const std::vector<std::uint8_t> written = store->to_bytes();
    if ((bytes.size() - kMinimum) % 64 == 0) {
        FUZZ_CHECK(std::equal(written.begin(), written.end(), bytes.begin(), bytes.end()));
    } else {
        // The remainder before the binary part is dropped; everything else kept.
        const std::size_t graph_end = 24 + 64 * m;
        FUZZ_CHECK(written.size() == graph_end + 2048);
        FUZZ_CHECK(std::equal(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(graph_end),
                              bytes.begin()));
        FUZZ_CHECK(std::equal(written.begin() + static_cast<std::ptrdiff_t>(graph_end), written.end(),
                              bytes.end() - 2048));
    }

    std::vector<DataRow> rows;
    for (const auto& key : keys) {
        rows.push_back(as_row(key));
        Ciphertext value;
        const std::string decode_failure = fuzzing::failure_of([&] { value = store->decode(rows.back()); });
        if (m == 0) {
            FUZZ_CHECK_MSG(decode_failure == fuzzing::kRemainderByZero, decode_failure);
            continue;
        }
        FUZZ_CHECK_MSG(decode_failure.empty(), decode_failure);
        FUZZ_CHECK(value.to_bytes() == reference_decode(bytes, key));
        FUZZ_CHECK(store->decode_bytes(key).to_bytes() == value.to_bytes());
        FUZZ_CHECK(view->decode(rows.back()).to_bytes() == value.to_bytes());
    }
    if (m > 0 && !rows.empty()) {
        const std::vector<Ciphertext> many = store->decode_many<DataRow>(rows);
        FUZZ_CHECK(many.size() == rows.size());
        for (std::size_t k = 0; k < rows.size(); ++k)
            FUZZ_CHECK(many[k].to_bytes() == reference_decode(bytes, keys[k]));
    }

    // One query (the first key against this store as both banks' stores):
    // every cell pattern decodes to points, so nothing can fail but the
    // divisor-zero failure of an empty graph part.
    if (!rows.empty()) {
        ostrelline::Rows sender{rows[0]}, receiver{rows[0]};
        fuzzing::Outputs out;
        const std::string query_failure = fuzzing::failure_of([&] {
            ostrelline::initiate_queries(std::move(sender), std::move(receiver), ByteArg::of(bytes),
                                         ByteArg::of(bytes), ByteArg::of(swift_key()), out.sink());
        });
        if (m == 0) {
            FUZZ_CHECK(query_failure == fuzzing::kRemainderByZero);
        } else {
            FUZZ_CHECK_MSG(query_failure.empty(), query_failure);
            FUZZ_CHECK(out.buffers.size() == 1 && out[0].size() == 128);
            // Whatever the cells hold, no component has a small-order part:
            // the query side clears them.
            for (std::size_t off = 0; off < 128; off += 32) {
                FUZZ_CHECK(fuzzing::is_canonical_point(out[0].data() + off));
                FUZZ_CHECK(fuzzing::decompress(out[0].data() + off)->is_torsion_free().declassify());
            }
        }
    }
    return 0;
}
