// The value a bank's store holds for each of its rows: an ElGamal-style
// encryption of the group identity, (x B, x K) for a random scalar x and the
// recipient's public key K, with both points as uniform point bytes so that
// every 64-byte pattern (random filler, exclusive-or of cells) reads as a
// ciphertext.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "edwards25519/point.hpp"
#include "edwards25519/table.hpp"
#include "okvs/bits.hpp"
#include "src/wide_ciphertexts.hpp"

namespace ostrelline {

struct Ciphertext {
    static constexpr std::size_t kSize = 64;

    std::array<std::uint8_t, 32> c1, c2;

    // A fresh encryption of the identity under the key whose fixed-base table
    // is given: new scalars x until both x B and x K have uniform point bytes.
    static Ciphertext zero(const edwards25519::EdwardsBasepointTable& public_key_table);

    // A fresh encryption of the identity whose 64 bytes are distributed like
    // random bytes, so that a store of them does not tell which rows it holds:
    // (x B + T1, x K + T2) with T1, T2 independent uniform points of the
    // 8-torsion subgroup, retried like `zero` until both have uniform point
    // bytes, each written with a representative of random parity. Decrypts
    // like `zero` only on a query side that clears small-order components
    // (add_and_randomize does).
    static Ciphertext hiding_zero(const edwards25519::EdwardsBasepointTable& public_key_table);

    // With (A1, A2) and (B1, B2) the points of this and `other` multiplied by
    // the cofactor 8, and a fresh scalar r: (r A1, r B1, r B, r (A2 + B2 +
    // key)). Clearing the small-order components makes held rows of both
    // kinds of store match and keeps small-order points (which would tell the
    // banks which rows a store held, or let a forged store match every row)
    // out of the result. A cleared point that is the identity (only a
    // degenerate or forged cell gives one) is replaced by a fresh random
    // point of the prime-order subgroup, so that the query cannot match.
    WideCiphertext add_and_randomize(const Ciphertext& other, const edwards25519::EdwardsPoint& key) const;

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

// 8 p for a decoded store point, or a fresh random point of the prime-order
// subgroup when 8 p is the identity.
edwards25519::EdwardsPoint clear_cofactor(const edwards25519::EdwardsPoint& p);

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
