// Refusing inputs whose keys repeat a byte string. Two such keys have the
// same positions under every choice of seeds, so no encoding attempt could
// ever succeed; the check finds the first repeat in time proportional to the
// number of keys.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "okvs/src/hashable.hpp"
#include "support/failure.hpp"

namespace okvs::schemes {

namespace detail {

// The seed of the check's own hash; any fixed value serves.
inline constexpr std::uint64_t kDistinctSeed = 0x6b6579732d636865ull;

inline bool same_bytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace detail

// Calls repeat(i, j) for every key j whose key bytes equal those of an
// earlier key, with i the first key of those bytes, in ascending j. An
// open-addressing table holds, per distinct key seen so far, the top 32 bits
// of its hash and its position plus one (zero marks a free slot); a tag match
// is confirmed by comparing the bytes themselves.
template <class KeyAt, class Repeat>
void find_repeats(std::size_t n, KeyAt&& key_at, Repeat&& repeat) {
    if (n < 2) return;
    if (n >= 0xFFFFFFFFu) support::fail("too many keys to check: " + std::to_string(n));
    const std::size_t capacity = std::bit_ceil(2 * n);
    const std::size_t mask = capacity - 1;
    std::vector<std::uint64_t> slots(capacity, 0);

    // Hashes are computed a batch ahead so that the table lines they land on
    // can be fetched while earlier keys are inserted.
    constexpr std::size_t kBatch = 16;
    std::uint64_t hashes[kBatch];
    for (std::size_t base = 0; base < n; base += kBatch) {
        const std::size_t count = std::min(kBatch, n - base);
        for (std::size_t k = 0; k < count; ++k) {
            const auto& bytes = key_at(base + k).key_bytes();
            hashes[k] = hashable::hash_bytes(hashable::byte_view(bytes), detail::kDistinctSeed);
            __builtin_prefetch(slots.data() + (hashes[k] & mask));
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t j = base + k;
            const std::uint64_t tag = hashes[k] >> 32;
            for (std::size_t pos = hashes[k] & mask;; pos = (pos + 1) & mask) {
                const std::uint64_t slot = slots[pos];
                if (slot == 0) {
                    slots[pos] = (tag << 32) | (j + 1);
                    break;
                }
                if ((slot >> 32) != tag) continue;
                const std::size_t i = (slot & 0xFFFFFFFFu) - 1;
                const auto& earlier = key_at(i).key_bytes();
                const auto& later = key_at(j).key_bytes();
                if (detail::same_bytes(hashable::byte_view(earlier), hashable::byte_view(later))) {
                    repeat(i, j);
                    break;
                }
            }
        }
    }
}

// Fails with "rows I and J have the same key bytes; every row must be
// distinct" for the smallest J whose key bytes equal those of an earlier key
// I.
template <class KeyAt>
void require_distinct(std::size_t n, KeyAt&& key_at) {
    find_repeats(n, key_at, [](std::size_t i, std::size_t j) {
        support::fail("rows " + std::to_string(i) + " and " + std::to_string(j) +
                      " have the same key bytes; every row must be distinct");
    });
}

template <hashable::Hashable K, class V>
void require_distinct_keys(std::span<const std::pair<K, V>> pairs) {
    require_distinct(pairs.size(), [&](std::size_t i) -> const K& { return pairs[i].first; });
}

template <hashable::Hashable K>
void require_distinct_keys(std::span<const K> keys) {
    require_distinct(keys.size(), [&](std::size_t i) -> const K& { return keys[i]; });
}

}  // namespace okvs::schemes
