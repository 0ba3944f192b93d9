// The scalar layer's fixed-base table entries. The point formulas themselves
// are the batch engine's (batch/engine.hpp), run on one lane of this field
// (batch/scalar_field.hpp); what stays here is how the windowed tables of
// table.cpp store and gather their entries.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "edwards25519/batch/engine.hpp"
#include "edwards25519/batch/scalar_field.hpp"
#include "edwards25519/bytes.hpp"
#include "edwards25519/fe51.hpp"

namespace edwards25519::detail {

using Lane = batch::ScalarField;
using AffineNiels = batch::engine::AffineNiels<Lane>;

// An affine Niels form as three canonical 255-bit values in 96 bytes, the
// table entry: a quarter less to pass over per gather than the limbs.
struct PackedAffineNiels {
    std::uint64_t w[12];

    static PackedAffineNiels pack(const AffineNiels& n) noexcept {
        PackedAffineNiels out{};
        const FieldElement* coordinates[3] = {&n.ypx, &n.ymx, &n.xy2d};
        for (int c = 0; c < 3; ++c) {
            const auto bytes = coordinates[c]->to_bytes();
            for (int k = 0; k < 4; ++k) out.w[4 * c + k] = load_le64(bytes.data() + 8 * k);
        }
        return out;
    }
    AffineNiels unpack() const noexcept {
        const auto field = [&](int c) { return fe::from_words(w[4 * c], w[4 * c + 1], w[4 * c + 2], w[4 * c + 3]); };
        return {field(0), field(1), field(2)};
    }
};

// Equality of small public or secret integers as a Choice, for x, y < 2^63.
inline Choice ct_eq_u64(std::uint64_t x, std::uint64_t y) noexcept {
    const std::uint64_t diff = x ^ y;
    return Choice::from_bit(static_cast<std::uint8_t>(((diff | (0 - diff)) >> 63) ^ 1));
}

using u64x2 = std::uint64_t __attribute__((vector_size(16)));

// entries[j] = (j+1) P; returns digit * P for |digit| <= N. Every entry is
// read and ORed in under a mask that is all ones for the chosen one only, so
// neither a branch nor the memory touched depends on the digit. The entries
// are gathered as raw 16-byte vectors; digit 0 gives the identity (1, 1, 0).
template <std::size_t N>
inline AffineNiels select_multiple(const PackedAffineNiels* entries, int digit) noexcept {
    constexpr std::size_t kVectors = sizeof(PackedAffineNiels) / 16;
    const int sign_mask = digit >> 31;  // -1 when negative
    const std::uint64_t magnitude = static_cast<std::uint64_t>((digit ^ sign_mask) - sign_mask);
    u64x2 acc[kVectors] = {};
    for (std::size_t j = 0; j < N; ++j) {
        const std::uint64_t m = ct_eq_u64(magnitude, j + 1).mask();
        const u64x2 mv = {m, m};
        const auto* src = reinterpret_cast<const unsigned char*>(&entries[j]);
        for (std::size_t k = 0; k < kVectors; ++k) {
            u64x2 e;
            std::memcpy(&e, src + 16 * k, 16);
            acc[k] |= e & mv;
        }
    }
    PackedAffineNiels gathered;
    std::memcpy(&gathered, acc, sizeof gathered);
    const std::uint64_t identity = 1 & ct_eq_u64(magnitude, 0).mask();
    gathered.w[0] |= identity;
    gathered.w[4] |= identity;
    AffineNiels r = gathered.unpack();
    batch::engine::conditional_negate<Lane>(r, Lane::Mask(Choice::from_bit(static_cast<std::uint8_t>(sign_mask & 1))));
    return r;
}

}  // namespace edwards25519::detail
