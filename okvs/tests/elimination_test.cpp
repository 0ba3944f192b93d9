// The GF(2) solver: which entries get which values, where random values go,
// failures and their messages, and agreement with a column-by-column
// reference of the same algorithm.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "okvs/src/elimination.hpp"
#include "okvs/tests/test_values.hpp"
#include "support/failure.hpp"

namespace {

using okvs::elimination::SparseBoolMatrix;
using okvs_test::Block;
using okvs_test::Draws;
using okvs_test::ScriptedDraws;
using Solution = std::vector<std::optional<Block>>;

Block n_(std::uint64_t k) { return Block::numbered(k); }
// Right-hand values far from the draw numbers.
Block v_(std::uint64_t k) { return Block::numbered(1000 + k); }

Solution solve(std::size_t columns, const std::vector<std::vector<std::size_t>>& rows, std::vector<Block> values) {
    SparseBoolMatrix matrix(columns);
    for (const auto& row : rows) matrix.push_row(row);
    return std::move(matrix).solve(std::move(values));
}

std::string solve_failure(std::size_t columns, const std::vector<std::vector<std::size_t>>& rows,
                          std::vector<Block> values) {
    return okvs_test::failure_of([&] { solve(columns, rows, std::move(values)); });
}

void expect_only(const Solution& s, const std::set<std::size_t>& held) {
    for (std::size_t c = 0; c < s.size(); ++c) EXPECT_EQ(s[c].has_value(), held.contains(c)) << "column " << c;
}

TEST(Solver, NoRows) {
    ScriptedDraws draws;
    Solution s = solve(5, {}, {});
    EXPECT_EQ(s.size(), 5u);
    expect_only(s, {});
    EXPECT_TRUE(solve(0, {}, {}).empty());
    EXPECT_EQ(Draws::count, 0u);
}

TEST(Solver, SmallSystems) {
    {
        ScriptedDraws draws;
        Solution s = solve(6, {{4}}, {v_(1)});
        expect_only(s, {4});
        EXPECT_EQ(*s[4], v_(1));
    }
    {
        // {a, b} = s: a keeps its draw, b is determined.
        ScriptedDraws draws;
        Solution s = solve(6, {{1, 3}}, {v_(1)});
        expect_only(s, {1, 3});
        EXPECT_EQ(*s[1], n_(1));
        EXPECT_EQ(*s[3], v_(1) ^ n_(1));
        EXPECT_EQ(Draws::count, 2u);
    }
    {
        // {a, b} = s, {b} = t: no randomness left.
        ScriptedDraws draws;
        Solution s = solve(6, {{1, 3}, {3}}, {v_(1), v_(2)});
        expect_only(s, {1, 3});
        EXPECT_EQ(*s[3], v_(2));
        EXPECT_EQ(*s[1], v_(1) ^ v_(2));
    }
    {
        // {a, b} = s, {a, c} = t: the second row becomes {b, c} = s ^ t.
        ScriptedDraws draws;
        Solution s = solve(6, {{0, 2}, {0, 5}}, {v_(1), v_(2)});
        expect_only(s, {0, 2, 5});
        EXPECT_EQ(*s[2], n_(1));
        EXPECT_EQ(*s[5], v_(1) ^ v_(2) ^ n_(1));
        EXPECT_EQ(*s[0], v_(1) ^ n_(1));
        EXPECT_EQ(Draws::count, 3u);
    }
    {
        // A later row holding the pivot column is swapped up; columns given
        // in any order or twice are one set.
        ScriptedDraws draws;
        Solution s = solve(8, {{5}, {5, 2, 5}}, {v_(1), v_(2)});
        expect_only(s, {2, 5});
        EXPECT_EQ(*s[5], v_(1));
        EXPECT_EQ(*s[2], v_(1) ^ v_(2));
    }
    {
        // The free column that keeps its draw is the row's smallest empty one.
        ScriptedDraws draws;
        Solution s = solve(4, {{1, 2, 3}, {2, 3}}, {v_(1), v_(2)});
        expect_only(s, {1, 2, 3});
        EXPECT_EQ(*s[2], n_(1));
        EXPECT_EQ(*s[3], v_(2) ^ n_(1));
        EXPECT_EQ(*s[1], v_(1) ^ v_(2));
    }
    {
        // Rows are kept as ascending sets.
        SparseBoolMatrix matrix(9);
        matrix.push_row({7, 0, 2, 7});
        EXPECT_EQ(matrix.rows(), (std::vector<std::vector<std::size_t>>{{0, 2, 7}}));
    }
}

TEST(Solver, Failures) {
    {
        ScriptedDraws draws;
        EXPECT_EQ(solve_failure(4, {{0, 1}, {0, 1}}, {v_(1), v_(1)}), support::kUnwrapNone);
        EXPECT_EQ(solve_failure(4, {{0, 1}, {1, 2}, {0, 2}}, {v_(1), v_(2), v_(3)}), support::kUnwrapNone);
        EXPECT_EQ(solve_failure(4, {{1}, {}}, {v_(1), v_(2)}), support::kUnwrapNone);
        EXPECT_EQ(solve_failure(4, {{}}, {v_(1)}), support::kUnwrapNone);
        // Dependent systems fail before anything is drawn.
        EXPECT_EQ(Draws::count, 0u);
    }
    EXPECT_EQ(solve_failure(4, {{0}, {1}, {2}}, {v_(1), v_(2)}),
              "assertion `left == right` failed\n  left: 3\n right: 2");
    EXPECT_EQ(solve_failure(4, {}, {v_(1)}), "assertion `left == right` failed\n  left: 0\n right: 1");
    EXPECT_EQ(solve_failure(5, {{1, 7}}, {v_(1)}), "index out of bounds: the len is 5 but the index is 7");
    EXPECT_EQ(solve_failure(5, {{9}}, {v_(1)}), "index out of bounds: the len is 5 but the index is 9");
    // Back substitution meets the last row first.
    EXPECT_EQ(solve_failure(5, {{9}, {}}, {v_(1), v_(2)}), support::kUnwrapNone);
    EXPECT_EQ(solve_failure(5, {{}, {9}}, {v_(1), v_(2)}), "index out of bounds: the len is 5 but the index is 9");
}

TEST(Solver, ReportsDependencyWithoutFailing) {
    ScriptedDraws draws;
    SparseBoolMatrix matrix(4);
    matrix.push_row({0, 1});
    matrix.push_row({0, 1});
    okvs::elimination::OptionalSolution<Block> solution{Solution(4)};
    EXPECT_FALSE(std::move(matrix).solve_into(std::vector<Block>{v_(1), v_(2)}, solution));
    expect_only(solution.entries, {});
    EXPECT_EQ(Draws::count, 0u);
}

// The algorithm as stated: ordered-set rows, every column scanned in turn.
Solution reference_solve(std::size_t n, std::vector<std::set<std::size_t>> rows, std::vector<Block> values) {
    std::size_t r = 0;
    for (std::size_t c = 0; c < n && r < rows.size(); ++c) {
        std::size_t p = r;
        while (p < rows.size() && !rows[p].contains(c)) ++p;
        if (p == rows.size()) continue;
        std::swap(rows[p], rows[r]);
        std::swap(values[p], values[r]);
        for (std::size_t k = r + 1; k < rows.size(); ++k) {
            if (!rows[k].contains(c)) continue;
            for (std::size_t x : rows[r]) {
                if (!rows[k].erase(x)) rows[k].insert(x);
            }
            values[k] = values[k] ^ values[r];
        }
        ++r;
    }
    Solution s(n);
    for (std::size_t i = rows.size(); i-- > 0;) {
        std::optional<std::size_t> last;
        for (std::size_t c : rows[i]) {
            if (!s[c]) {
                s[c] = okvs::bits::random<Block>();
                last = c;
            }
            values[i] = values[i] ^ *s[c];
        }
        if (!last) throw support::Failure(support::kUnwrapNone);
        s[*last] = *s[*last] ^ values[i];
    }
    return s;
}

TEST(Solver, MatchesColumnScanReferenceOnRandomSystems) {
    std::mt19937_64 rng(77);
    int solved = 0, dependent = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::size_t n = 1 + rng() % 40;
        const std::size_t count = rng() % 9;
        std::vector<std::vector<std::size_t>> rows(count);
        std::vector<std::set<std::size_t>> sets(count);
        std::vector<Block> values;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t size = rng() % 5;
            for (std::size_t k = 0; k < size; ++k) rows[i].push_back(rng() % n);
            sets[i] = std::set<std::size_t>(rows[i].begin(), rows[i].end());
            values.push_back(v_(rng()));
        }
        std::optional<Solution> expected, actual;
        std::uint64_t expected_draws = 0;
        {
            ScriptedDraws draws;
            try {
                expected = reference_solve(n, sets, values);
            } catch (const support::Failure&) {
            }
            expected_draws = Draws::count;
        }
        {
            ScriptedDraws draws;
            try {
                actual = solve(n, rows, values);
            } catch (const support::Failure& f) {
                EXPECT_STREQ(f.what(), support::kUnwrapNone);
            }
            // A failing system draws nothing; a solved one exactly as the
            // reference does.
            EXPECT_EQ(Draws::count, expected ? expected_draws : 0u);
        }
        ASSERT_EQ(actual.has_value(), expected.has_value()) << "round " << round;
        if (!actual) {
            ++dependent;
            continue;
        }
        ++solved;
        EXPECT_EQ(*actual, *expected) << "round " << round;
        // Every pushed equation holds.
        for (std::size_t i = 0; i < count; ++i) {
            std::optional<Block> sum;
            for (std::size_t c : sets[i]) sum = sum ? *sum ^ *(*actual)[c] : *(*actual)[c];
            ASSERT_TRUE(sum);
            EXPECT_EQ(*sum, values[i]);
        }
    }
    EXPECT_GT(solved, 1000);
    EXPECT_GT(dependent, 100);
}

}  // namespace
