// A compact form of the peeling graph for encoding. Per vertex it keeps only
// the number of incident non-loop edges and the exclusive-or of their
// indices and of their other endpoints (12 bytes), so the only edge of a
// degree-one vertex, and where it leads, can be read off directly. That is
// all peeling needs, and it gives exactly the pops of `UndirectedGraph` with
// the same edges added in index order.
//
// Two things the plain lists decide are recovered afterwards from the few
// edges that peeling leaves:
//
// - Refusals. The plain graph refuses an edge joining two vertices that are
//   already joined, or a second self-loop at a vertex. Such repeated edges
//   form cycles (or share a vertex with loops), so peeling never removes
//   them: the graph holds a repeat exactly when the remaining edges do.
// - Drain order. The plain list of a remaining vertex is its incident edges
//   in index order, from which every peeled edge was removed, in peel order,
//   by moving the list's last entry into its place. Replaying that for the
//   remaining vertices alone gives their lists, which are then drained as
//   the plain graph drains.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "okvs/src/failures.hpp"
#include "support/failure.hpp"

namespace okvs::graph {

struct CompactEdge {
    std::uint32_t to;    // the other endpoint; for a self-loop the vertex itself
    std::uint32_t data;  // the edge's index
};

// One entry of peeling, in peeling order: `edge` was the only edge of
// `vertex` when it was removed.
struct PeelStep {
    std::uint32_t vertex;
    CompactEdge edge;
};

class CompactGraph {
public:
    // Indices are 32-bit; a vertex's degree word needs its top bit for the
    // self-loop flag.
    static constexpr std::size_t kMaxVertices = 0xFFFFFFFFu;
    static constexpr std::size_t kMaxEdges = 0x7FFFFFFFu;

    // The graph on `vertices` vertices with edge i = {first[i], second[i]}
    // for every i, repeats included (see `drain_order`). Endpoints must be
    // below `vertices`. The arrays must outlive the graph.
    CompactGraph(std::size_t vertices, std::span<const std::uint32_t> first, std::span<const std::uint32_t> second)
        : first_(first),
          second_(second),
          vertices_(checked_size(vertices, first.size(), second.size())),
          removed_((first.size() + 63) / 64, 0) {
        const std::size_t edges = first.size();
        constexpr std::size_t kAhead = 16;  // prefetch distance, in edges
        for (std::size_t i = 0; i < edges; ++i) {
            if (i + kAhead < edges && first[i + kAhead] < vertices && second[i + kAhead] < vertices) {
                __builtin_prefetch(vertices_.data() + first[i + kAhead], 1);
                __builtin_prefetch(vertices_.data() + second[i + kAhead], 1);
            }
            const std::uint32_t u = checked(first[i]);
            const std::uint32_t v = checked(second[i]);
            const auto index = static_cast<std::uint32_t>(i);
            if (u != v) {
                vertices_[u].add(index, v);
                vertices_[v].add(index, u);
            } else {
                vertices_[u].degree |= kLoopFlag;
                loops_.push_back(CompactEdge{u, index});
            }
        }
        edge_count_ = edges;
    }

    std::size_t vertex_count() const noexcept { return vertices_.size(); }
    std::size_t edge_count() const noexcept { return edge_count_; }

    // Removes and returns the edge of v when it is v's only edge and v has no
    // self-loop.
    std::optional<CompactEdge> pop_only_edge(std::size_t v) {
        Vertex& at = vertices_[checked(v)];
        // A degree word of exactly one also says that the loop flag is clear.
        if (at.degree != 1) return std::nullopt;
        const CompactEdge e{at.neighbours, at.edges};
        at = Vertex{};
        vertices_[e.to].remove(e.data, static_cast<std::uint32_t>(v));
        removed_[e.data / 64] |= std::uint64_t{1} << (e.data % 64);
        --edge_count_;
        return e;
    }

    // Fetches the far end of v's edge when v has exactly one.
    void prefetch_for_peeling(std::size_t v) const {
        const Vertex& at = vertices_[v];
        if (at.degree == 1) __builtin_prefetch(vertices_.data() + at.neighbours, 1);
    }

    // After peeling, given its steps in order: the remaining edges as the
    // plain graph's draining would hand them on, (vertex, edge) in order; or
    // nothing when the plain graph would have refused one of the edges.
    std::optional<std::vector<std::pair<std::size_t, CompactEdge>>> drain_order(
        std::span<const PeelStep> peeled) const;

private:
    static constexpr std::uint32_t kLoopFlag = 0x80000000u;

