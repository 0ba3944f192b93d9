#include "src/operations.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "edwards25519/batch/backend.hpp"
#include "edwards25519/table.hpp"
#include "okvs/src/schemes/distinct.hpp"
#include "okvs/src/schemes/paxos.hpp"
#include "src/ciphertexts.hpp"
#include "src/stream_paths.hpp"
#include "src/wide_ciphertexts.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"
#include "support/wipe.hpp"

namespace ostrelline {

using edwards25519::CompressedEdwardsY;
using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using Store = okvs::schemes::paxos::Paxos<Ciphertext>;
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

[[noreturn]] void slice_length_mismatch(std::size_t length) {
    support::fail("source slice length (" + std::to_string(length) + ") does not match destination slice length (32)");
}

// Entry `index` of a stream cut into `width`-byte pieces; the last piece may be short.
std::span<const std::uint8_t> chunk(std::span<const std::uint8_t> stream, std::size_t index, std::size_t width) {
    std::size_t begin = index * width;
    return stream.subspan(begin, std::min(width, stream.size() - begin));
}

std::size_t chunk_count(std::size_t length, std::size_t width) { return (length + width - 1) / width; }

// A 32-byte point entry of a point stream: exact length, then decompression.
EdwardsPoint read_point(std::span<const std::uint8_t> piece) {
    if (piece.size() != 32) slice_length_mismatch(piece.size());
    CompressedEdwardsY compressed;
    std::memcpy(compressed.bytes.data(), piece.data(), 32);
    auto point = compressed.decompress();
    if (!point) support::fail(support::kUnwrapNone);
    return *point;
}

void write_point(const EdwardsPoint& point, std::uint8_t* out) {
    auto compressed = point.compress();
    std::memcpy(out, compressed.bytes.data(), 32);
}

// The batch kernels that serve this call, or none for the scalar path.
const paths::StreamKernels* batch_kernels(Backend backend) {
    namespace b = edwards25519::batch;
    b::Isa isa = b::best();
    switch (backend) {
        case Backend::scalar: return nullptr;
        case Backend::automatic:
            if (isa == b::Isa::portable) return nullptr;
            break;
        case Backend::batch: break;
        case Backend::portable: isa = b::Isa::portable; break;
        case Backend::avx2: isa = b::Isa::avx2; break;
        case Backend::avx512f: isa = b::Isa::avx512f; break;
        case Backend::ifma: isa = b::Isa::ifma; break;
    }
    return b::supported(isa) ? &paths::stream_kernels(isa) : nullptr;
}

}  // namespace

namespace paths {

void decrypt_scalar(Bytes points, const Scalar& eighth_of_key, std::uint8_t* out, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        write_point(read_point(chunk(points, i, 32)).mul_cleared(eighth_of_key), out + 32 * i);
    }
}

void finish_scalar(const FinishStreams& streams, const Scalar& key, std::uint8_t* matches, std::size_t begin,
                   std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        EdwardsPoint s = read_point(chunk(streams.sender, i, 32));
        EdwardsPoint r = read_point(chunk(streams.receiver, i, 32));
        EdwardsPoint g = read_point(chunk(streams.gamma, i, 32));
        EdwardsPoint d = read_point(chunk(streams.delta, i, 32));
        EdwardsPoint expected = (s + r) + g.mul(key);
        matches[i] = d == expected ? 1 : 0;
    }
}

void randomize_scalar(Bytes ciphertexts, std::uint8_t* out, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        WideCiphertext entry = WideCiphertext::from_bytes(chunk(ciphertexts, i, 128));
        entry.randomize().to_bytes(out + 128 * i);
    }
}

void queries_scalar(const std::uint8_t* sender_cells, const std::uint8_t* receiver_cells, const EdwardsPoint& key,
                    std::uint8_t* out, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        const Ciphertext sender = Ciphertext::from_bytes({sender_cells + Ciphertext::kSize * i, Ciphertext::kSize});
        const Ciphertext receiver =
            Ciphertext::from_bytes({receiver_cells + Ciphertext::kSize * i, Ciphertext::kSize});
        sender.add_and_randomize(receiver, key).to_bytes(out + 128 * i);
    }
}

void combine_scalar(Bytes sender, Bytes receiver, std::uint8_t* const out[4], std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        WideCiphertext a = WideCiphertext::from_bytes(chunk(sender, i, 128));
        WideCiphertext b = WideCiphertext::from_bytes(chunk(receiver, i, 128));
        WideCiphertext s = a.sum(b);
        std::memcpy(out[0] + 32 * i, s.sender.bytes.data(), 32);
        std::memcpy(out[1] + 32 * i, s.receiver.bytes.data(), 32);
        std::memcpy(out[2] + 32 * i, s.gamma.bytes.data(), 32);
        std::memcpy(out[3] + 32 * i, s.delta.bytes.data(), 32);
    }
}

}  // namespace paths

