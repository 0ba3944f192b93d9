#include "src/ciphertexts.hpp"

#include <algorithm>

#include "edwards25519/scalar.hpp"
#include "src/point_conversion.hpp"
#include "support/rng.hpp"

namespace ostrelline {

using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using point_conversion::point_to_uniform_bytes;
using point_conversion::uniform_bytes_to_point;

Ciphertext Ciphertext::zero(const edwards25519::EdwardsBasepointTable& public_key_table) {
    const edwards25519::EdwardsBasepointTable& base_table = edwards25519::ED25519_BASEPOINT_TABLE();
    // Each conversion succeeds for about half of all points, so about four
    // attempts are needed; x K is only computed once x B has succeeded.
    for (;;) {
        const Scalar x = random_scalar();
        const auto c1 = point_to_uniform_bytes(base_table.mul(x));
        if (!c1) continue;
        const auto c2 = point_to_uniform_bytes(public_key_table.mul(x));
        if (!c2) continue;
        return Ciphertext{*c1, *c2};
    }
}

EdwardsPoint random_torsion_point() {
    return EdwardsPoint::eight_torsion(static_cast<std::uint8_t>(support::random_u32() >> 29));
}

EdwardsPoint clear_cofactor(const EdwardsPoint& p) {
    const EdwardsPoint cleared = p.mul_by_cofactor();
    // Whether a decoded point was of small order is known to the party that
    // decoded it (it holds the store), so branching on it reveals nothing.
    if (cleared.is_identity().declassify()) return edwards25519::ED25519_BASEPOINT_TABLE().mul(random_scalar());
    return cleared;
}

Ciphertext Ciphertext::hiding_zero(const edwards25519::EdwardsBasepointTable& public_key_table) {
    const edwards25519::EdwardsBasepointTable& base_table = edwards25519::ED25519_BASEPOINT_TABLE();
    for (;;) {
        const Scalar x = random_scalar();
        const auto c1 = point_to_uniform_bytes(base_table.mul(x) + random_torsion_point());
        if (!c1) continue;
        const auto c2 = point_to_uniform_bytes(public_key_table.mul(x) + random_torsion_point());
        if (!c2) continue;
        const auto coins = static_cast<std::uint8_t>(support::random_u32() >> 30);
        return Ciphertext{point_conversion::with_representative(*c1, coins & 1),
                          point_conversion::with_representative(*c2, static_cast<std::uint8_t>(coins >> 1))};
    }
}

WideCiphertext Ciphertext::add_and_randomize(const Ciphertext& other, const EdwardsPoint& key) const {
    const Scalar r = random_scalar();
    const EdwardsPoint a1 = clear_cofactor(uniform_bytes_to_point(c1));
    const EdwardsPoint a2 = clear_cofactor(uniform_bytes_to_point(c2));
    const EdwardsPoint b1 = clear_cofactor(uniform_bytes_to_point(other.c1));
    const EdwardsPoint b2 = clear_cofactor(uniform_bytes_to_point(other.c2));
    return WideCiphertext::from_points(a1.mul(r), b1.mul(r), edwards25519::ED25519_BASEPOINT_TABLE().mul(r),
                                       ((a2 + b2) + key).mul(r));
}

Ciphertext Ciphertext::random() {
    Ciphertext out;
    support::random_bytes(out.c1);
    support::random_bytes(out.c2);
    return out;
}

void Ciphertext::to_bytes(std::uint8_t* out) const {
    std::copy(c2.begin(), c2.end(), std::copy(c1.begin(), c1.end(), out));
}

std::array<std::uint8_t, Ciphertext::kSize> Ciphertext::to_bytes() const {
    std::array<std::uint8_t, kSize> out;
    to_bytes(out.data());
    return out;
}

Ciphertext Ciphertext::from_bytes(std::span<const std::uint8_t> bytes) {
    require_range_end(32, bytes.size());
    require_range_end(64, bytes.size());
    Ciphertext out;
    std::copy_n(bytes.begin(), 32, out.c1.begin());
    std::copy_n(bytes.begin() + 32, 32, out.c2.begin());
    return out;
}

Ciphertext operator^(const Ciphertext& a, const Ciphertext& b) noexcept {
    Ciphertext out;
    for (std::size_t i = 0; i < 32; ++i) {
        out.c1[i] = static_cast<std::uint8_t>(a.c1[i] ^ b.c1[i]);
        out.c2[i] = static_cast<std::uint8_t>(a.c2[i] ^ b.c2[i]);
    }
    return out;
}

}  // namespace ostrelline
