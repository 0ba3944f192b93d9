#include "src/wide_ciphertexts.hpp"

#include <algorithm>
#include <string>

#include "edwards25519/field.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace ostrelline {

using edwards25519::CompressedEdwardsY;
using edwards25519::EdwardsPoint;
using edwards25519::FieldElement;
using edwards25519::Scalar;

Scalar random_scalar() {
    std::array<std::uint8_t, 64> wide{};
    support::random_bytes(wide);
    Scalar scalar = Scalar::from_bytes_mod_order_wide(wide.data());
    support::secure_zero(wide.data(), wide.size());
    return scalar;
}

void require_range_end(std::size_t end, std::size_t size) {
    if (size < end) {
        support::fail("range end index " + std::to_string(end) + " out of range for slice of length " +
                      std::to_string(size));
    }
}

namespace {

constexpr std::size_t kComponents = 4;

EdwardsPoint decode(const CompressedEdwardsY& component) {
    std::optional<EdwardsPoint> point = component.decompress();
    if (!point) support::fail(support::kUnwrapNone);
    return *point;
}

}  // namespace

WideCiphertext WideCiphertext::from_points(const EdwardsPoint& sender_point, const EdwardsPoint& receiver_point,
                                           const EdwardsPoint& gamma_point, const EdwardsPoint& delta_point) {
    const std::array<const EdwardsPoint*, kComponents> points{&sender_point, &receiver_point, &gamma_point,
                                                              &delta_point};
    WideCiphertext out;
    const std::array<CompressedEdwardsY*, kComponents> targets{&out.sender, &out.receiver, &out.gamma,
                                                               &out.delta};
    // Batch inversion: prefix[i] = Z_0 ... Z_(i-1); one inversion of the full
    // product, then each 1/Z_i is peeled off from the last to the first.
    std::array<FieldElement, kComponents> prefix{};
    FieldElement product = FieldElement::one();
    for (std::size_t i = 0; i < kComponents; ++i) {
        prefix[i] = product;
        product = product * points[i]->Z;
    }
    FieldElement inverse = product.invert();
    for (std::size_t i = kComponents; i-- > 0;) {
        const FieldElement z_inverse = inverse * prefix[i];
        inverse = inverse * points[i]->Z;
        const FieldElement x = points[i]->X * z_inverse;
        std::array<std::uint8_t, 32>& bytes = targets[i]->bytes;
        bytes = (points[i]->Y * z_inverse).to_bytes();
        bytes[31] = static_cast<std::uint8_t>(bytes[31] | (x.is_negative().mask() & 0x80));
    }
    return out;
}

WideCiphertext WideCiphertext::randomize() const {
    const Scalar r = random_scalar();
    return randomize_with(r);
}

WideCiphertext WideCiphertext::randomize_with(const Scalar& t) const {
    const EdwardsPoint s = decode(sender);
    const EdwardsPoint r = decode(receiver);
    const EdwardsPoint g = decode(gamma);
    const EdwardsPoint d = decode(delta);
    return from_points(s.mul(t), r.mul(t), g.mul(t), d.mul(t));
}

WideCiphertext WideCiphertext::sum(const WideCiphertext& other) const {
    // Decoded strictly in field order, this value's component first.
    std::array<EdwardsPoint, kComponents> sums;
    const std::array<const CompressedEdwardsY*, kComponents> mine{&sender, &receiver, &gamma, &delta};
    const std::array<const CompressedEdwardsY*, kComponents> theirs{&other.sender, &other.receiver,
                                                                    &other.gamma, &other.delta};
    for (std::size_t i = 0; i < kComponents; ++i) {
        const EdwardsPoint first = decode(*mine[i]);
        const EdwardsPoint second = decode(*theirs[i]);
        sums[i] = first + second;
    }
    return from_points(sums[0], sums[1], sums[2], sums[3]);
}

void WideCiphertext::to_bytes(std::uint8_t* out) const {
    for (const CompressedEdwardsY* component : {&sender, &receiver, &gamma, &delta}) {
        out = std::copy(component->bytes.begin(), component->bytes.end(), out);
    }
}

std::array<std::uint8_t, WideCiphertext::kSize> WideCiphertext::to_bytes() const {
    std::array<std::uint8_t, kSize> out;
    to_bytes(out.data());
    return out;
}

WideCiphertext WideCiphertext::from_bytes(std::span<const std::uint8_t> bytes) {
    WideCiphertext out;
    std::size_t end = 0;
    for (CompressedEdwardsY* component : {&out.sender, &out.receiver, &out.gamma, &out.delta}) {
        const std::size_t begin = end;
        end += 32;
        require_range_end(end, bytes.size());
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(begin), 32, component->bytes.begin());
    }
    return out;
}

}  // namespace ostrelline