KeyPair key_gen() {
    std::uint8_t wide[64] = {};
    support::Wipe wipe_wide(wide);
    support::random_bytes(wide);
    Scalar x = Scalar::from_bytes_mod_order_wide(wide);
    KeyPair pair;
    pair.public_key = edwards25519::ED25519_BASEPOINT_TABLE().mul(x).compress().bytes;
    pair.secret_key = x.to_bytes();
    return pair;
}

EdwardsPoint read_public_key(const ByteArg& public_key) {
    auto bytes = public_key.require(kPublicKeyText);
    if (bytes.size() != 32) slice_length_mismatch(bytes.size());
    CompressedEdwardsY compressed;
    std::memcpy(compressed.bytes.data(), bytes.data(), 32);
    auto point = compressed.decompress();
    if (!point) support::fail("The public key was not a valid curve point.");
    return *point;
}

Scalar read_secret_key(const ByteArg& secret_key, std::string_view type_text) {
    auto bytes = secret_key.require_secret(type_text);
    if (bytes.size() != 32) slice_length_mismatch(bytes.size());
    std::uint8_t copy[32];
    support::Wipe wipe_copy(copy);
    std::memcpy(copy, bytes.data(), 32);
    return Scalar::from_bits(copy);
}

namespace {

// Both kinds of store: `hiding` selects Ciphertext::hiding_zero over zero.
void build_store(const ByteArg& public_key, Rows rows, Sink out, Backend backend, bool hiding) {
    EdwardsPoint key = read_public_key(public_key);
    // Every multiple of the identity or of the point of order 2 is one of those
    // two points, neither of which has uniform point bytes: encrypting under
    // such a key would retry forever.
    if (!rows.empty() && key.double_point().is_identity().declassify()) {
        support::fail("The public key is the identity or the point of order 2: none of its multiples has uniform "
                      "point bytes, so it can encrypt nothing.");
    }
    // Refuse repeated rows before the expensive encryptions rather than after.
    okvs::schemes::require_distinct_keys(std::span<const DataRow>(rows));
    std::vector<std::pair<DataRow, Ciphertext>> pairs;
    pairs.reserve(rows.size());
    if (const paths::StreamKernels* batch = batch_kernels(backend)) {
        std::vector<Ciphertext> zeros(rows.size());
        batch->zero(key, rows.size(), hiding, zeros.data());
        for (std::size_t i = 0; i < rows.size(); ++i) pairs.emplace_back(std::move(rows[i]), zeros[i]);
    } else {
        edwards25519::EdwardsBasepointTable table(key);
        for (DataRow& row : rows) {
            pairs.emplace_back(std::move(row), hiding ? Ciphertext::hiding_zero(table) : Ciphertext::zero(table));
        }
    }
    Rows().swap(rows);
    Store store = Store::encode<DataRow>(std::span<const std::pair<DataRow, Ciphertext>>(pairs));
    decltype(pairs)().swap(pairs);
    store.to_bytes(out(store.serialized_size()));
}

}  // namespace

void build_okvs(const ByteArg& public_key, Rows rows, Sink out, Backend backend) {
    build_store(public_key, std::move(rows), out, backend, false);
}

void build_hiding_okvs(const ByteArg& public_key, Rows rows, Sink out, Backend backend) {
    build_store(public_key, std::move(rows), out, backend, true);
}

