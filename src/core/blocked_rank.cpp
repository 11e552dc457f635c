// A faster incremental rank checker that gives the same bits as the literal one.
#include "blocked_rank.hpp"

#include <algorithm>
#include <cmath>

#include "kernels.hpp"

namespace telvora {

BlockedRankChecker::BlockedRankChecker(std::uint64_t ncols, double tol, PivotRule rule)
    : ncols_(ncols), tol_(tol), rule_(rule) {}

bool BlockedRankChecker::add_row(std::vector<double> row) {
    require_row_length(row.size(), ncols_);
    const std::size_t ncols = row.size();

    // Elimination reads each stored row as the literal checker would see it, so a row that
    // is needed first receives the updates still waiting for it.
    for (std::size_t s = 0; s < rank_; ++s) {
        const double v = row[pivot_cols_[s]];
        if (std::fabs(v) > tol_) {
            bring_up_to_date(s);
            kernels::subtract_scaled(row.data(), stored(s), v, ncols);
        }
    }
    if (!non_finite_row_seen_ && !all_finite(row.data(), ncols)) non_finite_row_seen_ = true;

    const std::size_t pivot = find_pivot(row, tol_, rule_);
    if (pivot == ncols) return false;
    const double pv = row[pivot];
    for (std::size_t k = 0; k < ncols; ++k) row[k] = row[k] / pv;

    // The back-substitution of this row into the older ones waits in pending_.
    storage_.insert(storage_.end(), row.begin(), row.end());
    const std::size_t slot = rank_ - first_pending_;
    pending_.insert(pending_.end(), row.begin(), row.end());
    const std::size_t n_chunks = ncols / kernels::panel_width;
    if (pending_panel_.empty()) pending_panel_.resize(n_chunks * block_size * kernels::panel_width);
    for (std::size_t c = 0; c < n_chunks; ++c)
        std::copy_n(row.data() + c * kernels::panel_width, kernels::panel_width,
                    pending_panel_.data() + (c * block_size + slot) * kernels::panel_width);
    pivot_cols_.push_back(pivot);
    applied_.push_back(rank_);
    ++rank_;
    if (rank_ - first_pending_ == block_size) flush();
    return true;
}

void BlockedRankChecker::bring_up_to_date(std::size_t s) {
    const std::size_t from = applied_[s] + 1;  // never below first_pending_
    if (from >= rank_) return;
    const std::size_t ncols = ncols_;
    double* row = stored(s);

    // The factor of update t is the row's entry at t's pivot column after the updates before
    // t; only those pivot entries are needed to know every factor up front.
    const double* updates[block_size];
    std::size_t slots[block_size];
    double factors[block_size];
    std::size_t count = 0;
    for (std::size_t t = from; t < rank_; ++t) {
        const std::uint64_t p = pivot_cols_[t];
        double f = row[p];
        for (std::size_t a = 0; a < count; ++a) f = f - updates[a][p] * factors[a];
        if (std::fabs(f) > tol_) {
            slots[count] = t - first_pending_;
            updates[count] = pending_.data() + slots[count] * ncols;
            factors[count] = f;
            ++count;
        }
    }
    if (count > 0) {
        const std::size_t n_chunks = ncols / kernels::panel_width;
        const std::size_t covered = n_chunks * kernels::panel_width;
        kernels::subtract_scaled_panel(row, pending_panel_.data(), block_size, slots, factors, count, n_chunks);
        for (std::size_t a = 0; a < count; ++a) updates[a] += covered;
        kernels::subtract_scaled_block(row + covered, updates, factors, count, ncols - covered);
    }
    applied_[s] = rank_ - 1;
}

void BlockedRankChecker::flush() {
    for (std::size_t s = 0; s < rank_; ++s) bring_up_to_date(s);
    pending_.clear();
    first_pending_ = rank_;
}

std::vector<std::vector<double>> BlockedRankChecker::stored_rows() {
    flush();
    std::vector<std::vector<double>> rows;
    for (std::size_t s = 0; s < rank_; ++s) rows.emplace_back(stored(s), stored(s) + ncols_);
    return rows;
}

bool BlockedRankChecker::broke_down() {
    flush();
    return non_finite_row_seen_ || !all_finite(storage_.data(), storage_.size());
}

}  // namespace telvora
