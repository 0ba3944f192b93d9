// Query streams through `randomize` and `combine` (every 128-byte entry
// blinded, or added to its counterpart). Each call either fails with exactly
// the failure a reference walk over the input predicts (a short last entry,
// or the first component that is not a point), or returns outputs of the
// documented length whose every 32-byte piece is a canonical point; combine's
// sums are checked against point additions compressed one by one, and
// swapping its inputs must not change its result.
//
// Input: two bytes giving the split point, then the bytes, cut there into
// the sender stream and the receiver stream.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/common.hpp"

namespace {

using edwards25519::EdwardsPoint;
using fuzzing::Outputs;
using ostrelline::ByteArg;

// The failure `randomize` must report, or empty when it must succeed.
std::string expected_randomize_failure(std::span<const std::uint8_t> stream) {
    for (std::size_t i = 0; i < fuzzing::chunk_count(stream.size(), 128); ++i) {
        auto piece = fuzzing::chunk(stream, i, 128);
        if (piece.size() < 128) return fuzzing::range_end_message((piece.size() / 32 + 1) * 32, piece.size());
        for (std::size_t k = 0; k < 4; ++k)
            if (!fuzzing::decompress(piece.data() + 32 * k)) return fuzzing::kUnwrapNone;
    }
    return std::string();
}

std::string expected_combine_failure(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t n = std::min(fuzzing::chunk_count(a.size(), 128), fuzzing::chunk_count(b.size(), 128));
    for (std::size_t i = 0; i < n; ++i) {
        auto pa = fuzzing::chunk(a, i, 128);
        auto pb = fuzzing::chunk(b, i, 128);
        if (pa.size() < 128) return fuzzing::range_end_message((pa.size() / 32 + 1) * 32, pa.size());
        if (pb.size() < 128) return fuzzing::range_end_message((pb.size() / 32 + 1) * 32, pb.size());
        for (std::size_t k = 0; k < 4; ++k) {
            if (!fuzzing::decompress(pa.data() + 32 * k)) return fuzzing::kUnwrapNone;
            if (!fuzzing::decompress(pb.data() + 32 * k)) return fuzzing::kUnwrapNone;
        }
    }
    return std::string();
}

void check_randomize(std::span<const std::uint8_t> stream) {
    Outputs out;
    const std::string failure =
        fuzzing::failure_of([&] { ostrelline::randomize(ByteArg::of(stream), out.sink()); });
    const std::string expected = expected_randomize_failure(stream);
    FUZZ_CHECK_MSG(failure == expected, "got '" + failure + "', expected '" + expected + "'");
    if (!failure.empty()) return;
    FUZZ_CHECK(out.buffers.size() == 1);
    const auto& result = out[0];
    FUZZ_CHECK(result.size() == stream.size());
    const std::uint8_t identity[32] = {1};
    for (std::size_t off = 0; off < result.size(); off += 32) {
        FUZZ_CHECK(fuzzing::is_canonical_point(result.data() + off));
        // t times the identity is the identity, whatever t is.
        if (fuzzing::decompress(stream.data() + off)->is_identity().declassify())
            FUZZ_CHECK(std::memcmp(result.data() + off, identity, 32) == 0);
    }
}

std::vector<std::uint8_t> combine_result(const Outputs& out) {
    std::vector<std::uint8_t> all;
    for (const auto& buffer : out.buffers) all.insert(all.end(), buffer->begin(), buffer->end());
    return all;
}

void check_combine(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    Outputs out;
    const std::string failure =
        fuzzing::failure_of([&] { ostrelline::combine(ByteArg::of(a), ByteArg::of(b), out.sink()); });
    const std::string expected = expected_combine_failure(a, b);
    FUZZ_CHECK_MSG(failure == expected, "got '" + failure + "', expected '" + expected + "'");
    if (!failure.empty()) {
        // The same inputs the other way round fail too (the first failure may differ).
        Outputs swapped;
        FUZZ_CHECK(!fuzzing::failure_of([&] {
                        ostrelline::combine(ByteArg::of(b), ByteArg::of(a), swapped.sink());
                    }).empty());
        return;
    }
    const std::size_t n = std::min(fuzzing::chunk_count(a.size(), 128), fuzzing::chunk_count(b.size(), 128));
    FUZZ_CHECK(out.buffers.size() == 4);
    for (std::size_t k = 0; k < 4; ++k) {
        FUZZ_CHECK(out[k].size() == 32 * n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* got = out[k].data() + 32 * i;
            FUZZ_CHECK(fuzzing::is_canonical_point(got));
            const EdwardsPoint sum = *fuzzing::decompress(a.data() + 128 * i + 32 * k) +
                                     *fuzzing::decompress(b.data() + 128 * i + 32 * k);
            FUZZ_CHECK(std::memcmp(sum.compress().bytes.data(), got, 32) == 0);
        }
    }
    Outputs swapped;
    FUZZ_CHECK(fuzzing::failure_of([&] {
                   ostrelline::combine(ByteArg::of(b), ByteArg::of(a), swapped.sink());
               }).empty());
    FUZZ_CHECK(combine_result(swapped) == combine_result(out));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::size_t split = provider.ConsumeIntegral<std::uint16_t>();
    std::vector<std::uint8_t> rest = provider.ConsumeRemainingBytes<std::uint8_t>();
    const std::size_t cut = std::min(split, rest.size());
    std::span<const std::uint8_t> all(rest);
    std::span<const std::uint8_t> sender = all.first(cut);
    std::span<const std::uint8_t> receiver = all.subspan(cut);
    check_randomize(sender);
    check_randomize(receiver);
    check_combine(sender, receiver);
    return 0;
}