namespace {

// The cells of rows [begin, end) in `store`, 64 bytes each, to out.
void decode_rows(const StoreView& store, const Rows& rows, std::size_t begin, std::size_t end, std::uint8_t* out) {
    for (std::size_t i = begin; i < end; ++i) store.decode(rows[i]).to_bytes(out + Ciphertext::kSize * (i - begin));
}

// Query i from cell i of each cell stream, for i < count, to out + 128 i.
void cells_to_queries(const std::uint8_t* sender_cells, const std::uint8_t* receiver_cells, std::size_t count,
                      const EdwardsPoint& swift_key, std::uint8_t* out, Backend backend) {
    if (const paths::StreamKernels* batch = batch_kernels(backend)) {
        batch->queries(sender_cells, receiver_cells, count, swift_key, out, nullptr);
    } else {
        paths::queries_scalar(sender_cells, receiver_cells, swift_key, out, 0, count);
    }
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

void initiate_queries(Rows sender_data, Rows receiver_data, const ByteArg& sender_okvs, const ByteArg& receiver_okvs,
                      const ByteArg& swift_pk, Sink out, Backend backend) {
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
        cells_to_queries(cells.data(), receiver_cells, end - begin, swift_key, dst + 128 * begin, backend);
    }
    // The sender row after the last query is looked up too, although no
    // receiver row pairs with it: an empty sender store fails there.
    if (sender_data.size() > queries) decode_rows(sender_store, sender_data, queries, queries + 1, cells.data());
}

void decode_okvs(Rows data, const ByteArg& okvs, Sink out) {
    const StoreView store(okvs.require(kOkvsText));
    decode_rows(store, data, 0, data.size(), out(Ciphertext::kSize * data.size()));
}

void queries_from_cells(const ByteArg& sender_cells, const ByteArg& receiver_cells, const ByteArg& swift_pk,
                        Sink out, Backend backend) {
    auto sender = require_cells(sender_cells, kSenderCellsText, "sender_cells");
    auto receiver = require_cells(receiver_cells, kReceiverCellsText, "receiver_cells");
    EdwardsPoint swift_key = read_public_key(swift_pk);
    const std::size_t queries = std::min(sender.size(), receiver.size()) / Ciphertext::kSize;
    cells_to_queries(sender.data(), receiver.data(), queries, swift_key, out(128 * queries), backend);
}

void randomize(const ByteArg& ciphertexts, Sink out, Backend backend) {
    auto stream = ciphertexts.require(kCiphertextsText);
    std::size_t entries = chunk_count(stream.size(), 128);
    std::uint8_t* dst = out(128 * (stream.size() / 128));
    if (const paths::StreamKernels* batch = batch_kernels(backend)) {
        batch->randomize(stream, dst, entries, nullptr);
    } else {
        paths::randomize_scalar(stream, dst, 0, entries);
    }
}

void combine(const ByteArg& sender_ciphertexts, const ByteArg& receiver_ciphertexts, Sink out, Backend backend) {
    auto sender = sender_ciphertexts.require(kSenderCiphertextsText);
    auto receiver = receiver_ciphertexts.require(kReceiverCiphertextsText);
    std::size_t entries = std::min(chunk_count(sender.size(), 128), chunk_count(receiver.size(), 128));
    std::uint8_t* streams[4];
    for (auto& stream : streams) stream = out(32 * entries);
    if (const paths::StreamKernels* batch = batch_kernels(backend)) {
        batch->combine(sender, receiver, streams, entries);
    } else {
        paths::combine_scalar(sender, receiver, streams, 0, entries);
    }
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
void decrypt(const ByteArg& points, const ByteArg& bank_secret_key, Sink out, Backend backend) {
    const Scalar eighth_of_key =
        read_secret_key(bank_secret_key, kBankSecretKeyText) * Scalar::from_bits(kInverseOfEight);
    auto stream = points.require(kPointsText);
    std::size_t entries = chunk_count(stream.size(), 32);
    std::uint8_t* dst = out(32 * (stream.size() / 32));
    if (const paths::StreamKernels* batch = batch_kernels(backend)) {
        batch->decrypt(stream, eighth_of_key, dst, entries);
    } else {
        paths::decrypt_scalar(stream, eighth_of_key, dst, 0, entries);
    }
}

std::vector<std::uint8_t> finish(const ByteArg& sender_points, const ByteArg& receiver_points,
                                 const ByteArg& gamma_points, const ByteArg& delta_points,
                                 const ByteArg& swift_secret_key, Backend backend) {
    Scalar key = read_secret_key(swift_secret_key, kSwiftSecretKeyText);
    auto sender = sender_points.require(kPointsText);
    auto receiver = receiver_points.require(kPointsText);
    auto gamma = gamma_points.require(kPointsText);
    auto delta = delta_points.require(kPointsText);
    std::size_t entries = std::min({chunk_count(sender.size(), 32), chunk_count(receiver.size(), 32),
                                    chunk_count(gamma.size(), 32), chunk_count(delta.size(), 32)});
    std::vector<std::uint8_t> matches(entries);
    const paths::FinishStreams streams{sender, receiver, gamma, delta};
    if (const paths::StreamKernels* batch = batch_kernels(backend)) {
        batch->finish(streams, key, matches.data(), entries);
    } else {
        paths::finish_scalar(streams, key, matches.data(), 0, entries);
    }
    return matches;
}

}  // namespace ostrelline
