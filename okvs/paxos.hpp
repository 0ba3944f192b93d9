// The Paxos store: m graph cells G and 32 binary cells B such that every
// encoded pair (k, v) satisfies
//
//     v = G[p1] ^ G[p2] ^ (B[j] for every j < 32 with bit j of w set),
//
// where p1, p2 are the key's two seeded hash positions modulo m and w its
// seeded row-bits hash. Encoding views the keys as edges of a graph on the
// graph cells, peels it, solves what remains (at most 8 edges) as a GF(2)
// system, and settles the peeled edges by back-substitution.
//
// Byte form: the three seeds as 8-byte little-endian integers, then every
// graph cell, then the 32 binary cells, each in its value type's byte form.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <sys/mman.h>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/schemes.hpp"
#include "okvs/src/elimination.hpp"
#include "okvs/src/failures.hpp"
#include "okvs/src/compact_graph.hpp"
#include "okvs/src/graph.hpp"
#include "okvs/src/hashable.hpp"
#include "support/failure.hpp"
#include "support/rng.hpp"

namespace okvs::schemes::paxos {

inline constexpr std::size_t kBinaryCells = 32;
inline constexpr std::size_t kMaxCoreEdges = 8;
inline constexpr std::size_t kHeaderBytes = 24;

// Number of graph cells for n pairs: ceil(n * 2.4) in double precision.
inline std::size_t graph_size(std::size_t n) {
    return static_cast<std::size_t>(std::ceil(static_cast<double>(n) * 2.4));
}

// The payload of an edge of the plain peeling graph: the pair's value and
// its key's row-bits hash.
template <bits::Bits V>
struct EdgeData {
    V value;
    std::uint64_t row_bits;
};

namespace detail {

// value ^ B[j] for every set bit j of the low 32 bits of `row_bits`, in
// ascending j; B[j] must exist.
template <bits::Bits V>
V xor_selected(V value, std::uint64_t row_bits, std::type_identity_t<std::span<const V>> binary) {
    auto selected = static_cast<std::uint32_t>(row_bits);
    if (binary.size() < kBinaryCells) {
        // The first selected cell that does not exist, in ascending order.
        const std::uint32_t missing = selected & ~((std::uint32_t{1} << binary.size()) - 1);
        if (missing != 0) {
            okvs::detail::fail_index_out_of_bounds(binary.size(),
                                                   static_cast<std::size_t>(std::countr_zero(missing)));
        }
    }
    while (selected != 0) {
        value = static_cast<V>(value ^ binary[static_cast<std::size_t>(std::countr_zero(selected))]);
        selected &= selected - 1;
    }
    return value;
}

// Every exclusive-or of binary cells a row-bits byte can select, per byte of
// the low 32 bits: one lookup replaces up to eight exclusive-ors. Only worth
// its 1020 combinations when many keys use it.
template <bits::Bits V>
class BinaryCombinations {
public:
    explicit BinaryCombinations(std::span<const V> binary) {
        table_.reserve(4 * 255);
        for (std::size_t byte = 0; byte < 4; ++byte) {
            const std::size_t base = byte * 255;
            for (std::uint32_t b = 1; b < 256; ++b) {
                const std::uint32_t rest = b & (b - 1);
                const V& cell = binary[8 * byte + static_cast<std::size_t>(std::countr_zero(b))];
                if (rest == 0) {
                    table_.push_back(cell);
                } else {
                    table_.push_back(static_cast<V>(table_[base + rest - 1] ^ cell));
                }
            }
        }
    }

    V apply(V value, std::uint32_t row_bits) const {
        for (std::size_t byte = 0; byte < 4; ++byte) {
            const std::uint32_t b = (row_bits >> (8 * byte)) & 0xFFu;
            if (b != 0) value = static_cast<V>(value ^ table_[byte * 255 + b - 1]);
        }
        return value;
    }

private:
    std::vector<V> table_;
};

// Cells of one attempt as the solver sees them: columns below m are graph
// cells (with a bitmap of which are set), the 32 after them binary cells.
template <bits::Bits V>
struct AttemptCells {
    std::span<V> graph;
    std::vector<std::uint64_t>& filled;
    std::optional<V> binary[kBinaryCells];