    struct Vertex {
        std::uint32_t degree = 0;      // non-loop edges; top bit: has a self-loop
        std::uint32_t edges = 0;       // exclusive-or of their indices
        std::uint32_t neighbours = 0;  // exclusive-or of their other endpoints

        void add(std::uint32_t edge, std::uint32_t neighbour) {
            ++degree;
            edges ^= edge;
            neighbours ^= neighbour;
        }
        void remove(std::uint32_t edge, std::uint32_t neighbour) {
            --degree;
            edges ^= edge;
            neighbours ^= neighbour;
        }
    };

    static std::size_t checked_size(std::size_t vertices, std::size_t edges, std::size_t second_edges) {
        if (vertices > kMaxVertices || edges > kMaxEdges || second_edges != edges) {
            support::fail("graph too large for 32-bit indices: " + std::to_string(vertices) + " vertices, " +
                          std::to_string(edges) + " edges");
        }
        return vertices;
    }

    std::uint32_t checked(std::size_t v) const {
        if (v >= vertices_.size()) detail::fail_index_out_of_bounds(vertices_.size(), v);
        return static_cast<std::uint32_t>(v);
    }

    std::span<const std::uint32_t> first_, second_;
    std::vector<Vertex> vertices_;
    std::vector<CompactEdge> loops_;
    std::vector<std::uint64_t> removed_;  // one bit per edge: peeled
    std::size_t edge_count_ = 0;
};

inline std::optional<std::vector<std::pair<std::size_t, CompactEdge>>> CompactGraph::drain_order(
    std::span<const PeelStep> peeled) const {
    std::vector<std::pair<std::size_t, CompactEdge>> order;
    // The remaining edges, and a repeat among them.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ends;
    for (std::size_t word = 0; word < removed_.size(); ++word) {
        for (std::uint64_t left = ~removed_[word]; left != 0; left &= left - 1) {
            const std::size_t i = 64 * word + static_cast<std::size_t>(__builtin_ctzll(left));
            if (i >= first_.size()) break;
            ends.push_back(std::minmax(first_[i], second_[i]));
        }
    }
    if (ends.empty()) return order;
    std::sort(ends.begin(), ends.end());
    if (std::adjacent_find(ends.begin(), ends.end()) != ends.end()) return std::nullopt;

    // The vertices they touch, ascending, and a mark for each.
    std::vector<std::uint32_t> core;
    for (auto [u, v] : ends) {
        core.push_back(u);
        core.push_back(v);
    }
    std::sort(core.begin(), core.end());
    core.erase(std::unique(core.begin(), core.end()), core.end());
    std::vector<std::uint64_t> marked((vertices_.size() + 63) / 64, 0);
    for (std::uint32_t v : core) marked[v / 64] |= std::uint64_t{1} << (v % 64);
    auto slot = [&](std::uint32_t v) -> std::optional<std::size_t> {
        if (!((marked[v / 64] >> (v % 64)) & 1u)) return std::nullopt;
        return static_cast<std::size_t>(std::lower_bound(core.begin(), core.end(), v) - core.begin());
    };

    // Their plain lists: every incident non-loop edge in index order, ...
    std::vector<std::vector<CompactEdge>> lists(core.size());
    for (std::size_t i = 0; i < first_.size(); ++i) {
        const std::uint32_t u = first_[i], v = second_[i];
        if (u == v) continue;
        const auto index = static_cast<std::uint32_t>(i);
        if (auto k = slot(u)) lists[*k].push_back(CompactEdge{v, index});
        if (auto k = slot(v)) lists[*k].push_back(CompactEdge{u, index});
    }
    // ... less the peeled ones, each removed from its far end in peel order.
    auto remove_twin = [&](std::size_t k, std::uint32_t v) {
        auto& list = lists[k];
        for (std::size_t j = 0; j < list.size(); ++j) {
            if (list[j].to == v) {
                list[j] = list.back();
                list.pop_back();
                return;
            }
        }
        support::fail(support::kUnwrapNone);
    };
    for (const PeelStep& step : peeled) {
        if (auto k = slot(step.edge.to)) remove_twin(*k, step.vertex);
    }

    // Draining: per vertex ascending, its self-loop, then its list from the
    // last entry, each edge's twin leaving the other list.
    for (std::size_t k = 0; k < core.size(); ++k) {
        const std::uint32_t v = core[k];
        for (const CompactEdge& loop : loops_) {
            if (loop.to == v) order.emplace_back(v, loop);
        }
        while (!lists[k].empty()) {
            const CompactEdge e = lists[k].back();
            lists[k].pop_back();
            remove_twin(*slot(e.to), v);
            order.emplace_back(v, e);
        }
    }
    return order;
}

}  // namespace okvs::graph
