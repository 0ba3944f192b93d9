// The query result that travels between the parties: four edwards25519
// points in the standard 32-byte compressed form (sender, receiver, gamma,
// delta), 128 bytes with no header. For genuine values
// delta = k_s * sender + k_r * receiver + k * gamma, and both operations here
// (scaling every component by one scalar, component-wise addition) keep it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"

namespace ostrelline {

// A fresh scalar: 64 bytes from the calling thread's generator, read as a
// 512-bit little-endian integer and reduced mod l. The buffer is wiped.
edwards25519::Scalar random_scalar();

// Fails with "range end index END out of range for slice of length SIZE"
// when a slice of `size` bytes is too short for a field ending at `end`.
void require_range_end(std::size_t end, std::size_t size);

struct WideCiphertext {
    static constexpr std::size_t kSize = 128;

    edwards25519::CompressedEdwardsY sender, receiver, gamma, delta;

    // Every component times one fresh random scalar. A component that does
    // not decompress fails with "called `Option::unwrap()` on a `None` value"
    // (components checked in field order).
    WideCiphertext randomize() const;
    // The same with a given scalar.
    WideCiphertext randomize_with(const edwards25519::Scalar& t) const;
    // Component-wise sum; decompression failures as for `randomize`, each
    // component of this value checked before the same one of `other`.
    WideCiphertext sum(const WideCiphertext& other) const;

    // The compressed forms of four points (the same bytes as `compress` of
    // each), sharing one field inversion between them.
    static WideCiphertext from_points(const edwards25519::EdwardsPoint& sender,
                                      const edwards25519::EdwardsPoint& receiver,
                                      const edwards25519::EdwardsPoint& gamma,
                                      const edwards25519::EdwardsPoint& delta);

    // sender, receiver, gamma, delta: 128 bytes.
    void to_bytes(std::uint8_t* out) const;
    std::array<std::uint8_t, kSize> to_bytes() const;
    // Copies the first 128 bytes (the rest is ignored); nothing is
    // decompressed. Fails with the message of `require_range_end` for the
    // first of the end offsets 32, 64, 96, 128 beyond the input.
    static WideCiphertext from_bytes(std::span<const std::uint8_t> bytes);
};

}  // namespace ostrelline
