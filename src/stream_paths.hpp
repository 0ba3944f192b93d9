// The per-entry work of the stream operations in two forms: the scalar path
// (operations.cpp), which is the reference, and the batch path
// (batch_paths.hpp), which runs a group of entries at once, one per lane of
// a batch backend of the group layer, and gives the same bytes. Arguments
// have been checked and the result allocated by the operations in
// operations.cpp; these functions only walk the entries.
//
// Failures: the batch path detects a failing entry (short chunk, point that
// does not decompress) per group and then runs that whole group
// through the scalar path, which stops at the first failing entry in stream
// order with its own message, exactly as a scalar run would have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "edwards25519/batch/backend.hpp"
#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "edwards25519/table.hpp"
#include "src/ciphertexts.hpp"

namespace ostrelline::paths {

using Bytes = std::span<const std::uint8_t>;

// The four point streams of `finish`, in argument order.
struct FinishStreams {
    Bytes sender, receiver, gamma, delta;
};

// Entries [begin, end) of each stream, scalar path. `decrypt` is given the
// key already divided by 8 mod l and writes eighth_of_key (8 P) per entry.
void decrypt_scalar(Bytes points, const edwards25519::Scalar& eighth_of_key, std::uint8_t* out, std::size_t begin,
                    std::size_t end);
void finish_scalar(const FinishStreams& streams, const edwards25519::Scalar& key, std::uint8_t* matches,
                   std::size_t begin, std::size_t end);
void randomize_scalar(Bytes ciphertexts, std::uint8_t* out, std::size_t begin, std::size_t end);
void combine_scalar(Bytes sender, Bytes receiver, std::uint8_t* const out[4], std::size_t begin, std::size_t end);
// Query i of initiate_queries from the 64-byte cells i of both cell streams,
// to out + 128 i (Ciphertext::add_and_randomize).
void queries_scalar(const std::uint8_t* sender_cells, const std::uint8_t* receiver_cells,
                    const edwards25519::EdwardsPoint& key, std::uint8_t* out, std::size_t begin, std::size_t end);

// The batch path of one backend of the group layer (edwards25519/batch),
// entries [0, entries) of each stream. Where an operation draws one scalar
// per entry, `scalars` (when not null) gives entry i's scalar instead, so
// that tests can hold both paths to the same draws. Built from the template
// of batch_paths.hpp in that backend's translation unit; only plain data
// crosses.
struct StreamKernels {
    edwards25519::batch::Isa isa;
    std::size_t lanes;

    void (*decrypt)(Bytes points, const edwards25519::Scalar& eighth_of_key, std::uint8_t* out, std::size_t entries);
    void (*finish)(const FinishStreams& streams, const edwards25519::Scalar& key, std::uint8_t* matches,
                   std::size_t entries);
    void (*randomize)(Bytes ciphertexts, std::uint8_t* out, std::size_t entries, const edwards25519::Scalar* scalars);
    void (*combine)(Bytes sender, Bytes receiver, std::uint8_t* const out[4], std::size_t entries);

    // `Ciphertext::zero` for `count` rows under the key `key`, to out[0..count):
    // fresh scalars a group at a time through x B and its uniform point
    // bytes; the survivors, a group at a time, through x K. Each result has
    // its own scalar, the first whose two points both converted. `key` must
    // not be of order 1 or 2 (no multiple of it would ever convert). With
    // `hiding`, each result is as `Ciphertext::hiding_zero` makes it: a random
    // 8-torsion point added to each point and a representative of random
    // parity written.
    void (*zero)(const edwards25519::EdwardsPoint& key, std::size_t count, bool hiding, Ciphertext* out);

    // queries_scalar's queries for entries [0, entries), a group at a time.
    // The decoded points are cleared of small-order components as on the
    // scalar path.
    void (*queries)(const std::uint8_t* sender_cells, const std::uint8_t* receiver_cells, std::size_t entries,
                    const edwards25519::EdwardsPoint& key, std::uint8_t* out, const edwards25519::Scalar* scalars);

    // point_conversion's two conversions, lane i of each argument at index i
    // (`lanes` of them); the first returns the lanes that have uniform bytes,
    // the bits of `choice` being the choice bits.
    std::uint32_t (*point_to_uniform_bytes)(const edwards25519::EdwardsPoint* points, std::uint32_t choice,
                                            std::uint8_t* const* out);
    void (*uniform_bytes_to_point)(const std::uint8_t* const* bytes, edwards25519::EdwardsPoint* out);
};

// The stream kernels of a backend that edwards25519::batch::supported() accepts.
const StreamKernels& stream_kernels(edwards25519::batch::Isa isa);

}  // namespace ostrelline::paths
