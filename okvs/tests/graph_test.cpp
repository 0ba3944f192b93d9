// The peeling graph: refusals, pops, peel and drain orders, and the compact
// form used by encoding checked against the plain one.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "okvs/src/compact_graph.hpp"
#include "okvs/src/graph.hpp"
#include "okvs/tests/test_values.hpp"
#include "support/failure.hpp"

namespace {

using okvs::graph::CompactGraph;
using okvs::graph::UndirectedGraph;
using Graph = UndirectedGraph<int>;
using okvs_test::failure_of;

// (vertex, to, payload) of each edge a procedure hands on, in order.
using Trace = std::vector<std::tuple<std::size_t, std::size_t, std::size_t>>;

struct Recorder {
    Trace& trace;
    template <class E>
    void operator()(std::size_t vertex, const E& e) const {
        trace.emplace_back(vertex, e.to, static_cast<std::size_t>(e.data));
    }
};

template <class G>
Trace peel_trace(G& graph) {
    Trace trace;
    okvs::graph::peel(graph, Recorder{trace});
    return trace;
}

template <class G>
Trace drain_trace(G& graph) {
    Trace trace;
    okvs::graph::drain(graph, Recorder{trace});
    return trace;
}

Graph graph_of(std::size_t n, const std::vector<std::pair<std::size_t, std::size_t>>& edges) {
    Graph g(n);
    int data = 0;
    for (auto [u, v] : edges) EXPECT_TRUE(g.add_edge(u, v, data++));
    return g;
}

TEST(PeelingGraph, RefusesRepeatedEdgesAndLoops) {
    Graph g(10);
    EXPECT_TRUE(g.add_edge(3, 5, 0));
    EXPECT_FALSE(g.add_edge(3, 5, 1));
    EXPECT_FALSE(g.add_edge(5, 3, 2));
    EXPECT_EQ(g.edge_count(), 1u);
    EXPECT_TRUE(g.add_edge(4, 4, 3));
    EXPECT_FALSE(g.add_edge(4, 4, 4));
    EXPECT_TRUE(g.add_edge(4, 9, 5));
    EXPECT_EQ(g.edge_count(), 3u);
    EXPECT_TRUE(g.has_self_loop(4));
    EXPECT_EQ(g.edges_at(4).size(), 1u);  // the loop is not in the list
}

TEST(PeelingGraph, PopsAndTheirFailures) {
    Graph g(5);
    EXPECT_FALSE(g.pop_edge(0).has_value());
    ASSERT_TRUE(g.add_edge(0, 1, 10));
    ASSERT_TRUE(g.add_edge(0, 2, 11));
    ASSERT_TRUE(g.add_edge(0, 3, 12));
    // Two or more entries: nothing happens.
    EXPECT_FALSE(g.pop_only_edge(0).has_value());
    EXPECT_EQ(g.edge_count(), 3u);
    // Removing the twin of {0,1} moves the last entry of list 0 into its place.
    auto e = g.pop_only_edge(1);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->to, 0u);
    EXPECT_EQ(e->data, 10);
    ASSERT_EQ(g.edges_at(0).size(), 2u);
    EXPECT_EQ(g.edges_at(0)[0].to, 3u);
    EXPECT_EQ(g.edges_at(0)[1].to, 2u);
    // pop_edge takes the last entry.
    e = g.pop_edge(0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->to, 2u);
    EXPECT_EQ(g.edges_at(2).size(), 0u);
    EXPECT_EQ(g.edge_count(), 1u);

    EXPECT_EQ(failure_of([&] { g.add_edge(5, 1, 0); }), "index out of bounds: the len is 5 but the index is 5");
    EXPECT_EQ(failure_of([&] { g.add_edge(1, 7, 0); }), "index out of bounds: the len is 5 but the index is 7");
    EXPECT_EQ(failure_of([&] { g.pop_only_edge(6); }), "index out of bounds: the len is 5 but the index is 6");
    EXPECT_EQ(failure_of([&] { g.pop_edge(5); }), "index out of bounds: the len is 5 but the index is 5");
    EXPECT_EQ(g.edge_count(), 1u);
}

