// Incremental rank test of rigidity-matrix rows by Gauss-Jordan elimination.
#include "rank.hpp"

#include <cmath>
#include <string>

#include "errors.hpp"

namespace telvora {

namespace {

bool all_finite(const std::vector<double>& values) {
    for (double x : values)
        if (!std::isfinite(x)) return false;
    return true;
}

}  // namespace

IncrementalRankChecker::IncrementalRankChecker(std::uint64_t ncols, double tol, PivotRule rule)
    : ncols_(ncols), tol_(tol), rule_(rule) {}

bool IncrementalRankChecker::add_row(std::vector<double> row) {
    if (row.size() != ncols_)
        throw FatalError("Row length " + std::to_string(row.size()) + " does not match ncols " +
                         std::to_string(ncols_));
    const std::size_t ncols = row.size();

    // Eliminate the pivot column of every stored row, oldest first; v is read once.
    for (std::size_t s = 0; s < stored_rows_.size(); ++s) {
        const double* stored = stored_rows_[s].data();
        const double v = row[pivot_cols_[s]];
        if (std::fabs(v) > tol_)
            for (std::size_t k = 0; k < ncols; ++k) row[k] = row[k] - stored[k] * v;
    }
    if (!non_finite_row_seen_ && !all_finite(row)) non_finite_row_seen_ = true;

    // A NaN never exceeds the tolerance, so it can never become a pivot.
    std::size_t pivot = ncols;
    if (rule_ == PivotRule::FirstAboveTolerance) {
        for (std::size_t k = 0; k < ncols; ++k)
            if (std::fabs(row[k]) > tol_) {
                pivot = k;
                break;
            }
    } else {
        double best = 0.0;
        for (std::size_t k = 0; k < ncols; ++k) {
            const double magnitude = std::fabs(row[k]);
            if (magnitude > tol_ && (pivot == ncols || magnitude > best)) {
                pivot = k;
                best = magnitude;
            }
        }
    }
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

bool IncrementalRankChecker::broke_down() const {
    if (non_finite_row_seen_) return true;
    for (const auto& stored_row : stored_rows_)
        if (!all_finite(stored_row)) return true;
    return false;
}

}  // namespace telvora
