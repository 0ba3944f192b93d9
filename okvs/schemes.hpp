// The store interface: a scheme S encodes key/value pairs into a store that
// gives back each key's value, and converts itself to and from bytes.
// Encoding is a sequence of attempts, each of which may be abandoned on bad
// luck with its random seeds; `encode` retries until one succeeds.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/src/hashable.hpp"
#include "okvs/src/distinct.hpp"

namespace okvs::schemes {

template <class S, class K, class V>
concept Okvs = hashable::Hashable<K> && bits::Bits<V> &&
    requires(const S& store, const K& key, std::span<const std::pair<K, V>> pairs,
             std::span<const std::uint8_t> bytes) {
        { S::try_encode(pairs) } -> std::same_as<std::optional<S>>;
        { store.decode(key) } -> std::same_as<V>;
        { store.to_bytes() } -> std::same_as<std::vector<std::uint8_t>>;
        { S::from_bytes(bytes) } -> std::same_as<S>;
    };

// Runs attempts until one yields a store. Keys with equal byte strings can
// never be encoded, so they are refused before the first attempt.
template <class S, hashable::Hashable K, bits::Bits V>
    requires Okvs<S, K, V>
S encode(std::span<const std::pair<K, V>> pairs) {
    require_distinct_keys(pairs);
    for (;;) {
        if (std::optional<S> store = S::try_encode(pairs)) return std::move(*store);
    }
}

}  // namespace okvs::schemes