TEST(PeelingGraph, EmptyGraph) {
    Graph g(0);
    EXPECT_TRUE(peel_trace(g).empty());
    EXPECT_TRUE(drain_trace(g).empty());
    CompactGraph compact(0, {}, {});
    EXPECT_TRUE(peel_trace(compact).empty());
    auto order = compact.drain_order({});
    ASSERT_TRUE(order);
    EXPECT_TRUE(order->empty());
}

TEST(PeelingGraph, PathPeelsFromItsStart) {
    Graph g = graph_of(3, {{0, 1}, {1, 2}});
    auto stack = okvs::graph::peel(g);
    ASSERT_EQ(stack.size(), 2u);
    // Front first: the newest entry.
    EXPECT_EQ(stack[0].first, 1u);
    EXPECT_EQ(stack[0].second.to, 2u);
    EXPECT_EQ(stack[0].second.data, 1);
    EXPECT_EQ(stack[1].first, 0u);
    EXPECT_EQ(stack[1].second.to, 1u);
    EXPECT_EQ(stack[1].second.data, 0);
    EXPECT_EQ(g.edge_count(), 0u);
}

TEST(PeelingGraph, SelfLoopStopsPeeling) {
    Graph g = graph_of(2, {{0, 0}, {0, 1}});
    EXPECT_EQ(peel_trace(g), (Trace{{1, 0, 1}}));
    EXPECT_EQ(g.edge_count(), 1u);
    EXPECT_EQ(drain_trace(g), (Trace{{0, 0, 0}}));
    EXPECT_EQ(g.edge_count(), 0u);
}

TEST(PeelingGraph, TriangleWithPendantEdge) {
    Graph g = graph_of(4, {{0, 1}, {1, 2}, {2, 0}, {2, 3}});
    EXPECT_EQ(peel_trace(g), (Trace{{3, 2, 3}}));
    EXPECT_EQ(g.edge_count(), 3u);
    EXPECT_EQ(drain_trace(g), (Trace{{0, 2, 2}, {0, 1, 0}, {1, 2, 1}}));
    EXPECT_EQ(g.edge_count(), 0u);
}

TEST(PeelingGraph, PeelingRevisitsLowerVertices) {
    // Star around 3 whose leaves come first: peeling 0, 1 and 2 lowers 3 to
    // degree one at i = 2, and 3 is peeled at once towards 4.
    Graph g = graph_of(5, {{0, 3}, {1, 3}, {2, 3}, {3, 4}});
    EXPECT_EQ(peel_trace(g), (Trace{{0, 3, 0}, {1, 3, 1}, {2, 3, 2}, {3, 4, 3}}));
    EXPECT_EQ(g.edge_count(), 0u);
}

// The compact graph against the plain one: a refusal exactly when the
// plain graph refuses, otherwise the same peel trace and drain trace.
void expect_same_behaviour(std::size_t n, const std::vector<std::pair<std::size_t, std::size_t>>& edges) {
    SCOPED_TRACE("graph on " + std::to_string(n) + " vertices with " + std::to_string(edges.size()) + " edges");
    Graph plain(n);
    bool refused = false;
    int data = 0;
    for (auto [u, v] : edges) {
        if (!plain.add_edge(u, v, data++)) {
            refused = true;
            break;
        }
    }
    std::vector<std::uint32_t> first, second;
    for (auto [u, v] : edges) {
        first.push_back(static_cast<std::uint32_t>(u));
        second.push_back(static_cast<std::uint32_t>(v));
    }
    CompactGraph compact(n, first, second);
    std::vector<okvs::graph::PeelStep> steps;
    Trace compact_peel;
    okvs::graph::peel(compact, [&](std::size_t c, okvs::graph::CompactEdge e) {
        steps.push_back({static_cast<std::uint32_t>(c), e});
        compact_peel.emplace_back(c, e.to, e.data);
    });
    EXPECT_EQ(steps.size() + compact.edge_count(), edges.size());
    const auto order = compact.drain_order(steps);
    ASSERT_EQ(!order, refused);
    if (refused) return;
    EXPECT_EQ(compact_peel, peel_trace(plain));
    ASSERT_EQ(compact.edge_count(), plain.edge_count());
    Trace compact_drain;
    for (const auto& [i, e] : *order) compact_drain.emplace_back(i, e.to, e.data);
    EXPECT_EQ(compact_drain, drain_trace(plain));
}

