// Arbitrary 32-byte strings through uniform_bytes_to_point and back through
// point_to_uniform_bytes. Every string must give a point on the curve, never
// a failure. Every representative that point_to_uniform_bytes produces must
// decode back to the same point, be canonical, even and nonzero, and carry
// the sign of the point's x in bit 255. For a nonzero r, one of the two
// choice bits must give back |r| itself (r and -r are the two preimages of
// the Elligator map).
//
// Input: 32 bytes (shorter inputs are padded with zeros, longer ones cut).
#include "fuzz/common.hpp"
#include "src/point_conversion.hpp"

namespace {

using edwards25519::EdwardsPoint;
using edwards25519::FieldElement;
using ostrelline::point_conversion::point_to_uniform_bytes;
using ostrelline::point_conversion::uniform_bytes_to_point;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, 32> bytes{};
    std::memcpy(bytes.data(), data, std::min<std::size_t>(size, 32));

    EdwardsPoint point;
    const std::string failure = fuzzing::failure_of([&] { point = uniform_bytes_to_point(bytes); });
    FUZZ_CHECK_MSG(failure.empty(), failure);
    FUZZ_CHECK(point.is_on_curve());
    // Through the compressed form too: it decompresses to the same point.
    const auto compressed = point.compress();
    auto again = fuzzing::decompress(compressed.bytes.data());
    FUZZ_CHECK(again && again->ct_eq(point).declassify());

    const FieldElement r = FieldElement::from_bytes(bytes);
    const auto r_abs = r.abs().to_bytes();
    const bool r_is_zero = r.is_zero().declassify();
    const std::uint8_t x_sign = static_cast<std::uint8_t>(compressed.bytes[31] >> 7);
    bool gave_back_r = false;
    int representatives = 0;
    for (std::uint8_t bit = 0; bit < 2; ++bit) {
        std::optional<std::array<std::uint8_t, 32>> back;
        const std::string back_failure = fuzzing::failure_of([&] { back = point_to_uniform_bytes(point, bit); });
        FUZZ_CHECK_MSG(back_failure.empty(), back_failure);
        if (!back) continue;
        ++representatives;
        const EdwardsPoint decoded = uniform_bytes_to_point(*back);
        FUZZ_CHECK(decoded.ct_eq(point).declassify());
        FUZZ_CHECK(decoded.compress().bytes == compressed.bytes);
        std::array<std::uint8_t, 32> low = *back;
        low[31] &= 0x7f;
        const FieldElement rho = FieldElement::from_bytes(low);
        FUZZ_CHECK(rho.to_bytes() == low);                  // canonical
        FUZZ_CHECK(!rho.is_negative().declassify());        // even
        FUZZ_CHECK(!rho.is_zero().declassify());            // nonzero
        FUZZ_CHECK(static_cast<std::uint8_t>((*back)[31] >> 7) == x_sign);
        if (low == r_abs) gave_back_r = true;
    }
    // A nonzero r is itself a representative of its own point.
    if (!r_is_zero) {
        FUZZ_CHECK(representatives > 0);
        FUZZ_CHECK(gave_back_r);
    }
    return 0;
}
