// The value a bank's store holds for each of its rows: an ElGamal-style
// encryption of the group identity, (x B, x K) for a random scalar x and the
// recipient's public key K, with both points as uniform point bytes so that
// every 64-byte pattern (random filler, exclusive-or of cells) reads as a
// ciphertext. The lane path makes them (paths::Kernels::zero) and turns
// pairs of them into queries (paths::Kernels::queries).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "edwards25519/point.hpp"
#include "edwards25519/scalar.hpp"
#include "okvs/bits.hpp"

namespace ostrelline {

struct Ciphertext {
    static constexpr std::size_t kSize = 64;

    std::array<std::uint8_t, 32> c1, c2;

    // 32 random bytes for c1, then 32 more for c2; no conversion involved.
    static Ciphertext random();

    // c1 then c2: 64 bytes.
    void to_bytes(std::uint8_t* out) const;
    std::array<std::uint8_t, kSize> to_bytes() const;
    // c1 from bytes 0..31, c2 from 32..63, the rest ignored; shorter inputs
    // fail with "range end index 32 (or 64) out of range for slice of length N".
    static Ciphertext from_bytes(std::span<const std::uint8_t> bytes);

    // Byte-wise exclusive-or of both halves.
    friend Ciphertext operator^(const Ciphertext& a, const Ciphertext& b) noexcept;
};

// A uniform point of the 8-torsion subgroup from the calling thread's generator.
edwards25519::EdwardsPoint random_torsion_point();

using edwards25519::random_scalar;

// Fails with "range end index END out of range for slice of length SIZE"
// when a slice of `size` bytes is too short for a field ending at `end`.
void require_range_end(std::size_t end, std::size_t size);

}  // namespace ostrelline

template <>
struct okvs::bits::Traits<ostrelline::Ciphertext> {
    static constexpr std::size_t width = ostrelline::Ciphertext::kSize;
    static void to_bytes(const ostrelline::Ciphertext& value, std::uint8_t* out) { value.to_bytes(out); }
    static ostrelline::Ciphertext from_bytes(std::span<const std::uint8_t> in) {
        return ostrelline::Ciphertext::from_bytes(in);
    }
    static ostrelline::Ciphertext random() { return ostrelline::Ciphertext::random(); }
};

static_assert(okvs::bits::Bits<ostrelline::Ciphertext>);
