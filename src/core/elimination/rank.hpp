// Incremental rank test of rigidity-matrix rows by Gauss-Jordan elimination.
#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace telvora {

// Which column becomes the pivot of a new row. The first column above the tolerance is
// the documented rule; the largest magnitude is the retry after a numerical breakdown.
enum class PivotRule { FirstAboveTolerance, LargestMagnitude };

// The pivot of a row after elimination: the first column whose magnitude exceeds tol, or under
// the retry rule the largest such magnitude (the first on ties); ncols when there is none.
// at(k) reads column k. A NaN never exceeds the tolerance, so it can never become a pivot.
template <class At>
std::size_t find_pivot(std::size_t ncols, double tol, PivotRule rule, At at) {
    if (rule == PivotRule::FirstAboveTolerance) {
        for (std::size_t k = 0; k < ncols; ++k)
            if (std::fabs(at(k)) > tol) return k;
        return ncols;
    }
    std::size_t pivot = ncols;
    double best = 0.0;
    for (std::size_t k = 0; k < ncols; ++k) {
        const double magnitude = std::fabs(at(k));
        if (magnitude > tol && (pivot == ncols || magnitude > best)) {
            pivot = k;
            best = magnitude;
        }
    }
    return pivot;
}

// What a checker is told of the rigidity-matrix rows it will test before the first one arrives.
struct RowShape {
    std::uint64_t ncols = 0;
    std::uint64_t dim = 1;       // coordinates per node: column dim*i+k is coordinate k of node i
    std::uint64_t max_rows = 0;  // no more rows than this will be stored
};

// What the rank phases need of a checker. Both checkers meet it and give the same bits; the
// literal one is the reference the other is tested against.
template <class C>
concept RankChecker = std::constructible_from<C, const RowShape&, double, PivotRule> &&
                      requires(C checker, const std::uint64_t* columns, const double* values, std::size_t count) {
                          // The row that is zero but for values[e] at columns[e], written in that
                          // order (a later write to a column wins); true when it is independent.
                          { checker.add_sparse_row(columns, values, count) } -> std::same_as<bool>;
                          { checker.rank() } -> std::convertible_to<std::uint64_t>;
                          { checker.broke_down() } -> std::same_as<bool>;
                          { checker.saw_non_finite_row() } -> std::same_as<bool>;
                      };

// Throws FatalError when a row handed to a checker does not have ncols entries.
void require_row_length(std::size_t length, std::uint64_t ncols);

// Throws FatalError when a column of a row given as its entries is not below ncols.
void require_columns_within(const std::uint64_t* columns, std::size_t count, std::uint64_t ncols);

// The row of ncols values that is zero but for values[e] at columns[e], written in that order (a
// later write to a column wins); throws as require_columns_within.
std::vector<double> dense_row(const std::uint64_t* columns, const double* values, std::size_t count,
                              std::uint64_t ncols);

bool all_finite(const double* values, std::size_t count);

// Keeps the accepted rows in reduced row-echelon form and decides, one row at a time,
// whether a new row is independent of them under an absolute tolerance.
// This is the literal form of the algorithm and the reference for any faster form.
class IncrementalRankChecker {
public:
    IncrementalRankChecker(std::uint64_t ncols, double tol, PivotRule rule = PivotRule::FirstAboveTolerance);
    IncrementalRankChecker(const RowShape& shape, double tol, PivotRule rule) : IncrementalRankChecker(shape.ncols, tol, rule) {}

    // Takes the row; stores it and returns true when it is independent. Throws
    // FatalError when its length is not ncols.
    bool add_row(std::vector<double> row);
    // The same for the row spelled out from its entries as RankChecker describes. Throws
    // FatalError when a column is out of range.
    bool add_sparse_row(const std::uint64_t* columns, const double* values, std::size_t count);

    std::uint64_t rank() const { return rank_; }
    const std::vector<std::vector<double>>& stored_rows() const { return stored_rows_; }
    const std::vector<std::uint64_t>& pivot_cols() const { return pivot_cols_; }

    // True when an infinite or NaN value has appeared in a row after elimination or in
    // a stored row. Non-finite values never become finite again, so one look suffices.
    bool broke_down() const;
    // True once a row has come out of elimination with an infinite or NaN value: the pass has
    // broken down whatever comes next.
    bool saw_non_finite_row() const { return non_finite_row_seen_; }

private:
    std::vector<std::vector<double>> stored_rows_;
    std::vector<std::uint64_t> pivot_cols_;
    std::uint64_t rank_ = 0;
    std::uint64_t ncols_;
    double tol_;
    PivotRule rule_;
    bool non_finite_row_seen_ = false;
};

}  // namespace telvora
