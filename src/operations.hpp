// The protocol operations on plain C++ types. The module frame resolves the
// Python side (argument binding, row lists, result objects) and calls these;
// nothing here touches interpreter objects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "src/data_rows.hpp"

namespace ostrelline {

struct Ciphertext;

// A byte-string argument as the frame hands it over: the buffer of a `bytes`
// object, read in place, or a refused object that can describe itself. The
// type check is made by the operation, at the point where it reads the
// argument, so that failures come in the operation's own order.
struct ByteArg {
    bool is_bytes = false;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    // For a refused object: its repr() and its type's name, produced on demand.
    const void* object = nullptr;
    std::string (*describe)(const void* object) = nullptr;
    std::string (*type_name)(const void* object) = nullptr;

    // The bytes, or an internal failure "<text>: PyDowncastError { from: <repr>, to: \"PyBytes\" }".
    std::span<const std::uint8_t> require(std::string_view type_text) const;
    // As require, for a secret: a refused object is described as
    // "<redacted TYPE>", never by its repr(), which could hold the secret
    // (a key given as bytearray, hex string or list of ints).
    std::span<const std::uint8_t> require_secret(std::string_view type_text) const;

    static ByteArg of(std::span<const std::uint8_t> bytes) {
        ByteArg arg;
        arg.is_bytes = true;
        arg.data = bytes.data();
        arg.size = bytes.size();
        return arg;
    }
};

// Where an operation writes a result byte string: the frame allocates the
// final object and the operation fills it in place. Allocation failure throws.
struct Sink {
    void* context = nullptr;
    std::uint8_t* (*allocate)(void* context, std::size_t size) = nullptr;

    std::uint8_t* operator()(std::size_t size) const { return allocate(context, size); }
};

inline constexpr std::string_view kPublicKeyText = "The public key object should be of type `bytes`.";
inline constexpr std::string_view kSenderOkvsText = "The sender_okvs object should be of type `bytes`.";
inline constexpr std::string_view kReceiverOkvsText = "The receiver_okvs object should be of type `bytes`.";
inline constexpr std::string_view kCiphertextsText = "The ciphertexts object should be of type `bytes`.";
inline constexpr std::string_view kSenderCiphertextsText =
    "The sender_ciphertexts object should be of type `bytes`.";
inline constexpr std::string_view kReceiverCiphertextsText =
    "The receiver_ciphertexts object should be of type `bytes`.";
inline constexpr std::string_view kBankSecretKeyText = "The bank_secret_key object should be of type `bytes`.";
inline constexpr std::string_view kPointsText = "The points object should be of type `bytes`.";
inline constexpr std::string_view kSwiftSecretKeyText = "The swift_secret_key object should be of type `bytes`.";
inline constexpr std::string_view kOkvsText = "The okvs object should be of type `bytes`.";
inline constexpr std::string_view kSenderCellsText = "The sender_cells object should be of type `bytes`.";
inline constexpr std::string_view kReceiverCellsText = "The receiver_cells object should be of type `bytes`.";

struct KeyPair {
    std::array<std::uint8_t, 32> public_key;
    std::array<std::uint8_t, 32> secret_key;
};

namespace paths {
struct Kernels;
}

KeyPair key_gen();
edwards25519::EdwardsPoint read_public_key(const ByteArg& public_key);
edwards25519::Scalar read_secret_key(const ByteArg& secret_key, std::string_view type_text);

// The operations that walk entries, on the kernels of one backend
// (src/paths/kernels.hpp). The functions below them run them on the backend
// that dispatch chooses; tests and benchmarks name one to compare them. All
// backends give the same bytes and the same failures; only the order in
// which random values are drawn differs.
class Operations {
public:
    explicit Operations(const paths::Kernels& kernels) noexcept : kernels_(kernels) {}

    void build_okvs(const ByteArg& public_key, Rows rows, Sink out) const;
    // As build_okvs, with the same checks, failures and byte format, but every
    // stored value made with `hiding` (paths::Kernels::zero): the store's
    // bytes at a held row are distributed like those at any other row. Held
    // rows match only on a query side that clears small-order components, as
    // initiate_queries does.
    void build_hiding_okvs(const ByteArg& public_key, Rows rows, Sink out) const;
    void initiate_queries(Rows sender_data, Rows receiver_data, const ByteArg& sender_okvs,
                          const ByteArg& receiver_okvs, const ByteArg& swift_pk, Sink out) const;
    // initiate_queries in two steps, each with its checks and failures: the
    // lookups (decode_okvs: the 64-byte cell of every row in one store, in
    // row order, the store read as initiate_queries reads its stores) and
    // the cryptography (queries_from_cells: query i from cell i of each
    // stream, for i below the shorter stream's cell count). The two in
    // sequence give what initiate_queries gives: it is made of them.
    static void decode_okvs(Rows data, const ByteArg& okvs, Sink out);
    void queries_from_cells(const ByteArg& sender_cells, const ByteArg& receiver_cells, const ByteArg& swift_pk,
                            Sink out) const;
    void randomize(const ByteArg& ciphertexts, Sink out) const;
    // Allocates the four component streams through `out`, in component order.
    void combine(const ByteArg& sender_ciphertexts, const ByteArg& receiver_ciphertexts, Sink out) const;
    // Entry i of the result is (x / 8 mod l) (8 P_i), x the secret key as
    // read_secret_key reads it: x P_i for every point of the prime-order
    // subgroup, and for a point with a small-order component the answer for
    // its prime-order part, so that no choice of points tells anything of x
    // mod 8.
    void decrypt(const ByteArg& points, const ByteArg& bank_secret_key, Sink out) const;
    std::vector<std::uint8_t> finish(const ByteArg& sender_points, const ByteArg& receiver_points,
                                     const ByteArg& gamma_points, const ByteArg& delta_points,
                                     const ByteArg& swift_secret_key) const;

private:
    // The cells of a chunk of queries to their queries.
    void cells_to_queries(const std::uint8_t* sender_cells, const std::uint8_t* receiver_cells, std::size_t count,
                          const edwards25519::EdwardsPoint& swift_key, std::uint8_t* out) const;

    const paths::Kernels& kernels_;
};

// The operations on the backend dispatch chooses (paths::dispatched()).
Operations dispatched_operations();

void build_okvs(const ByteArg& public_key, Rows rows, Sink out);
void build_hiding_okvs(const ByteArg& public_key, Rows rows, Sink out);
void initiate_queries(Rows sender_data, Rows receiver_data, const ByteArg& sender_okvs,
                      const ByteArg& receiver_okvs, const ByteArg& swift_pk, Sink out);
void decode_okvs(Rows data, const ByteArg& okvs, Sink out);
void queries_from_cells(const ByteArg& sender_cells, const ByteArg& receiver_cells, const ByteArg& swift_pk,
                        Sink out);
void randomize(const ByteArg& ciphertexts, Sink out);
void combine(const ByteArg& sender_ciphertexts, const ByteArg& receiver_ciphertexts, Sink out);
void decrypt(const ByteArg& points, const ByteArg& bank_secret_key, Sink out);
std::vector<std::uint8_t> finish(const ByteArg& sender_points, const ByteArg& receiver_points,
                                 const ByteArg& gamma_points, const ByteArg& delta_points,
                                 const ByteArg& swift_secret_key);

}  // namespace ostrelline
