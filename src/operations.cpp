#include "src/operations.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "edwards25519/table.hpp"
#include "okvs/paxos.hpp"
#include "src/ciphertexts.hpp"
#include "src/paths/kernels.hpp"
#include "src/store_build.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"
#include "support/wipe.hpp"

namespace ostrelline {

using edwards25519::CompressedEdwardsY;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
// A received store, looked up in place: the query side never copies a store.
using StoreView = okvs::schemes::paxos::PaxosView<Ciphertext>;

namespace {

[[noreturn]] void downcast_error(std::string_view type_text, const std::string& from) {
    std::string message(type_text);
    message += ": PyDowncastError { from: ";
    message += from;
    message += ", to: \"PyBytes\" }";
    support::fail(std::move(message));
}

}  // namespace

std::span<const std::uint8_t> ByteArg::require(std::string_view type_text) const {
    if (is_bytes) return {data, size};
    downcast_error(type_text, describe != nullptr ? describe(object) : std::string("<unknown object>"));
}

std::span<const std::uint8_t> ByteArg::require_secret(std::string_view type_text) const {
    if (is_bytes) return {data, size};
    downcast_error(type_text, "<redacted " + (type_name != nullptr ? type_name(object) : std::string("object")) + ">");
}

namespace {

std::size_t chunk_count(std::size_t length, std::size_t width) { return (length + width - 1) / width; }

}  // namespace

KeyPair key_gen() {
    const Scalar x = random_scalar();
    KeyPair pair;
    pair.public_key = edwards25519::ED25519_BASEPOINT_TABLE().mul(x).compress().bytes;
    pair.secret_key = x.to_bytes();
    return pair;
}

EdwardsPoint read_public_key(const ByteArg& public_key) {
    auto bytes = public_key.require(kPublicKeyText);
    if (bytes.size() != 32) paths::point_length_failure(bytes.size());
    CompressedEdwardsY compressed;
    std::memcpy(compressed.bytes.data(), bytes.data(), 32);
    auto point = compressed.decompress();
    if (!point) support::fail("The public key was not a valid curve point.");
    return *point;
}

Scalar read_secret_key(const ByteArg& secret_key, std::string_view type_text) {
    auto bytes = secret_key.require_secret(type_text);
    if (bytes.size() != 32) paths::point_length_failure(bytes.size());
    std::uint8_t copy[32];
    support::Wipe wipe_copy(copy);
    std::memcpy(copy, bytes.data(), 32);
    return Scalar::from_bits(copy);
}

void Operations::build_okvs(const ByteArg& public_key, Rows rows, Sink out) const {
    build_store(public_key, RowKeys(rows), false, out, kernels_);
}

void Operations::build_hiding_okvs(const ByteArg& public_key, Rows rows, Sink out) const {
    build_store(public_key, RowKeys(rows), true, out, kernels_);
}

namespace {

// The cells of rows [begin, end) in `store`, 64 bytes each, to out.
void decode_rows(const StoreView& store, const Rows& rows, std::size_t begin, std::size_t end, std::uint8_t* out) {
    for (std::size_t i = begin; i < end; ++i) store.decode(rows[i]).to_bytes(out + Ciphertext::kSize * (i - begin));
}

// A stream of whole cells, or the failure naming the argument.
std::span<const std::uint8_t> require_cells(const ByteArg& cells, std::string_view type_text,
                                            std::string_view name) {
    auto bytes = cells.require(type_text);
    if (bytes.size() % Ciphertext::kSize != 0) {
        support::fail("The " + std::string(name) + " object should hold whole 64-byte cells: its length, " +
                      std::to_string(bytes.size()) + ", is not a multiple of 64.");
    }
    return bytes;
}

// Queries whose cells are held at once by initiate_queries.
constexpr std::size_t kQueryChunk = 256;

}  // namespace

void Operations::cells_to_queries(const std::uint8_t* sender_cells, const std::uint8_t* receiver_cells,
                                  std::size_t count, const EdwardsPoint& swift_key, std::uint8_t* out) const {
    kernels_.queries(sender_cells, receiver_cells, count, swift_key, out);
}

void Operations::initiate_queries(Rows sender_data, Rows receiver_data, const ByteArg& sender_okvs,
                                  const ByteArg& receiver_okvs, const ByteArg& swift_pk, Sink out) const {
    const StoreView sender_store(sender_okvs.require(kSenderOkvsText));
    const StoreView receiver_store(receiver_okvs.require(kReceiverOkvsText));
    EdwardsPoint swift_key = read_public_key(swift_pk);
    const std::size_t queries = std::min(sender_data.size(), receiver_data.size());
    std::uint8_t* dst = out(128 * queries);
    // The lookups of a chunk of queries, then their cryptography, so that
    // only a chunk's cells are held.
    std::vector<std::uint8_t> cells(2 * Ciphertext::kSize * std::min(queries + 1, kQueryChunk));
    for (std::size_t begin = 0; begin < queries; begin += kQueryChunk) {
        const std::size_t end = std::min(begin + kQueryChunk, queries);
        std::uint8_t* receiver_cells = cells.data() + Ciphertext::kSize * (end - begin);
        decode_rows(sender_store, sender_data, begin, end, cells.data());
        decode_rows(receiver_store, receiver_data, begin, end, receiver_cells);
        cells_to_queries(cells.data(), receiver_cells, end - begin, swift_key, dst + 128 * begin);
    }
    // The sender row after the last query is looked up too, although no
    // receiver row pairs with it: an empty sender store fails there.
    if (sender_data.size() > queries) decode_rows(sender_store, sender_data, queries, queries + 1, cells.data());
}

void Operations::decode_okvs(Rows data, const ByteArg& okvs, Sink out) {
    const StoreView store(okvs.require(kOkvsText));
    decode_rows(store, data, 0, data.size(), out(Ciphertext::kSize * data.size()));
}

void Operations::queries_from_cells(const ByteArg& sender_cells, const ByteArg& receiver_cells,
                                    const ByteArg& swift_pk, Sink out) const {
    auto sender = require_cells(sender_cells, kSenderCellsText, "sender_cells");
    auto receiver = require_cells(receiver_cells, kReceiverCellsText, "receiver_cells");
    EdwardsPoint swift_key = read_public_key(swift_pk);
    const std::size_t queries = std::min(sender.size(), receiver.size()) / Ciphertext::kSize;
    cells_to_queries(sender.data(), receiver.data(), queries, swift_key, out(128 * queries));
}

void Operations::randomize(const ByteArg& ciphertexts, Sink out) const {
    auto stream = ciphertexts.require(kCiphertextsText);
    std::size_t entries = chunk_count(stream.size(), 128);
    std::uint8_t* dst = out(128 * (stream.size() / 128));
    kernels_.randomize(stream, dst, entries);
}

void Operations::combine(const ByteArg& sender_ciphertexts, const ByteArg& receiver_ciphertexts, Sink out) const {
    auto sender = sender_ciphertexts.require(kSenderCiphertextsText);
    auto receiver = receiver_ciphertexts.require(kReceiverCiphertextsText);
    std::size_t entries = std::min(chunk_count(sender.size(), 128), chunk_count(receiver.size(), 128));
    std::uint8_t* streams[4];
    for (auto& stream : streams) stream = out(32 * entries);
    kernels_.combine(sender, receiver, streams, entries);
}

namespace {

// 8^-1 mod l, little-endian.
constexpr std::uint8_t kInverseOfEight[32] = {0x79, 0x2f, 0xdc, 0xe2, 0x29, 0xe5, 0x06, 0x61, 0xd0, 0xda, 0x1c,
                                              0x7d, 0xb3, 0x9d, 0xd3, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06};

}  // namespace

// The key answers on the prime-order subgroup only: each point is multiplied
// by 8 (its small-order part dropped) and then by x / 8 mod l, made once
// here. For P of the prime-order subgroup that is x P, the same bytes as a
// plain multiplication by the key, unreduced keys included.
void Operations::decrypt(const ByteArg& points, const ByteArg& bank_secret_key, Sink out) const {
    const Scalar eighth_of_key =
        read_secret_key(bank_secret_key, kBankSecretKeyText) * Scalar::from_bits(kInverseOfEight);
    auto stream = points.require(kPointsText);
    std::size_t entries = chunk_count(stream.size(), 32);
    std::uint8_t* dst = out(32 * (stream.size() / 32));
    kernels_.decrypt(stream, eighth_of_key, dst, entries);
}

std::vector<std::uint8_t> Operations::finish(const ByteArg& sender_points, const ByteArg& receiver_points,
                                             const ByteArg& gamma_points, const ByteArg& delta_points,
                                             const ByteArg& swift_secret_key) const {
    Scalar key = read_secret_key(swift_secret_key, kSwiftSecretKeyText);
    auto sender = sender_points.require(kPointsText);
    auto receiver = receiver_points.require(kPointsText);
    auto gamma = gamma_points.require(kPointsText);
    auto delta = delta_points.require(kPointsText);
    std::size_t entries = std::min({chunk_count(sender.size(), 32), chunk_count(receiver.size(), 32),
                                    chunk_count(gamma.size(), 32), chunk_count(delta.size(), 32)});
    std::vector<std::uint8_t> matches(entries);
    kernels_.finish(paths::FinishStreams{sender, receiver, gamma, delta}, key, matches.data(), entries);
    return matches;
}

Operations dispatched_operations() { return Operations(paths::dispatched()); }

void build_okvs(const ByteArg& public_key, Rows rows, Sink out) {
    dispatched_operations().build_okvs(public_key, std::move(rows), out);
}

void build_hiding_okvs(const ByteArg& public_key, Rows rows, Sink out) {
    dispatched_operations().build_hiding_okvs(public_key, std::move(rows), out);
}

void initiate_queries(Rows sender_data, Rows receiver_data, const ByteArg& sender_okvs, const ByteArg& receiver_okvs,
                      const ByteArg& swift_pk, Sink out) {
    dispatched_operations().initiate_queries(std::move(sender_data), std::move(receiver_data), sender_okvs,
                                             receiver_okvs, swift_pk, out);
}

void decode_okvs(Rows data, const ByteArg& okvs, Sink out) { Operations::decode_okvs(std::move(data), okvs, out); }

void queries_from_cells(const ByteArg& sender_cells, const ByteArg& receiver_cells, const ByteArg& swift_pk,
                        Sink out) {
    dispatched_operations().queries_from_cells(sender_cells, receiver_cells, swift_pk, out);
}

void randomize(const ByteArg& ciphertexts, Sink out) { dispatched_operations().randomize(ciphertexts, out); }

void combine(const ByteArg& sender_ciphertexts, const ByteArg& receiver_ciphertexts, Sink out) {
    dispatched_operations().combine(sender_ciphertexts, receiver_ciphertexts, out);
}

void decrypt(const ByteArg& points, const ByteArg& bank_secret_key, Sink out) {
    dispatched_operations().decrypt(points, bank_secret_key, out);
}

std::vector<std::uint8_t> finish(const ByteArg& sender_points, const ByteArg& receiver_points,
                                 const ByteArg& gamma_points, const ByteArg& delta_points,
                                 const ByteArg& swift_secret_key) {
    return dispatched_operations().finish(sender_points, receiver_points, gamma_points, delta_points,
                                          swift_secret_key);
}

}  // namespace ostrelline
