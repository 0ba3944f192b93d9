// The peeling graph of an encoding attempt: one vertex per graph cell, one
// edge per key between its two positions. This file holds the plain
// representation (a list of edges per vertex, each non-loop edge stored at
// both ends with its own copy of the payload, self-loops in a map) and the
// two procedures run over a graph, peeling and draining, written once for
// every representation that offers `pop_only_edge` and `pop_edge`.
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "okvs/src/failures.hpp"
#include "support/failure.hpp"

namespace okvs::graph {

template <class T>
struct Edge {
    std::size_t to;  // the other endpoint; for a self-loop the vertex itself
    T data;
};

template <class T>
class UndirectedGraph {
public:
    explicit UndirectedGraph(std::size_t vertices) : adjacency_(vertices) {}

    std::size_t vertex_count() const noexcept { return adjacency_.size(); }
    std::size_t edge_count() const noexcept { return edge_count_; }

    // The list of non-loop edges at v, in its current order.
    const std::vector<Edge<T>>& edges_at(std::size_t v) const { return adjacency_[check(v)]; }
    bool has_self_loop(std::size_t v) const { return self_loops_.contains(v); }

    // Adds {u, v}; false (graph unchanged) when that edge, or the self-loop
    // at u, is already present.
    bool add_edge(std::size_t u, std::size_t v, T data) {
        auto& at_u = adjacency_[check(u)];
        for (const auto& e : at_u) {
            if (e.to == v) return false;
        }
        if (u != v) {
            auto& at_v = adjacency_[check(v)];
            at_u.push_back(Edge<T>{v, data});
            at_v.push_back(Edge<T>{u, std::move(data)});
        } else {
            if (self_loops_.contains(u)) return false;
            self_loops_.emplace(u, Edge<T>{u, std::move(data)});
        }
        ++edge_count_;
        return true;
    }

    // Removes and returns the edge of v when it is v's only edge and v has no
    // self-loop.
    std::optional<Edge<T>> pop_only_edge(std::size_t v) {
        auto& at_v = adjacency_[check(v)];
        if (at_v.size() != 1 || self_loops_.contains(v)) return std::nullopt;
        Edge<T> e = std::move(at_v.front());
        at_v.clear();
        remove_twin(e.to, v);
        --edge_count_;
        return e;
    }

    // Removes and returns the self-loop of v if it has one, otherwise the
    // last entry of v's list.
    std::optional<Edge<T>> pop_edge(std::size_t v) {
        if (auto loop = self_loops_.find(v); loop != self_loops_.end()) {
            Edge<T> e = std::move(loop->second);
            self_loops_.erase(loop);
            --edge_count_;
            return e;
        }
        auto& at_v = adjacency_[check(v)];
        if (at_v.empty()) return std::nullopt;
        Edge<T> e = std::move(at_v.back());
        at_v.pop_back();
        remove_twin(e.to, v);
        --edge_count_;
        return e;
    }

private:
    std::size_t check(std::size_t v) const {
        if (v >= adjacency_.size()) detail::fail_index_out_of_bounds(adjacency_.size(), v);
        return v;
    }

    // Removes the first entry of list `at` pointing to `v` by moving the
    // list's last entry into its place.
    void remove_twin(std::size_t at, std::size_t v) {
        auto& list = adjacency_[check(at)];
        for (std::size_t k = 0; k < list.size(); ++k) {
            if (list[k].to == v) {
                if (k + 1 != list.size()) list[k] = std::move(list.back());
                list.pop_back();
                return;
            }
        }
        support::fail(support::kUnwrapNone);
    }

    std::unordered_map<std::size_t, Edge<T>> self_loops_;
    std::size_t edge_count_ = 0;
    std::vector<std::vector<Edge<T>>> adjacency_;
};

// What peeling needs of a graph representation ...
template <class G>
concept PeelableGraph = requires(G& graph, std::size_t v) {
    { graph.vertex_count() } -> std::convertible_to<std::size_t>;
    { graph.edge_count() } -> std::convertible_to<std::size_t>;
    { graph.pop_only_edge(v)->to } -> std::convertible_to<std::size_t>;
};

// ... and what draining needs.
template <class G>
concept DrainableGraph = requires(G& graph, std::size_t v) {
    { graph.vertex_count() } -> std::convertible_to<std::size_t>;
    { graph.pop_edge(v)->to } -> std::convertible_to<std::size_t>;
};

// Peels every vertex whose degree is one, following each removed edge to its
// other endpoint at once. Calls `peeled(c, e)` for every removed edge e (the
// only edge of c when removed) in removal order; the peel stack, read front
// first, is that sequence reversed.
template <PeelableGraph G, class Peeled>
void peel(G& graph, Peeled&& peeled) {
    const std::size_t n = graph.vertex_count();
    constexpr std::size_t kAhead = 16;  // prefetch distance, in vertices
    for (std::size_t i = 0; i < n; ++i) {
        // A representation may fetch ahead what peeling vertex i + kAhead
        // is likely to touch; that changes nothing but timing.
        if constexpr (requires { graph.prefetch_for_peeling(i); }) {
            if (i + kAhead < n) graph.prefetch_for_peeling(i + kAhead);
        }
        std::size_t c = i;
        while (auto e = graph.pop_only_edge(c)) {
            const std::size_t next = e->to;
            peeled(c, std::move(*e));
            c = next;
        }
    }
}

// The peel stack itself, front (newest) first.
template <class T>
std::vector<std::pair<std::size_t, Edge<T>>> peel(UndirectedGraph<T>& graph) {
    std::vector<std::pair<std::size_t, Edge<T>>> stack;
    peel(graph, [&](std::size_t c, Edge<T> e) { stack.emplace_back(c, std::move(e)); });
    return {std::make_move_iterator(stack.rbegin()), std::make_move_iterator(stack.rend())};
}

// Removes every remaining edge, vertex by vertex in ascending order, calling
// `consume(i, e)` for each edge e popped at vertex i: the self-loop first,
// then the list from its last entry to its first.
template <DrainableGraph G, class Consume>
void drain(G& graph, Consume&& consume) {
    const std::size_t n = graph.vertex_count();
    for (std::size_t i = 0; i < n; ++i) {
        while (auto e = graph.pop_edge(i)) consume(i, std::move(*e));
    }
}

}  // namespace okvs::graph