    bool holds(std::size_t c) const {
        if (c < graph.size()) return (filled[c / 64] >> (c % 64)) & 1u;
        return binary[c - graph.size()].has_value();
    }
    const V& at(std::size_t c) const { return c < graph.size() ? graph[c] : *binary[c - graph.size()]; }
    void store(std::size_t c, V value) {
        if (c < graph.size()) {
            graph[c] = std::move(value);
            filled[c / 64] |= std::uint64_t{1} << (c % 64);
        } else {
            binary[c - graph.size()] = std::move(value);
        }
    }
};

// Asks for huge pages behind a large, not yet touched buffer: fewer page
// faults when it is first written and fewer TLB misses when it is read at
// random positions. Only a hint; failure changes nothing.
inline void advise_huge_pages(const void* data, std::size_t bytes) {
    constexpr std::uintptr_t kPage = 4096;
    if (bytes < (std::size_t{4} << 20)) return;
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (address + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (address + bytes) & ~(kPage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Room for n cells, reserved (and advised) before anything is written.
template <bits::Bits V>
std::vector<V> reserve_cells(std::size_t n) {
    std::vector<V> cells;
    cells.reserve(n);
    advise_huge_pages(cells.data(), n * sizeof(V));
    return cells;
}

// A vector of n values to be overwritten: value-initialised when the type
// allows it, otherwise copies of `filler`.
template <bits::Bits V>
std::vector<V> cells_to_overwrite(std::size_t n, const V* filler) {
    std::vector<V> cells = reserve_cells<V>(n);
    if constexpr (std::is_default_constructible_v<V>) {
        cells.resize(n);
    } else if (n != 0) {
        cells.assign(n, *filler);
    }
    return cells;
}

// Fetches the cache lines of a value ahead of its use.
template <int kForWrite = 0, class T>
void prefetch(const T& value) {
    const auto* bytes = reinterpret_cast<const char*>(&value);
    for (std::size_t offset = 0; offset < sizeof(T); offset += 64) __builtin_prefetch(bytes + offset, kForWrite);
    __builtin_prefetch(bytes + sizeof(T) - 1, kForWrite);
}

// Where the parts of a store's byte form lie: the three seeds, the number of
// whole graph cells after the header, and where the 32 binary cells start
// (the last 32 cells' worth of bytes). Fails on inputs too short to hold a
// header and the binary cells.
struct ByteLayout {
    std::uint64_t seeds[3];
    std::size_t graph_cells;
    std::size_t binary_start;
};

template <std::size_t kWidth>
ByteLayout parse_layout(std::span<const std::uint8_t> bytes) {
    const std::size_t length = bytes.size();
    ByteLayout layout{};
    for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t end = 8 * (k + 1);
        if (length < end) {
            support::fail("range end index " + std::to_string(end) + " out of range for slice of length " +
                          std::to_string(length));
        }
        layout.seeds[k] = bits::Traits<std::uint64_t>::from_bytes(bytes.subspan(8 * k, 8));
    }
    constexpr std::size_t binary_bytes = kBinaryCells * kWidth;
    if (length < kHeaderBytes + binary_bytes) {
        if (length >= binary_bytes) {
            support::fail("slice index starts at " + std::to_string(kHeaderBytes) + " but ends at " +
                          std::to_string(length - binary_bytes));
        }
        support::fail("store bytes too short: the length is " + std::to_string(length) +
                      " but a store takes at least " + std::to_string(kHeaderBytes + binary_bytes) + " bytes");
    }
    layout.graph_cells = (length - kHeaderBytes - binary_bytes) / kWidth;
    layout.binary_start = length - binary_bytes;
    return layout;
}

// The value a key retrieves from m graph cells (`cell(p)` gives cell p) and
// the binary cells: G[p1] ^ G[p2] ^ the selected binary cells. Fails with
// "attempt to calculate the remainder with a divisor of zero" when m is 0.
template <bits::Bits V, class Cell>
V lookup(std::span<const std::uint8_t> key_bytes, const std::uint64_t (&seeds)[3], std::size_t m, const Cell& cell,
         const std::vector<V>& binary) {
    const std::size_t p1 = hashable::index_bytes(key_bytes, seeds[0], m);
    const std::size_t p2 = hashable::index_bytes(key_bytes, seeds[1], m);
    const std::uint64_t row_bits = hashable::hash_bytes(key_bytes, seeds[2]);
    return xor_selected(static_cast<V>(cell(p1) ^ cell(p2)), row_bits, binary);
}

}  // namespace detail

namespace detail {

// The header of the byte form: the three seeds, 8 bytes little-endian each.
inline void write_seeds(const std::array<std::uint64_t, 3>& seeds, std::uint8_t* out) {
    for (std::uint64_t seed : seeds) {
        bits::Traits<std::uint64_t>::to_bytes(seed, out);
        out += 8;
    }
}

// Fails with "too many pairs for one store: N" when n pairs exceed what the
// 32-bit indices of the peeling graph can hold.
inline void require_storable(std::size_t n) {
    if (graph_size(n) + kBinaryCells > graph::CompactGraph::kMaxVertices || n > graph::CompactGraph::kMaxEdges) {
        support::fail("too many pairs for one store: " + std::to_string(n));
    }
}

// One attempt at encoding n pairs with the given seeds: key i is key_at(i)
// (anything with key_bytes()), value i is value_at(i), read in place, so
// that keys and values may lie apart and each value is held once, by its
// caller. `graph_cells(m)` gives the m = graph_size(n) graph cells to fill;
// it is called once the attempt has peeled its graph (so that the cells are
// not held beside the peeling graph), and every one of them is then written
// before it is read. The 32 binary cells are appended to `binary`. False
// when the attempt is abandoned, before any cell or random value is touched;
// the caller then tries other seeds.
template <bits::Bits V, class KeyAt, class ValueAt, class GraphCells>
bool encode_attempt(std::size_t n, const KeyAt& key_at, const ValueAt& value_at, std::uint64_t first,
                    std::uint64_t second, std::uint64_t row_bits, GraphCells&& graph_cells, std::vector<V>& binary) {
    require_storable(n);
    const std::size_t m = graph_size(n);

    // Positions and row bits of every key; only the low 32 row bits are
    // ever consulted.
    std::vector<std::uint32_t> first_position(n), second_position(n), selected(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto& key = key_at(i);
        const auto& key_bytes = key.key_bytes();
        const auto bytes = hashable::byte_view(key_bytes);
        first_position[i] = static_cast<std::uint32_t>(hashable::hash_bytes(bytes, first) % m);
        second_position[i] = static_cast<std::uint32_t>(hashable::hash_bytes(bytes, second) % m);
        selected[i] = static_cast<std::uint32_t>(hashable::hash_bytes(bytes, row_bits));
    }

    std::vector<graph::PeelStep> peeled;  // in peeling order: the peel stack reversed
    peeled.reserve(n);
    std::vector<std::pair<std::size_t, graph::CompactEdge>> core;
    {
        graph::CompactGraph graph(m, first_position, second_position);
        graph::peel(graph, [&](std::size_t c, graph::CompactEdge e) {
            peeled.push_back(graph::PeelStep{static_cast<std::uint32_t>(c), e});
        });
        okvs::detail::assert_equal(peeled.size() + graph.edge_count(), n);
        if (graph.edge_count() > kMaxCoreEdges) return false;
        // Nothing here also when two keys share both positions (or two
        // self-loops a vertex): an edge the plain graph refuses.
        auto order = graph.drain_order(peeled);
        if (!order) return false;
        core = std::move(*order);
    }
    first_position = {};
    second_position = {};

    // The 2-core as equations over columns 0..m-1 (graph cells) and
    // m..m+31 (binary cells); a self-loop names no graph cell.
    elimination::SparseBoolMatrix matrix(m + kBinaryCells);
    std::vector<V> right;
    for (const auto& [i, e] : core) {
        elimination::SparseBoolMatrix::Row row;
        if (e.to != i) row = {i, e.to};
        for (std::uint32_t bits = selected[e.data]; bits != 0; bits &= bits - 1) {
            row.push_back(m + static_cast<std::size_t>(std::countr_zero(bits)));
        }
        matrix.push_row(std::move(row));
        right.push_back(value_at(e.data));
    }

    const std::span<V> graph_part = graph_cells(m);
    okvs::detail::assert_equal(graph_part.size(), m);
    std::vector<std::uint64_t> filled((m + 63) / 64, 0);
    AttemptCells<V> cells{graph_part, filled, {}};
    if (!std::move(matrix).solve_into(std::move(right), cells)) return false;

    binary.reserve(binary.size() + kBinaryCells);
    const std::size_t binary_start = binary.size();
    for (std::size_t j = 0; j < kBinaryCells; ++j) {
        binary.push_back(cells.binary[j] ? std::move(*cells.binary[j]) : bits::random<V>());
    }
    const std::span<const V> binary_part(binary.data() + binary_start, kBinaryCells);

    // Random values are drawn a batch at a time, in the order the cells
    // that receive them would draw them one by one.
    constexpr std::size_t kBatch = 256;
    std::vector<V> draws = cells_to_overwrite<V>(n ? kBatch : 0, n ? &value_at(0) : nullptr);
    auto is_filled = [&](std::size_t c) { return (filled[c / 64] >> (c % 64)) & 1u; };
    auto mark_filled = [&](std::size_t c) { filled[c / 64] |= std::uint64_t{1} << (c % 64); };

    // Back-substitution, newest peeled edge first: the edge's far endpoint
    // is settled (or drawn at random), its own vertex then takes the value
    // that makes the key's equation hold. Per batch of entries, a first pass
    // finds which far endpoints are still empty when their entry's turn
    // comes, the draws for them are made together, and a second pass
    // writes the cells.
    auto settle = [&](const auto& fold_binary) {
        constexpr std::size_t kAhead = 8;  // prefetch distance, in peeled edges
        std::array<bool, kBatch> draws_far_end;
        for (std::size_t end = peeled.size(); end > 0;) {
            const std::size_t begin = end > kBatch ? end - kBatch : 0;
            std::size_t count = 0;
            for (std::size_t k = end; k-- > begin;) {
                const graph::PeelStep& p = peeled[k];
                const bool empty = !is_filled(p.edge.to);
                draws_far_end[end - 1 - k] = empty;
                if (empty) {
                    mark_filled(p.edge.to);
                    ++count;
                }
                mark_filled(p.vertex);
            }
            bits::random_fill(std::span<V>(draws).first(count));
            std::size_t next = 0;
            for (std::size_t k = end; k-- > begin;) {
                if (k >= kAhead) {
                    const graph::PeelStep& ahead = peeled[k - kAhead];
                    prefetch(value_at(ahead.edge.data));
                    prefetch(selected[ahead.edge.data]);
                    prefetch(graph_part[ahead.edge.to]);
                    prefetch<1>(graph_part[ahead.vertex]);
                }
                const graph::PeelStep& p = peeled[k];
                if (draws_far_end[end - 1 - k]) graph_part[p.edge.to] = std::move(draws[next++]);
                const V value = fold_binary(value_at(p.edge.data), selected[p.edge.data]);
                graph_part[p.vertex] = static_cast<V>(value ^ graph_part[p.edge.to]);
            }
            end = begin;
        }
    };
    constexpr std::size_t kCombinationsFrom = 256;
    if (peeled.size() >= kCombinationsFrom) {
        const BinaryCombinations<V> combinations(binary_part);
        settle([&](const V& value, std::uint32_t bits) { return combinations.apply(value, bits); });
    } else {
        settle([&](const V& value, std::uint32_t bits) {
            return xor_selected(value, bits, binary_part);
        });
    }

    // Graph cells nothing has settled, in ascending order.
    std::array<std::uint32_t, kBatch> targets;
    std::size_t waiting = 0;
    auto flush = [&] {
        bits::random_fill(std::span<V>(draws).first(waiting));
        for (std::size_t j = 0; j < waiting; ++j) graph_part[targets[j]] = std::move(draws[j]);
        waiting = 0;
    };
    for (std::size_t word = 0; word < filled.size(); ++word) {
        for (std::uint64_t empty = ~filled[word]; empty != 0; empty &= empty - 1) {
            const std::size_t i = 64 * word + static_cast<std::size_t>(std::countr_zero(empty));
            if (i >= m) break;
            targets[waiting++] = static_cast<std::uint32_t>(i);
            if (waiting == kBatch) flush();
        }
    }
    flush();
    return true;
}

}  // namespace detail

template <bits::Bits V>
struct Paxos {
    std::uint64_t first_seed;
    std::uint64_t second_seed;
    std::uint64_t row_bits_seed;
    std::vector<V> graph_part;   // m cells
    std::vector<V> binary_part;  // 32 cells

    static constexpr std::size_t kWidth = bits::width_of<V>;

    // One attempt with three fresh seeds drawn in field order.
    template <hashable::Hashable K>
    static std::optional<Paxos> try_encode(std::span<const std::pair<K, V>> pairs) {
        const std::uint64_t first = support::random_u64();
        const std::uint64_t second = support::random_u64();
        const std::uint64_t row_bits = support::random_u64();
        return try_encode_with_seeds(pairs, first, second, row_bits);
    }
    template <hashable::Hashable K>
    static std::optional<Paxos> try_encode(const std::vector<std::pair<K, V>>& pairs) {
        return try_encode(std::span<const std::pair<K, V>>(pairs));
    }

    // One attempt with the given seeds. Nothing when it is abandoned: an
    // edge is refused (two keys share both positions, or a second self-loop
    // at a vertex), more than 8 edges remain after peeling, or the remaining
    // edges give linearly dependent equations. An abandoned attempt draws
    // no random values.
    template <hashable::Hashable K>
    static std::optional<Paxos> try_encode_with_seeds(std::span<const std::pair<K, V>> pairs, std::uint64_t first,
                                                      std::uint64_t second, std::uint64_t row_bits);

    // Attempts until one succeeds; keys with equal byte strings are refused
    // first.
    template <hashable::Hashable K>
    static Paxos encode(std::span<const std::pair<K, V>> pairs) {
        return schemes::encode<Paxos, K, V>(pairs);
    }
    template <hashable::Hashable K>
    static Paxos encode(const std::vector<std::pair<K, V>>& pairs) {
        return encode(std::span<const std::pair<K, V>>(pairs));
    }

    // The value the key retrieves. Fails with "attempt to calculate the
    // remainder with a divisor of zero" when the store has no graph cells.
    template <hashable::Hashable K>
    V decode(const K& key) const {
        const auto& bytes = key.key_bytes();
        return decode_bytes(hashable::byte_view(bytes));
    }
    V decode_bytes(std::span<const std::uint8_t> key_bytes) const {
        const std::uint64_t seeds[3] = {first_seed, second_seed, row_bits_seed};
        return detail::lookup<V>(
            key_bytes, seeds, graph_part.size(), [&](std::size_t p) -> const V& { return graph_part[p]; },
            binary_part);
    }

    // The values of many keys, in order: the same results as `decode` of
    // each, with the cells of the keys a few places ahead fetched early so
    // that lookups in a large store overlap their memory accesses.
    template <hashable::Hashable K>
    std::vector<V> decode_many(std::span<const K> keys) const {
        std::vector<V> out;
        out.reserve(keys.size());
        const std::size_t m = graph_part.size();
        struct Located {
            std::size_t p1, p2;
            std::uint64_t row_bits;
        };
        constexpr std::size_t kAhead = 8;
        std::array<Located, kAhead> ring;
        auto locate = [&](std::size_t i) {
            const auto& key_bytes = keys[i].key_bytes();
            const auto bytes = hashable::byte_view(key_bytes);
            Located at{hashable::index_bytes(bytes, first_seed, m), hashable::index_bytes(bytes, second_seed, m),
                       hashable::hash_bytes(bytes, row_bits_seed)};
            detail::prefetch(graph_part[at.p1]);
            detail::prefetch(graph_part[at.p2]);
            ring[i % kAhead] = at;
        };
        for (std::size_t i = 0; i < std::min(kAhead, keys.size()); ++i) locate(i);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const Located at = ring[i % kAhead];
            if (i + kAhead < keys.size()) locate(i + kAhead);
            V result = graph_part[at.p1];
            result = static_cast<V>(result ^ graph_part[at.p2]);
            out.push_back(detail::xor_selected(std::move(result), at.row_bits, binary_part));
        }
        return out;
    }

    std::size_t serialized_size() const {
        return kHeaderBytes + kWidth * (graph_part.size() + binary_part.size());
    }

    // Writes serialized_size() bytes to `out`.
    void to_bytes(std::uint8_t* out) const {
        detail::write_seeds({first_seed, second_seed, row_bits_seed}, out);
        out += kHeaderBytes;
        for (const V& cell : graph_part) {
            bits::Traits<V>::to_bytes(cell, out);
            out += kWidth;
        }
        for (const V& cell : binary_part) {
            bits::Traits<V>::to_bytes(cell, out);
            out += kWidth;
        }
    }
    std::vector<std::uint8_t> to_bytes() const {
        std::vector<std::uint8_t> out;
        out.reserve(serialized_size());
        detail::advise_huge_pages(out.data(), serialized_size());
        out.resize(serialized_size());
        to_bytes(out.data());
        return out;
    }

    // Parses the byte form. The binary part is the last 32 cells' worth of
    // bytes, the graph part as many whole cells as fit between the header
    // and it; a remainder shorter than a cell just before the binary part is
    // ignored. Shorter inputs fail.
    static Paxos from_bytes(std::span<const std::uint8_t> bytes);
};

template <bits::Bits V>
template <hashable::Hashable K>
std::optional<Paxos<V>> Paxos<V>::try_encode_with_seeds(std::span<const std::pair<K, V>> pairs, std::uint64_t first,
                                                        std::uint64_t second, std::uint64_t row_bits) {
    const std::size_t n = pairs.size();
    detail::require_storable(n);
    Paxos store{first, second, row_bits, {}, {}};
    const auto graph_cells = [&](std::size_t m) {
        store.graph_part = detail::cells_to_overwrite<V>(m, n ? &pairs[0].second : nullptr);
        return std::span<V>(store.graph_part);
    };
    const auto key_at = [&](std::size_t i) -> const K& { return pairs[i].first; };
    const auto value_at = [&](std::size_t i) -> const V& { return pairs[i].second; };
    if (!detail::encode_attempt<V>(n, key_at, value_at, first, second, row_bits, graph_cells, store.binary_part)) {
        return std::nullopt;
    }
    return store;
}

// A store whose graph cells its caller holds (in place in the buffer of its
// byte form, for one): the seeds, in the order of the header, and the 32
// binary cells.
template <bits::Bits V>
struct PlacedParts {
    std::array<std::uint64_t, 3> seeds;
    std::vector<V> binary_part;
};

// Paxos::encode for keys and values held apart, into graph cells the caller
// provides: key i is key_at(i) (anything with key_bytes()), value i is
// value_at(i), and `graph_cells(m)` gives the m = graph_size(n) graph cells
// (asked for by every attempt that gets as far as writing them). Keys with
// equal byte strings are refused first; then come attempts with fresh seeds
// until one succeeds, with the same draws in the same order as Paxos::encode
// of the same pairs, so that the same generator state gives the same store.
template <bits::Bits V, class KeyAt, class ValueAt, class GraphCells>
PlacedParts<V> encode_placed(std::size_t n, const KeyAt& key_at, const ValueAt& value_at, GraphCells&& graph_cells) {
    require_distinct(n, key_at);
    detail::require_storable(n);
    for (;;) {
        const std::uint64_t first = support::random_u64();
        const std::uint64_t second = support::random_u64();
        const std::uint64_t row_bits = support::random_u64();
        PlacedParts<V> parts{{first, second, row_bits}, {}};
        if (detail::encode_attempt<V>(n, key_at, value_at, first, second, row_bits, graph_cells,
                                      parts.binary_part)) {
            return parts;
        }
    }
}

template <bits::Bits V>
Paxos<V> Paxos<V>::from_bytes(std::span<const std::uint8_t> bytes) {
    const detail::ByteLayout layout = detail::parse_layout<kWidth>(bytes);
    Paxos store{layout.seeds[0], layout.seeds[1], layout.seeds[2], detail::reserve_cells<V>(layout.graph_cells), {}};
    for (std::size_t i = 0; i < layout.graph_cells; ++i) {
        store.graph_part.push_back(bits::from_bytes<V>(bytes.subspan(kHeaderBytes + kWidth * i, kWidth)));
    }
    store.binary_part.reserve(kBinaryCells);
    for (std::size_t j = 0; j < kBinaryCells; ++j) {
        store.binary_part.push_back(bits::from_bytes<V>(bytes.subspan(layout.binary_start + kWidth * j, kWidth)));
    }
    return store;
}

// A store read in place from its byte form: the lookups of
// `Paxos<V>::from_bytes(bytes)`, with the same failures, without copying the
// graph cells (only the 32 binary cells are parsed). For a party that only
// looks keys up in a store it received, this halves the memory a lookup
// needs. The bytes must outlive the view.
template <bits::Bits V>
class PaxosView {
public:
    static constexpr std::size_t kWidth = bits::width_of<V>;

    explicit PaxosView(std::span<const std::uint8_t> bytes) : layout_(detail::parse_layout<kWidth>(bytes)) {
        graph_ = bytes.subspan(kHeaderBytes, kWidth * layout_.graph_cells);
        binary_.reserve(kBinaryCells);
        for (std::size_t j = 0; j < kBinaryCells; ++j) {
            binary_.push_back(bits::from_bytes<V>(bytes.subspan(layout_.binary_start + kWidth * j, kWidth)));
        }
    }

    std::size_t graph_cells() const noexcept { return layout_.graph_cells; }

    template <hashable::Hashable K>
    V decode(const K& key) const {
        const auto& bytes = key.key_bytes();
        return decode_bytes(hashable::byte_view(bytes));
    }
    V decode_bytes(std::span<const std::uint8_t> key_bytes) const {
        return detail::lookup<V>(
            key_bytes, layout_.seeds, layout_.graph_cells,
            [&](std::size_t p) { return bits::from_bytes<V>(graph_.subspan(kWidth * p, kWidth)); }, binary_);
    }

private:
    detail::ByteLayout layout_;
    std::span<const std::uint8_t> graph_;
    std::vector<V> binary_;
};

}  // namespace okvs::schemes::paxos
