// A compact form of the peeling graph for encoding, built in one go from the
// endpoint arrays of all edges. It gives exactly the lists, refusals and pop
// results of `UndirectedGraph` with edges added in index order, while holding
// per edge only its index (the payload stays with the caller) and per vertex
// a slice of one shared array instead of a list of its own:
//
// - every list occupies a fixed slice of `entries_`, sized by the vertex's
//   final degree; the first `length` entries of the slice are the list;
// - entries are appended in edge order, so each list starts out as the one
//   `add_edge` would build, and removal moves the last entry into the gap
//   just as the plain lists do;
// - a vertex's self-loop is flagged in the top bit of its length, and the
//   loop itself lives in a short side list (self-loops are rare).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "okvs/src/failures.hpp"
#include "support/failure.hpp"

namespace okvs::graph {

struct FlatEdge {
    std::uint32_t to;    // the other endpoint; for a self-loop the vertex itself
    std::uint32_t data;  // the edge's index
};

class FlatGraph {
public:
    // Largest vertex and edge counts: indices are 32-bit, and a vertex's
    // length needs its top bit for the self-loop flag.
    static constexpr std::size_t kMaxVertices = 0xFFFFFFFFu;
    static constexpr std::size_t kMaxEdges = 0x7FFFFFFFu;

    // The graph on `vertices` vertices holding edge i = {first[i], second[i]}
    // for every i, added in ascending i; nothing when an edge is refused
    // (an edge joining the same two vertices as an earlier one, or a second
    // self-loop at a vertex). Endpoints must be below `vertices`.
    static std::optional<FlatGraph> build(std::size_t vertices, std::span<const std::uint32_t> first,
                                          std::span<const std::uint32_t> second) {
        if (vertices > kMaxVertices || first.size() > kMaxEdges || second.size() != first.size()) {
            support::fail("graph too large for 32-bit indices: " + std::to_string(vertices) + " vertices, " +
                          std::to_string(first.size()) + " edges");
        }
        FlatGraph graph(vertices);
        const std::size_t edges = first.size();
        for (std::size_t i = 0; i < edges; ++i) {
            const std::uint32_t u = graph.checked(first[i]);
            const std::uint32_t v = graph.checked(second[i]);
            if (u != v) {
                ++graph.length_[u];
                ++graph.length_[v];
            }
        }
        std::uint32_t start = 0;
        for (std::size_t v = 0; v < vertices; ++v) {
            graph.start_[v] = start;
            start += graph.length_[v];
            graph.length_[v] = 0;
        }
        graph.start_[vertices] = start;
        graph.entries_.resize(start);
        for (std::size_t i = 0; i < edges; ++i) {
            const std::uint32_t u = first[i];
            const std::uint32_t v = second[i];
            const auto index = static_cast<std::uint32_t>(i);
            const FlatEdge* list = graph.entries_.data() + graph.start_[u];
            const std::uint32_t count = graph.length_[u] & ~kLoopFlag;
            for (std::uint32_t k = 0; k < count; ++k) {
                if (list[k].to == v) return std::nullopt;
            }
            if (u != v) {
                graph.entries_[graph.start_[u] + count] = FlatEdge{v, index};
                ++graph.length_[u];
                graph.entries_[graph.start_[v] + (graph.length_[v] & ~kLoopFlag)] = FlatEdge{u, index};
                ++graph.length_[v];
            } else {
                if (graph.length_[u] & kLoopFlag) return std::nullopt;
                graph.length_[u] |= kLoopFlag;
                graph.loops_.push_back(FlatEdge{u, index});
            }
            ++graph.edge_count_;
        }
        return graph;
    }

    std::size_t vertex_count() const noexcept { return length_.size(); }
    std::size_t edge_count() const noexcept { return edge_count_; }

    // The list of non-loop edges at v, in its current order.
    std::span<const FlatEdge> edges_at(std::size_t v) const {
        checked(v);
        return {entries_.data() + start_[v], length_[v] & ~kLoopFlag};
    }
    bool has_self_loop(std::size_t v) const { return (length_[checked(v)] & kLoopFlag) != 0; }

    std::optional<FlatEdge> pop_only_edge(std::size_t v) {
        // A length of exactly one also says that the loop flag is clear.
        if (length_[checked(v)] != 1) return std::nullopt;
        const FlatEdge e = entries_[start_[v]];
        length_[v] = 0;
        remove_twin(e.to, static_cast<std::uint32_t>(v));
        --edge_count_;
        return e;
    }

    std::optional<FlatEdge> pop_edge(std::size_t v) {
        std::uint32_t& length = length_[checked(v)];
        if (length & kLoopFlag) {
            length &= ~kLoopFlag;
            for (std::size_t k = 0; k < loops_.size(); ++k) {
                if (loops_[k].to == v) {
                    const FlatEdge e = loops_[k];
                    loops_[k] = loops_.back();
                    loops_.pop_back();
                    --edge_count_;
                    return e;
                }
            }
            support::fail(support::kUnwrapNone);
        }
        if (length == 0) return std::nullopt;
        --length;
        const FlatEdge e = entries_[start_[v] + length];
        remove_twin(e.to, static_cast<std::uint32_t>(v));
        --edge_count_;
        return e;
    }

private:
    static constexpr std::uint32_t kLoopFlag = 0x80000000u;

    explicit FlatGraph(std::size_t vertices) : start_(vertices + 1), length_(vertices) {}

    std::uint32_t checked(std::size_t v) const {
        if (v >= length_.size()) detail::fail_index_out_of_bounds(length_.size(), v);
        return static_cast<std::uint32_t>(v);
    }

    void remove_twin(std::uint32_t at, std::uint32_t v) {
        FlatEdge* list = entries_.data() + start_[at];
        const std::uint32_t count = length_[at] & ~kLoopFlag;
        for (std::uint32_t k = 0; k < count; ++k) {
            if (list[k].to == v) {
                list[k] = list[count - 1];
                --length_[at];
                return;
            }
        }
        support::fail(support::kUnwrapNone);
    }

    std::vector<std::uint32_t> start_;   // slice start of each list, plus the end
    std::vector<std::uint32_t> length_;  // list length, top bit: has a self-loop
    std::vector<FlatEdge> entries_;
    std::vector<FlatEdge> loops_;
    std::size_t edge_count_ = 0;
};

}  // namespace okvs::graph
