// Key hashing: every key is located in a store through seeded XXH3 64-bit
// hashes of its byte string. Only the bytes matter; how a key type builds
// them (and whether it keeps them) is its own business.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <ranges>
#include <span>
#include <type_traits>

#include <xxhash.h>

#include "support/failure.hpp"

namespace okvs::hashable {

// A contiguous range of one-byte elements: std::string, std::string_view,
// std::vector<std::uint8_t>, std::span<const std::uint8_t>, ...
template <class R>
concept ByteRange = std::ranges::contiguous_range<R> && std::ranges::sized_range<R> &&
                    sizeof(std::ranges::range_value_t<R>) == 1 &&
                    (std::is_integral_v<std::ranges::range_value_t<R>> ||
                     std::same_as<std::ranges::range_value_t<R>, std::byte>);

// A key type supplies its byte string through `key_bytes()`.
template <class K>
concept Hashable = requires(const K& key) {
    { key.key_bytes() } -> ByteRange;
};

// The bytes of a byte range, viewed without copying.
template <ByteRange R>
std::span<const std::uint8_t> byte_view(const R& range) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(std::ranges::data(range)), std::ranges::size(range)};
}

inline constexpr const char* kRemainderByZero = "attempt to calculate the remainder with a divisor of zero";

// XXH3_64bits_withSeed over the bytes, seed passed unchanged.
inline std::uint64_t hash_bytes(std::span<const std::uint8_t> bytes, std::uint64_t seed) noexcept {
    return XXH3_64bits_withSeed(bytes.data(), bytes.size(), seed);
}

// The hash reduced by plain remainder (no multiply-shift, no rejection), as
// the store format requires.
inline std::size_t index_bytes(std::span<const std::uint8_t> bytes, std::uint64_t seed, std::size_t modulus) {
    if (modulus == 0) support::fail(kRemainderByZero);
    return static_cast<std::size_t>(hash_bytes(bytes, seed) % modulus);
}

template <Hashable K>
std::uint64_t hash_to_bytes(const K& key, std::uint64_t seed) {
    const auto& bytes = key.key_bytes();
    return hash_bytes(byte_view(bytes), seed);
}

template <Hashable K>
std::size_t hash_to_index(const K& key, std::uint64_t seed, std::size_t modulus) {
    const auto& bytes = key.key_bytes();
    return index_bytes(byte_view(bytes), seed, modulus);
}

// A key that is nothing but a view of bytes held elsewhere, for callers that
// already have the byte string of every key.
struct BytesKey {
    std::span<const std::uint8_t> bytes;
    std::span<const std::uint8_t> key_bytes() const noexcept { return bytes; }
};

static_assert(Hashable<BytesKey>);

}  // namespace okvs::hashable
