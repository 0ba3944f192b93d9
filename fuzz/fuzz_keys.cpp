// The secret-key and public-key readers, on arbitrary bytes, and the
// refusals in front of them. A secret key must be exactly 32 bytes and read
// as its bits with bit 255 cleared, unreduced; a public key must be exactly
// 32 bytes that decompress, else "The public key was not a valid curve
// point."; an argument that is not `bytes` gets its parameter's type text.
// With a readable public key, build_okvs of one row must either refuse a
// key whose double is the identity or return a 2264-byte store.
//
// Input: the key bytes.
#include "edwards25519/table.hpp"
#include "fuzz/common.hpp"

namespace {

using edwards25519::EdwardsPoint;
using edwards25519::Scalar;
using fuzzing::Outputs;
using ostrelline::ByteArg;

std::string describe_refused(const void*) { return "<refused object>"; }
std::string refused_type(const void*) { return "thing"; }

ByteArg refused() {
    ByteArg arg;
    arg.object = "not bytes";
    arg.describe = describe_refused;
    arg.type_name = refused_type;
    return arg;
}

void check_secret_key(std::span<const std::uint8_t> bytes) {
    Scalar scalar;
    const std::string failure = fuzzing::failure_of(
        [&] { scalar = ostrelline::read_secret_key(ByteArg::of(bytes), ostrelline::kBankSecretKeyText); });
    if (bytes.size() != 32) {
        FUZZ_CHECK(failure == fuzzing::slice_length_message(bytes.size()));
        return;
    }
    FUZZ_CHECK_MSG(failure.empty(), failure);
    std::array<std::uint8_t, 32> expected;
    std::memcpy(expected.data(), bytes.data(), 32);
    expected[31] &= 0x7f;
    FUZZ_CHECK(scalar.to_bytes() == expected);
    // The radix-16 digits recombine to the same integer: sum d_i 16^i.
    const auto digits = scalar.as_radix_16();
    int carry = 0;
    std::array<std::uint8_t, 32> rebuilt{};
    for (std::size_t i = 0; i < 64; ++i) {
        FUZZ_CHECK(digits[i] >= -8 && digits[i] <= 8);
        int nibble = digits[i] + carry;
        carry = 0;
        while (nibble < 0) {
            nibble += 16;
            --carry;
        }
        while (nibble > 15) {
            nibble -= 16;
            ++carry;
        }
        rebuilt[i / 2] = static_cast<std::uint8_t>(rebuilt[i / 2] | (nibble << (4 * (i % 2))));
    }
    FUZZ_CHECK(carry == 0);
    FUZZ_CHECK(rebuilt == expected);
    // x B from the fixed-base table and from the variable-base multiplication
    // agree with double-and-add.
    const auto reference = fuzzing::reference_mul(EdwardsPoint::basepoint(), expected.data()).compress().bytes;
    FUZZ_CHECK(edwards25519::ED25519_BASEPOINT_TABLE().mul(scalar).compress().bytes == reference);
    FUZZ_CHECK(EdwardsPoint::basepoint().mul(scalar).compress().bytes == reference);
}

void check_public_key(std::span<const std::uint8_t> bytes) {
    EdwardsPoint key;
    const std::string failure = fuzzing::failure_of([&] { key = ostrelline::read_public_key(ByteArg::of(bytes)); });
    if (bytes.size() != 32) {
        FUZZ_CHECK(failure == fuzzing::slice_length_message(bytes.size()));
        return;
    }
    auto expected = fuzzing::decompress(bytes.data());
    if (!expected) {
        FUZZ_CHECK(failure == "The public key was not a valid curve point.");
        return;
    }
    FUZZ_CHECK_MSG(failure.empty(), failure);
    FUZZ_CHECK(key.ct_eq(*expected).declassify());

    // build_okvs of one row: refused exactly for the identity and the point of
    // order 2 (the points P with P + P the identity).
    ostrelline::Rows rows(1);
    rows[0].push_column("fuzz");
    // The same for both kinds of store.
    const bool order_divides_two = (key + key).compress().bytes == EdwardsPoint::identity().compress().bytes;
    for (auto build : {ostrelline::build_okvs, ostrelline::build_hiding_okvs}) {
        Outputs out;
        const std::string build_failure = fuzzing::failure_of(
            [&] { build(ByteArg::of(bytes), ostrelline::Rows(rows), out.sink()); });
        if (order_divides_two) {
            FUZZ_CHECK(build_failure.rfind("The public key is the identity or the point of order 2", 0) == 0);
        } else {
            FUZZ_CHECK_MSG(build_failure.empty(), build_failure);
            FUZZ_CHECK(out.buffers.size() == 1 && out[0].size() == 2072 + 64 * 3);
        }
    }
    // With no rows nothing is encrypted, so every valid key is accepted.
    Outputs empty;
    FUZZ_CHECK(fuzzing::failure_of([&] { ostrelline::build_okvs(ByteArg::of(bytes), {}, empty.sink()); }).empty());
    FUZZ_CHECK(empty.buffers.size() == 1 && empty[0].size() == 2072);
}

void check_refusals() {
    const std::string suffix = ": PyDowncastError { from: <refused object>, to: \"PyBytes\" }";
    FUZZ_CHECK(fuzzing::failure_of([] { ostrelline::read_public_key(refused()); }) ==
               std::string(ostrelline::kPublicKeyText) + suffix);
    // A refused secret key is named by its type only, never described.
    FUZZ_CHECK(fuzzing::failure_of([] {
                   ostrelline::read_secret_key(refused(), ostrelline::kSwiftSecretKeyText);
               }) == std::string(ostrelline::kSwiftSecretKeyText) +
                         ": PyDowncastError { from: <redacted thing>, to: \"PyBytes\" }");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    check_secret_key(bytes);
    check_public_key(bytes);
    if (size == 0) check_refusals();
    return 0;
}
