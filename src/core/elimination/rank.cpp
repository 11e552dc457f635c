// Incremental rank test of rigidity-matrix rows by Gauss-Jordan elimination.
#include "elimination/rank.hpp"

#include <cmath>
#include <string>

#include "base/errors.hpp"
#include "elimination/kernels.hpp"

namespace telvora {

bool all_finite(const double* values, std::size_t count) { return kernels::all_finite(values, count); }

void require_row_length(std::size_t length, std::uint64_t ncols) {
    if (length != ncols)
        throw FatalError("Row length " + std::to_string(length) + " does not match ncols " + std::to_string(ncols));
}

void require_columns_within(const std::uint64_t* columns, std::size_t count, std::uint64_t ncols) {
    for (std::size_t e = 0; e < count; ++e)
        if (columns[e] >= ncols)
            throw FatalError("Column " + std::to_string(columns[e]) + " is out of range for ncols " +
                             std::to_string(ncols));
}

std::vector<double> dense_row(const std::uint64_t* columns, const double* values, std::size_t count,
                              std::uint64_t ncols) {
    require_columns_within(columns, count, ncols);
    std::vector<double> row(ncols, 0.0);
    for (std::size_t e = 0; e < count; ++e) row[columns[e]] = values[e];
    return row;
}

IncrementalRankChecker::IncrementalRankChecker(std::uint64_t ncols, double tol, PivotRule rule)
    : ncols_(ncols), tol_(tol), rule_(rule) {}

bool IncrementalRankChecker::add_row(std::vector<double> row) {
    require_row_length(row.size(), ncols_);
    const std::size_t ncols = row.size();

    // Eliminate the pivot column of every stored row, oldest first; v is read once.
    for (std::size_t s = 0; s < stored_rows_.size(); ++s) {
        const double* stored = stored_rows_[s].data();
        const double v = row[pivot_cols_[s]];
        if (std::fabs(v) > tol_)
            for (std::size_t k = 0; k < ncols; ++k) row[k] = row[k] - stored[k] * v;
    }
    if (!non_finite_row_seen_ && !all_finite(row.data(), ncols)) non_finite_row_seen_ = true;

    const std::size_t pivot = find_pivot(ncols, tol_, rule_, [&](std::size_t k) { return row[k]; });
    if (pivot == ncols) return false;

    const double pv = row[pivot];
    for (std::size_t k = 0; k < ncols; ++k) row[k] = row[k] / pv;

    for (auto& stored_row : stored_rows_) {
        double* stored = stored_row.data();
        const double f = stored[pivot];
        if (std::fabs(f) > tol_)
            for (std::size_t k = 0; k < ncols; ++k) stored[k] = stored[k] - row[k] * f;
    }

    pivot_cols_.push_back(pivot);
    stored_rows_.push_back(std::move(row));
    ++rank_;
    return true;
}

bool IncrementalRankChecker::add_sparse_row(const std::uint64_t* columns, const double* values, std::size_t count) {
    return add_row(dense_row(columns, values, count, ncols_));
}

bool IncrementalRankChecker::broke_down() const {
    if (non_finite_row_seen_) return true;
    for (const auto& stored_row : stored_rows_)
        if (!all_finite(stored_row.data(), stored_row.size())) return true;
    return false;
}

}  // namespace telvora
