// The value interface of the store: a fixed-width byte form in both
// directions, a uniformly random draw, and exclusive-or. The store combines
// values only by exclusive-or and never inspects them otherwise.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "support/failure.hpp"
#include "support/rng.hpp"

namespace okvs::bits {

// Specialised by every value type:
//   static constexpr std::size_t width;
//   static void to_bytes(const T&, std::uint8_t* out);      // writes `width` bytes
//   static T from_bytes(std::span<const std::uint8_t>);
//   static T random();
template <class T>
struct Traits;

template <class T>
concept Bits = std::copyable<T> &&
    requires(const T& a, const T& b, std::span<const std::uint8_t> in, std::uint8_t* out) {
        { Traits<T>::width } -> std::convertible_to<std::size_t>;
        Traits<T>::to_bytes(a, out);
        { Traits<T>::from_bytes(in) } -> std::same_as<T>;
        { Traits<T>::random() } -> std::same_as<T>;
        { a ^ b } -> std::convertible_to<T>;
    };

template <Bits T>
inline constexpr std::size_t width_of = Traits<T>::width;

template <Bits T>
std::array<std::uint8_t, Traits<T>::width> to_bytes(const T& value) {
    std::array<std::uint8_t, Traits<T>::width> out;
    Traits<T>::to_bytes(value, out.data());
    return out;
}

template <Bits T>
T from_bytes(std::span<const std::uint8_t> in) {
    return Traits<T>::from_bytes(in);
}

template <Bits T>
T random() {
    return Traits<T>::random();
}

// A value type may also offer
//   static void random_fill(std::span<T> out);
// which must overwrite out[0], out[1], ... with exactly the values that as
// many successive calls of `random` would return (for instance by drawing
// all their bytes from the generator at once). Without it, `random_fill`
// calls `random` once per value.
template <class T>
concept HasRandomFill = requires(std::span<T> out) { Traits<T>::random_fill(out); };

template <Bits T>
void random_fill(std::span<T> out) {
    if constexpr (HasRandomFill<T>) {
        Traits<T>::random_fill(out);
    } else {
        for (T& value : out) value = Traits<T>::random();
    }
}

// Whether bit (index mod 64) of word (index div 64) is set, bit 0 being the
// least significant bit of word 0.
inline bool bit_at_is_set(std::span<const std::uint64_t> words, std::size_t index) {
    std::size_t word = index / 64;
    if (word >= words.size()) {
        support::fail("index out of bounds: the len is " + std::to_string(words.size()) +
                      " but the index is " + std::to_string(word));
    }
    return (words[word] >> (index % 64)) & 1u;
}

// Unsigned 64-bit integers: 8 bytes little-endian. The store writes and reads
// its seeds through this form.
template <>
struct Traits<std::uint64_t> {
    static constexpr std::size_t width = 8;

    static void to_bytes(const std::uint64_t& value, std::uint8_t* out) {
        for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }

    static std::uint64_t from_bytes(std::span<const std::uint8_t> in) {
        if (in.size() != 8) {
            support::fail("source slice length (" + std::to_string(in.size()) +
                          ") does not match destination slice length (8)");
        }
        std::uint64_t value = 0;
        for (std::size_t i = 8; i-- > 0;) value = (value << 8) | in[i];
        return value;
    }

    static std::uint64_t random() { return support::random_u64(); }
};

static_assert(Bits<std::uint64_t>);

}  // namespace okvs::bits
