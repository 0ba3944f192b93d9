#include "src/ciphertexts.hpp"

#include <algorithm>
#include <string>

#include "support/failure.hpp"
#include "support/rng.hpp"

namespace ostrelline {

using edwards25519::EdwardsPoint;
using edwards25519::Scalar;

EdwardsPoint random_torsion_point() {
    return EdwardsPoint::eight_torsion(static_cast<std::uint8_t>(support::random_u32() >> 29));
}

void require_range_end(std::size_t end, std::size_t size) {
    if (size < end) {
        support::fail("range end index " + std::to_string(end) + " out of range for slice of length " +
                      std::to_string(size));
    }
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
