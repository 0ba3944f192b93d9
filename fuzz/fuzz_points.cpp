// Point streams through decompression and scalar multiplication: `decrypt`
// and `finish` with an arbitrary secret key and arbitrary streams, and
// decompression of every 32-byte window of the input. `decrypt` must give
// exactly (x / 8 mod l) (8 P) (both multiplications by double-and-add) for
// every point, x P where P has no small-order component, or exactly the
// predicted failure; `finish` must give D == S + R + x G per entry.
// Decompression must give a point on the curve whose canonical encoding is
// the input with y reduced mod p (and the sign bit dropped only for x = 0).
//
// Input: one byte choosing the key length (32 most of the time), the key,
// four bytes of stream lengths, then the streams' bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/common.hpp"

namespace {

using edwards25519::EdwardsPoint;
using edwards25519::FieldElement;
using fuzzing::Outputs;
using ostrelline::ByteArg;

void check_decompression(const std::uint8_t* bytes) {
    auto point = fuzzing::decompress(bytes);
    if (!point) return;
    FUZZ_CHECK(point->is_on_curve());
    const auto encoded = point->compress().bytes;
    // Bits 0..254: y reduced mod p.
    std::array<std::uint8_t, 32> y = FieldElement::from_bytes(bytes).to_bytes();
    std::array<std::uint8_t, 32> low = encoded;
    low[31] &= 0x7f;
    FUZZ_CHECK(low == y);
    const bool x_is_zero = point->X.is_zero().declassify();
    const std::uint8_t sign_in = bytes[31] >> 7;
    const std::uint8_t sign_out = encoded[31] >> 7;
    FUZZ_CHECK(x_is_zero ? sign_out == 0 : sign_out == sign_in);
    // The canonical encoding decodes to the same point.
    FUZZ_CHECK(fuzzing::decompress(encoded.data())->ct_eq(*point).declassify());
}

// The secret key as the operations read it: exactly 32 bytes, bit 255 cleared.
std::string key_failure(const std::vector<std::uint8_t>& key) {
    return key.size() == 32 ? std::string() : fuzzing::slice_length_message(key.size());
}

std::string point_failure(std::span<const std::uint8_t> piece) {
    if (piece.size() != 32) return fuzzing::slice_length_message(piece.size());
    if (!fuzzing::decompress(piece.data())) return fuzzing::kUnwrapNone;
    return std::string();
}

void check_decrypt(std::span<const std::uint8_t> points, const std::vector<std::uint8_t>& key) {
    Outputs out;
    const std::string failure = fuzzing::failure_of(
        [&] { ostrelline::decrypt(ByteArg::of(points), ByteArg::of(key), out.sink()); });
    std::string expected = key_failure(key);
    for (std::size_t i = 0; expected.empty() && i < fuzzing::chunk_count(points.size(), 32); ++i)
        expected = point_failure(fuzzing::chunk(points, i, 32));
    FUZZ_CHECK_MSG(failure == expected, "got '" + failure + "', expected '" + expected + "'");
    if (!failure.empty()) return;
    // 8^-1 mod l, little-endian.
    static constexpr std::uint8_t kInverseOfEight[32] = {
        0x79, 0x2f, 0xdc, 0xe2, 0x29, 0xe5, 0x06, 0x61, 0xd0, 0xda, 0x1c, 0x7d, 0xb3, 0x9d, 0xd3, 0x07,
        0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0x06};
    static constexpr std::uint8_t kEight[32] = {8};
    const auto eighth = (edwards25519::Scalar::from_bits(key.data()) * edwards25519::Scalar::from_bits(kInverseOfEight))
                            .to_bytes();
    FUZZ_CHECK(out.buffers.size() == 1 && out[0].size() == points.size());
    for (std::size_t off = 0; off < points.size(); off += 32) {
        const EdwardsPoint cleared = fuzzing::reference_mul(*fuzzing::decompress(points.data() + off), kEight);
        const EdwardsPoint expected_point = fuzzing::reference_mul(cleared, eighth.data());
        FUZZ_CHECK(std::memcmp(expected_point.compress().bytes.data(), out[0].data() + off, 32) == 0);
    }
}

void check_finish(const std::array<std::span<const std::uint8_t>, 4>& streams,
                  const std::vector<std::uint8_t>& key) {
    std::vector<std::uint8_t> matches;
    const std::string failure = fuzzing::failure_of([&] {
        matches = ostrelline::finish(ByteArg::of(streams[0]), ByteArg::of(streams[1]), ByteArg::of(streams[2]),
                                     ByteArg::of(streams[3]), ByteArg::of(key));
    });
    std::size_t n = SIZE_MAX;
    for (const auto& s : streams) n = std::min(n, fuzzing::chunk_count(s.size(), 32));
    std::string expected = key_failure(key);
    for (std::size_t i = 0; expected.empty() && i < n; ++i)
        for (std::size_t k = 0; expected.empty() && k < 4; ++k)
            expected = point_failure(fuzzing::chunk(streams[k], i, 32));
    FUZZ_CHECK_MSG(failure == expected, "got '" + failure + "', expected '" + expected + "'");
    if (!failure.empty()) return;
    FUZZ_CHECK(matches.size() == n);
    std::uint8_t bits[32];
    std::memcpy(bits, key.data(), 32);
    bits[31] &= 0x7f;
    for (std::size_t i = 0; i < n; ++i) {
        const EdwardsPoint s = *fuzzing::decompress(streams[0].data() + 32 * i);
        const EdwardsPoint r = *fuzzing::decompress(streams[1].data() + 32 * i);
        const EdwardsPoint g = *fuzzing::decompress(streams[2].data() + 32 * i);
        const EdwardsPoint d = *fuzzing::decompress(streams[3].data() + 32 * i);
        const EdwardsPoint t = s + r + fuzzing::reference_mul(g, bits);
        // Compare affine encodings, a path independent of ct_eq.
        const bool equal = d.compress().bytes == t.compress().bytes;
        FUZZ_CHECK(matches[i] == (equal ? 1 : 0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (std::size_t off = 0; off + 32 <= size; ++off) check_decompression(data + off);

    FuzzedDataProvider provider(data, size);
    const std::uint8_t key_choice = provider.ConsumeIntegral<std::uint8_t>();
    const std::size_t key_length = key_choice < 200 ? 32u : key_choice - 200u;  // else 0..55
    std::vector<std::uint8_t> key = provider.ConsumeBytes<std::uint8_t>(key_length);
    std::array<std::size_t, 4> lengths{};
    for (auto& length : lengths) length = provider.ConsumeIntegral<std::uint8_t>();
    std::vector<std::uint8_t> rest = provider.ConsumeRemainingBytes<std::uint8_t>();
    std::array<std::span<const std::uint8_t>, 4> streams;
    std::size_t at = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t take = std::min(lengths[k], rest.size() - at);
        streams[k] = std::span<const std::uint8_t>(rest).subspan(at, take);
        at += take;
    }
    check_decrypt(std::span<const std::uint8_t>(rest), key);
    check_finish(streams, key);
    return 0;
}
