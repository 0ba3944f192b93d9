// Helpers shared by the fuzz harnesses: property checks that abort (so that
// libFuzzer records the input), a result sink that keeps every buffer an
// operation allocates, the exact failure texts the operations document, and
// a reference scalar multiplication independent of the group layer's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "edwards25519/point.hpp"
#include "src/operations.hpp"
#include "support/failure.hpp"

namespace fuzzing {

[[noreturn]] inline void violated(const char* what, const char* file, int line, const std::string& detail) {
    std::fprintf(stderr, "property violated at %s:%d: %s%s%s\n", file, line, what, detail.empty() ? "" : " -- ",
                 detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? void(0) : ::fuzzing::violated(#cond, __FILE__, __LINE__, std::string()))
#define FUZZ_CHECK_MSG(cond, detail) \
    ((cond) ? void(0) : ::fuzzing::violated(#cond, __FILE__, __LINE__, (detail)))

// Every result buffer an operation asks for, in order, owned here.
struct Outputs {
    std::vector<std::unique_ptr<std::vector<std::uint8_t>>> buffers;

    ostrelline::Sink sink() { return ostrelline::Sink{this, &Outputs::allocate}; }
    static std::uint8_t* allocate(void* context, std::size_t size) {
        auto* self = static_cast<Outputs*>(context);
        self->buffers.push_back(std::make_unique<std::vector<std::uint8_t>>(size, std::uint8_t{0xa5}));
        return self->buffers.back()->data();
    }
    const std::vector<std::uint8_t>& operator[](std::size_t i) const { return *buffers.at(i); }
};

// The documented failure texts.
inline std::string range_end_message(std::size_t end, std::size_t length) {
    return "range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(length);
}
inline std::string slice_length_message(std::size_t length) {
    return "source slice length (" + std::to_string(length) + ") does not match destination slice length (32)";
}
inline const std::string kUnwrapNone = support::kUnwrapNone;
inline const std::string kRemainderByZero = "attempt to calculate the remainder with a divisor of zero";

// The outcome of running `body`: empty when it returned, else the failure's
// text. Anything thrown that is not an internal failure is a fault.
template <class F>
std::string failure_of(F&& body) {
    try {
        body();
    } catch (const support::Failure& failure) {
        FUZZ_CHECK(failure.what()[0] != '\0');
        return failure.what();
    }
    return std::string();
}

inline std::optional<edwards25519::EdwardsPoint> decompress(const std::uint8_t* bytes) {
    edwards25519::CompressedEdwardsY c;
    std::memcpy(c.bytes.data(), bytes, 32);
    return c.decompress();
}

// 32 bytes that decompress to a point on the curve and are that point's
// canonical encoding.
inline bool is_canonical_point(const std::uint8_t* bytes) {
    auto point = decompress(bytes);
    if (!point || !point->is_on_curve()) return false;
    return std::memcmp(point->compress().bytes.data(), bytes, 32) == 0;
}

// s P by plain double-and-add over the bits of a 32-byte little-endian
// integer, most significant first: a different algorithm from the
// constant-time radix-16 multiplication under test.
inline edwards25519::EdwardsPoint reference_mul(const edwards25519::EdwardsPoint& p, const std::uint8_t s[32]) {
    edwards25519::EdwardsPoint q = edwards25519::EdwardsPoint::identity();
    for (int bit = 255; bit >= 0; --bit) {
        q = q + q;
        if ((s[bit / 8] >> (bit % 8)) & 1) q = q + p;
    }
    return q;
}

inline edwards25519::CompressedEdwardsY compress(const edwards25519::EdwardsPoint& p) { return p.compress(); }

inline std::span<const std::uint8_t> chunk(std::span<const std::uint8_t> stream, std::size_t index,
                                           std::size_t width) {
    const std::size_t begin = index * width;
    return stream.subspan(begin, std::min(width, stream.size() - begin));
}

inline std::size_t chunk_count(std::size_t length, std::size_t width) { return (length + width - 1) / width; }

}  // namespace fuzzing
