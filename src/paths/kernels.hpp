// The per-entry work of the stream operations, written once as the lane
// path (lane_paths.hpp) over any lane field and compiled once per backend
// (one source file per instruction set in this folder): a group of entries
// at a time, one per lane. The reference is the same path on the one-lane
// field (the portable backend); every backend gives its bytes and failures.
// Arguments have been checked and the results allocated by the operations
// (operations.cpp); these functions only walk the entries.
//
// Failures: where an entry cannot be read (a short last chunk, a point that
// does not decompress), the lane path writes the results of the entries
// before it, as a one-at-a-time walk would have, and fails with that
// entry's message, checks taken in the order a one-at-a-time walk takes
// them.
//
// The scalars of randomize and queries are drawn inside the lane path, one
// fresh uniform scalar per entry; no caller can choose them. (The tests
// that need chosen scalars build tables of their own from the same lane
// path: src/tests/given_scalars/.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "edwards25519/batch/backend.hpp"
#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "src/ciphertexts.hpp"

namespace ostrelline::paths {

using Bytes = std::span<const std::uint8_t>;

// The four point streams of `finish`, in argument order.
struct FinishStreams {
    Bytes sender, receiver, gamma, delta;
};

// One backend's lane path, entries [0, entries) of each stream. Only plain
// data crosses.
struct Kernels {
    edwards25519::batch::Isa isa;
    std::size_t lanes;

    // eighth_of_key (8 P) per point: `decrypt` is given the key already
    // divided by 8 mod l.
    void (*decrypt)(Bytes points, const edwards25519::Scalar& eighth_of_key, std::uint8_t* out, std::size_t entries);
    // Whether delta = sender + receiver + key gamma, one byte per entry.
    void (*finish)(const FinishStreams& streams, const edwards25519::Scalar& key, std::uint8_t* matches,
                   std::size_t entries);
    // Every component of an entry times one fresh scalar.
    void (*randomize)(Bytes ciphertexts, std::uint8_t* out, std::size_t entries);
    // The component-wise sums of two wide streams, component k to out[k].
    void (*combine)(Bytes sender, Bytes receiver, std::uint8_t* const out[4], std::size_t entries);

    // `count` fresh encryptions of the identity under `key` to
    // out[0..count): (x B, x K) as uniform point bytes, each with its own
    // scalar x, the first whose two points both converted. `key` must not
    // be of order 1 or 2 (no multiple of it would ever convert). With
    // `hiding`, a random 8-torsion point is added to each point and a
    // representative of random parity written, so that the 64 bytes are
    // distributed like random bytes.
    void (*zero)(const edwards25519::EdwardsPoint& key, std::size_t count, bool hiding, Ciphertext* out);

    // The queries of initiate_queries from 64-byte cells, query i from cell
    // i of each cell stream: with (A1, A2) and (B1, B2) the points of both
    // cells multiplied by the cofactor 8 and a fresh scalar r,
    // (r A1, r B1, r B, r (A2 + B2 + key)).
    // Clearing the small-order components makes held rows of both kinds of
    // store match and keeps small-order points (which would tell the banks
    // which rows a store held, or let a forged store match every row) out
    // of the result. A cleared point that is the identity (only a
    // degenerate or forged cell gives one) is replaced by a fresh random
    // point of the prime-order subgroup, so that the query cannot match.
    void (*queries)(const std::uint8_t* sender_cells, const std::uint8_t* receiver_cells, std::size_t entries,
                    const edwards25519::EdwardsPoint& key, std::uint8_t* out);
};

// The kernels of a backend that edwards25519::batch::supported() accepts.
const Kernels& kernels(edwards25519::batch::Isa isa);
// The kernels of the backend the operations take: edwards25519::batch::best().
const Kernels& dispatched();

// The failures of an entry that cannot be read, as a one-at-a-time walk
// raises them: a 32-byte point entry of another length; a wide entry
// shorter than 128 bytes (at the first of the ends 32, 64, 96, 128 beyond
// it); a point that does not decompress.
[[noreturn]] void point_length_failure(std::size_t length);
[[noreturn]] void wide_length_failure(std::size_t length);
[[noreturn]] void decompression_failure();

}  // namespace ostrelline::paths
