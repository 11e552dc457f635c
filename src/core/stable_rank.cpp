// Incremental rank test with partial pivoting, for rigidity at given positions of any graph.
#include "stable_rank.hpp"

#include <cmath>


namespace telvora {

StableRankChecker::StableRankChecker(std::uint64_t ncols, double tol) : ncols_(ncols), tol_(tol) {}

bool StableRankChecker::add_sparse_row(const std::uint64_t* columns, const double* values, std::size_t count) {
    return add_row(dense_row(columns, values, count, ncols_));
}

bool StableRankChecker::add_row(std::vector<double> row) {
    require_row_length(row.size(), ncols_);
    const std::size_t ncols = row.size();
    double* x = row.data();
    for (std::size_t s = 0; s < stored_rows_.size(); ++s) {
        const std::size_t p = pivot_cols_[s];
        const double v = x[p];
        if (v == 0.0) continue;
        const double* stored = stored_rows_[s].data();
        for (std::size_t k = 0; k < ncols; ++k) x[k] = x[k] - stored[k] * v;
        x[p] = 0.0;  // exactly: the stored row is 1 there
    }
    if (!all_finite(x, ncols)) {
        non_finite_row_seen_ = true;
        return false;
    }
    std::size_t pivot = ncols;
    double largest = 0.0;
    for (std::size_t k = 0; k < ncols; ++k) {
        const double magnitude = std::fabs(x[k]);
        if (magnitude > largest) largest = magnitude, pivot = k;
    }
    if (!(largest > tol_)) return false;

    const double pv = x[pivot];
    for (std::size_t k = 0; k < ncols; ++k) x[k] = x[k] / pv;
    x[pivot] = 1.0;
    for (std::vector<double>& stored_row : stored_rows_) {
        double* stored = stored_row.data();
        const double f = stored[pivot];
        if (f == 0.0) continue;
        for (std::size_t k = 0; k < ncols; ++k) stored[k] = stored[k] - x[k] * f;
        stored[pivot] = 0.0;
    }
    pivot_cols_.push_back(pivot);
    stored_rows_.push_back(std::move(row));
    return true;
}

}  // namespace telvora
