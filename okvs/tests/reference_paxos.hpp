// A straightforward encoder for comparison with the optimised one: the plain
// peeling graph with a copy of the payload at both ends, the peel stack as
// a front-first list, and the solution as a vector of optional values.
// Dependent 2-cores abandon the attempt, as in the store's encoder.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/src/elimination.hpp"
#include "okvs/src/graph.hpp"
#include "okvs/src/hashable.hpp"
#include "okvs/paxos.hpp"
#include "support/failure.hpp"

namespace okvs_test {

template <okvs::hashable::Hashable K, okvs::bits::Bits V>
std::optional<okvs::schemes::paxos::Paxos<V>> reference_try_encode(std::span<const std::pair<K, V>> pairs,
                                                                    std::uint64_t s1, std::uint64_t s2,
                                                                    std::uint64_t s3) {
    using okvs::schemes::paxos::EdgeData;
    const std::size_t n = pairs.size();
    const std::size_t m = okvs::schemes::paxos::graph_size(n);
    okvs::graph::UndirectedGraph<EdgeData<V>> graph(m);
    if (m != 0) {
        for (const auto& [k, v] : pairs) {
            const std::size_t p1 = okvs::hashable::hash_to_index(k, s1, m);
            const std::size_t p2 = okvs::hashable::hash_to_index(k, s2, m);
            const std::uint64_t w = okvs::hashable::hash_to_bytes(k, s3);
            if (!graph.add_edge(p1, p2, EdgeData<V>{v, w})) return std::nullopt;
        }
    }
    auto stack = okvs::graph::peel(graph);
    if (stack.size() + graph.edge_count() != n) throw support::Failure("peel count mismatch");
    if (graph.edge_count() > 8) return std::nullopt;

    okvs::elimination::SparseBoolMatrix matrix(m + 32);
    std::vector<V> right;
    okvs::graph::drain(graph, [&](std::size_t i, okvs::graph::Edge<EdgeData<V>> e) {
        std::vector<std::size_t> row;
        if (e.to != i) row = {i, e.to};
        const std::uint64_t words[] = {e.data.row_bits};
        for (std::size_t j = 0; j < 32; ++j) {
            if (okvs::bits::bit_at_is_set(words, j)) row.push_back(m + j);
        }
        matrix.push_row(row);
        right.push_back(e.data.value);
    });
    std::vector<std::optional<V>> solution;
    try {
        solution = std::move(matrix).solve(std::move(right));
    } catch (const support::Failure& f) {
        if (std::string(f.what()) != support::kUnwrapNone) throw;
        return std::nullopt;
    }

    okvs::schemes::paxos::Paxos<V> store{s1, s2, s3, {}, {}};
    for (std::size_t j = 0; j < 32; ++j) {
        store.binary_part.push_back(solution[m + j] ? *solution[m + j] : okvs::bits::random<V>());
    }
    for (const auto& [c, e] : stack) {
        V a = e.data.value;
        const std::uint64_t words[] = {e.data.row_bits};
        for (std::size_t j = 0; j < 32; ++j) {
            if (okvs::bits::bit_at_is_set(words, j)) a = a ^ store.binary_part[j];
        }
        if (!solution[e.to]) solution[e.to] = okvs::bits::random<V>();
        a = a ^ *solution[e.to];
        solution[c] = a;
    }
    for (std::size_t i = 0; i < m; ++i) {
        store.graph_part.push_back(solution[i] ? *solution[i] : okvs::bits::random<V>());
    }
    return store;
}

}  // namespace okvs_test
