// A sparse linear system over GF(2) whose unknowns are store cells and whose
// right-hand sides are values: row i says that the exclusive-or of the cells
// it names equals value i. Solving gives a value to every column named by
// some row, drawing random values for columns the equations leave free.
//
// Rows are kept as ascending vectors of distinct columns. Elimination keeps
// the invariant that every row at or after the next pivot position names no
// column below the column being considered, so the next pivot column is the
// smallest first column among those rows; jumping straight to it visits the
// same pivots, in the same order, as scanning every column in turn.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "okvs/bits.hpp"
#include "okvs/src/failures.hpp"
#include "support/failure.hpp"

namespace okvs::elimination {

// Where `solve` puts its results: one entry per column, empty or holding a
// value.
template <class S, class V>
concept Solution = requires(S& solution, const S& view, std::size_t column, V value) {
    { view.holds(column) } -> std::convertible_to<bool>;
    { view.at(column) } -> std::convertible_to<const V&>;
    solution.store(column, std::move(value));
};

// The plain solution: a vector of optional values.
template <bits::Bits V>
struct OptionalSolution {
    std::vector<std::optional<V>> entries;

    bool holds(std::size_t column) const { return entries[column].has_value(); }
    const V& at(std::size_t column) const { return *entries[column]; }
    void store(std::size_t column, V value) { entries[column] = std::move(value); }
};

class SparseBoolMatrix {
public:
    using Row = std::vector<std::size_t>;  // ascending, distinct columns

    explicit SparseBoolMatrix(std::size_t column_count) : column_count_(column_count) {}

    std::size_t column_count() const noexcept { return column_count_; }
    std::size_t row_count() const noexcept { return rows_.size(); }
    const std::vector<Row>& rows() const noexcept { return rows_; }

    // Appends a row naming the given columns, in any order (a column listed
    // twice is named once). Columns are not checked here.
    void push_row(Row row) {
        std::sort(row.begin(), row.end());
        row.erase(std::unique(row.begin(), row.end()), row.end());
        rows_.push_back(std::move(row));
    }

    // Solves the system with values[i] the right-hand side of row i. Fails
    // when the counts differ, with "called `Option::unwrap()` on a `None`
    // value" when the rows are linearly dependent (no random value is drawn
    // then), and with an index-out-of-bounds message for a column not below
    // the column count.
    template <bits::Bits V>
    std::vector<std::optional<V>> solve(std::vector<V> values) && {
        OptionalSolution<V> solution{std::vector<std::optional<V>>(column_count_)};
        if (!std::move(*this).solve_into(std::move(values), solution)) support::fail(support::kUnwrapNone);
        return std::move(solution.entries);
    }

    // As `solve`, into entries the caller provides (all empty on entry), but
    // reports linearly dependent rows by returning false instead of failing;
    // the solution is then untouched and no random value has been drawn.
    template <bits::Bits V, Solution<V> S>
    bool solve_into(std::vector<V> values, S& solution) && {
        detail::assert_equal(rows_.size(), values.size());
        const std::size_t rank = eliminate(values);
        if (rank < rows_.size()) {
            // Rows from position `rank` on got no pivot: each is empty or
            // names only columns out of range. Back substitution starts with
            // the last of them and stops at it before drawing anything.
            const Row& last = rows_.back();
            if (last.empty()) return false;
            detail::fail_index_out_of_bounds(column_count_, last.front());
        }
        for (std::size_t i = rows_.size(); i-- > 0;) {
            settle_row(rows_[i], values[i], solution);
        }
        return true;
    }

private:
    // Forward elimination; returns the number of pivots placed.
    template <bits::Bits V>
    std::size_t eliminate(std::vector<V>& values) {
        std::size_t r = 0;
        while (r < rows_.size()) {
            std::optional<std::size_t> column;
            for (std::size_t k = r; k < rows_.size(); ++k) {
                if (!rows_[k].empty() && (!column || rows_[k].front() < *column)) column = rows_[k].front();
            }
            if (!column || *column >= column_count_) break;
            std::size_t p = r;
            while (rows_[p].empty() || rows_[p].front() != *column) ++p;
            if (p != r) {
                std::swap(rows_[p], rows_[r]);
                std::swap(values[p], values[r]);
            }
            for (std::size_t k = r + 1; k < rows_.size(); ++k) {
                if (!rows_[k].empty() && rows_[k].front() == *column) {
                    rows_[k] = symmetric_difference(rows_[k], rows_[r]);
                    values[k] = static_cast<V>(values[k] ^ values[r]);
                }
            }
            ++r;
        }
        return r;
    }

    static Row symmetric_difference(const Row& a, const Row& b) {
        Row out;
        out.reserve(a.size() + b.size());
        std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
        return out;
    }

    // Back substitution of one row: known columns fold into its value, empty
    // ones get fresh random values, and the last of those is then corrected
    // so that the row's equation holds.
    template <bits::Bits V, Solution<V> S>
    void settle_row(const Row& row, V& value, S& solution) const {
        std::optional<std::size_t> last_free;
        for (std::size_t c : row) {
            if (c >= column_count_) detail::fail_index_out_of_bounds(column_count_, c);
            if (solution.holds(c)) {
                value = static_cast<V>(value ^ solution.at(c));
            } else {
                V x = bits::random<V>();
                value = static_cast<V>(value ^ x);
                solution.store(c, std::move(x));
                last_free = c;
            }
        }
        if (!last_free) support::fail(support::kUnwrapNone);
        solution.store(*last_free, static_cast<V>(solution.at(*last_free) ^ value));
    }

    std::size_t column_count_;
    std::vector<Row> rows_;
};

}  // namespace okvs::elimination
