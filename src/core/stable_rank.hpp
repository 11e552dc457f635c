// Incremental rank test with partial pivoting, for rigidity at given positions of any graph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rank.hpp"

namespace telvora {

// Keeps the accepted rows in reduced row-echelon form, like IncrementalRankChecker, but a new row
// is eliminated at every stored pivot where it is not exactly zero, its pivot is its entry of
// largest magnitude, and it counts as independent when that magnitude exceeds tol. Leaving small
// values in place, as the literal checker does below tol, lets them grow through later updates
// until dependent rows of sparse graphs pass for independent ones; taking the largest entry as
// pivot keeps every stored entry at most 1 in magnitude when it is stored.
class StableRankChecker {
public:
    StableRankChecker(std::uint64_t ncols, double tol);
    // The pivot rule is always the largest magnitude; the parameter serves the RankChecker concept.
    StableRankChecker(const RowShape& shape, double tol, PivotRule) : StableRankChecker(shape.ncols, tol) {}

    bool add_row(std::vector<double> row);
    bool add_sparse_row(const std::uint64_t* columns, const double* values, std::size_t count);

    std::uint64_t rank() const { return pivot_cols_.size(); }
    const std::vector<std::vector<double>>& stored_rows() const { return stored_rows_; }
    const std::vector<std::uint64_t>& pivot_cols() const { return pivot_cols_; }
    bool broke_down() const { return non_finite_row_seen_; }
    bool saw_non_finite_row() const { return non_finite_row_seen_; }

private:
    std::vector<std::vector<double>> stored_rows_;
    std::vector<std::uint64_t> pivot_cols_;
    std::uint64_t ncols_;
    double tol_;
    bool non_finite_row_seen_ = false;
};

}  // namespace telvora