TEST(CompactGraph, MatchesPlainGraphOnExamples) {
    expect_same_behaviour(3, {{0, 1}, {1, 2}});
    expect_same_behaviour(2, {{0, 0}, {0, 1}});
    expect_same_behaviour(4, {{0, 1}, {1, 2}, {2, 0}, {2, 3}});
    expect_same_behaviour(5, {{0, 3}, {1, 3}, {2, 3}, {3, 4}});
    expect_same_behaviour(10, {{3, 5}, {5, 3}});
    expect_same_behaviour(10, {{3, 5}, {3, 5}, {1, 2}});
    expect_same_behaviour(10, {{4, 4}, {4, 9}, {4, 4}});
    expect_same_behaviour(6, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {2, 3}, {3, 3}, {5, 5}, {4, 0}});
    // A repeat that hangs off a tree is still found: both copies stay.
    expect_same_behaviour(6, {{0, 1}, {1, 2}, {2, 1}, {3, 4}});
}

TEST(CompactGraph, MatchesPlainGraphOnRandomGraphs) {
    std::mt19937_64 rng(20240611);
    int refused = 0, cores = 0;
    for (int round = 0; round < 5000; ++round) {
        const std::size_t n = 1 + rng() % 14;
        const std::size_t edges = rng() % (n + 3);
        std::vector<std::pair<std::size_t, std::size_t>> list;
        std::set<std::pair<std::size_t, std::size_t>> seen;
        bool repeats = false;
        for (std::size_t k = 0; k < edges; ++k) {
            list.emplace_back(rng() % n, rng() % n);
            repeats |= !seen.insert(std::minmax(list.back().first, list.back().second)).second;
        }
        refused += repeats;
        expect_same_behaviour(n, list);
        if (HasFatalFailure()) return;
        Graph g = Graph(n);
        bool added = true;
        for (auto [u, v] : list) added = added && g.add_edge(u, v, 0);
        if (added) {
            okvs::graph::peel(g);
            cores += g.edge_count() > 1;
        }
    }
    // Both outcomes, and 2-cores with several edges to drain, were covered.
    EXPECT_GT(refused, 500);
    EXPECT_GT(cores, 500);
}

TEST(CompactGraph, PopsAndTheirFailures) {
    const std::vector<std::uint32_t> first = {0, 0, 0, 2}, second = {1, 2, 3, 2};
    CompactGraph g(5, first, second);
    EXPECT_FALSE(g.pop_only_edge(0).has_value());
    EXPECT_FALSE(g.pop_only_edge(2).has_value());  // one edge, but a self-loop
    EXPECT_FALSE(g.pop_only_edge(4).has_value());  // no edge
    auto e = g.pop_only_edge(1);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->to, 0u);
    EXPECT_EQ(e->data, 0u);
    e = g.pop_only_edge(3);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->to, 0u);
    EXPECT_EQ(e->data, 2u);
    // Vertex 0 is now left with {0, 2} alone.
    e = g.pop_only_edge(0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->to, 2u);
    EXPECT_EQ(e->data, 1u);
    EXPECT_EQ(g.edge_count(), 1u);
    EXPECT_EQ(failure_of([&] { g.pop_only_edge(9); }), "index out of bounds: the len is 5 but the index is 9");
    const std::vector<std::uint32_t> bad = {7};
    const std::vector<std::uint32_t> ok = {0};
    EXPECT_EQ(failure_of([&] { CompactGraph(5, ok, bad); }), "index out of bounds: the len is 5 but the index is 7");
}

}  // namespace
