// A faster incremental rank checker that gives the same results as the literal one.
#include "blocked_rank.hpp"

#include <algorithm>
#include <cmath>

#include "kernels.hpp"

namespace telvora {

namespace {
constexpr std::size_t width = kernels::panel_width;
}  // namespace

BlockedRankChecker::BlockedRankChecker(std::uint64_t ncols, double tol, PivotRule rule, std::uint64_t interleave,
                                       std::size_t block)
    : position_(ncols),
      ncols_(ncols),
      block_(block >= 1 && block <= max_block_size ? block
             : ncols <= 1200                        ? 8
             : ncols <= 2400                        ? 16
                                                    : max_block_size),
      tol_(tol),
      rule_(rule),
      skip_zero_chunks_(tol >= 0.0) {
    if (interleave == 0 || ncols % interleave != 0) interleave = 1;
    const std::uint64_t n_nodes = ncols / std::max<std::uint64_t>(interleave, 1);
    for (std::uint64_t c = 0; c < ncols; ++c) position_[c] = (c % interleave) * n_nodes + c / interleave;
}

void BlockedRankChecker::reserve(std::uint64_t rows) {
    storage_.reserve(std::min<std::uint64_t>(rows, ncols_) * ncols_);
}

bool BlockedRankChecker::add_row(std::vector<double> row) {
    require_row_length(row.size(), ncols_);
    const std::size_t ncols = row.size();
    std::vector<double>& x = scratch_;
    x.resize(ncols);
    for (std::size_t c = 0; c < ncols; ++c) x[position_[c]] = row[c];

    // Elimination reads each stored row as the literal checker would see it, so a row that
    // is needed first receives the updates still waiting for it.
    for (std::size_t s = 0; s < rank_; ++s) {
        const double v = x[pivot_positions_[s]];
        if (std::fabs(v) > tol_) {
            bring_up_to_date(s);
            kernels::subtract_scaled(x.data(), stored(s), v, ncols);
        }
    }
    if (!non_finite_row_seen_ && !all_finite(x.data(), ncols)) non_finite_row_seen_ = true;

    // Most rows of a degenerate framework are dependent: one plain pass over the storage order
    // finds out, before the search in the caller's column order.
    if (std::none_of(x.begin(), x.end(), [&](double v) { return std::fabs(v) > tol_; })) return false;
    const std::size_t pivot = find_pivot(ncols, tol_, rule_, [&](std::size_t c) { return x[position_[c]]; });
    if (pivot == ncols) return false;
    const double pv = x[position_[pivot]];
    for (std::size_t k = 0; k < ncols; ++k) x[k] = x[k] / pv;

    // The back-substitution of this row into the older ones waits in the pending block.
    const std::size_t slot = rank_ - first_pending_;
    const std::size_t n_chunks = ncols / width;
    if (pending_panel_.empty()) {
        pending_panel_.resize(n_chunks * block_ * width);
        chunk_nonzero_.resize(n_chunks * block_);
    }
    for (std::size_t c = 0; c < n_chunks; ++c) {
        const double* chunk = x.data() + c * width;
        std::copy_n(chunk, width, pending_panel_.data() + (c * block_ + slot) * width);
        chunk_nonzero_[c * block_ + slot] = std::any_of(chunk, chunk + width, [](double v) { return v != 0.0; });
    }
    pending_.insert(pending_.end(), x.begin(), x.end());
    storage_.insert(storage_.end(), x.begin(), x.end());
    pivot_cols_.push_back(pivot);
    pivot_positions_.push_back(position_[pivot]);
    applied_.push_back(rank_);
    ++rank_;
    if (rank_ - first_pending_ == block_) flush();
    return true;
}

void BlockedRankChecker::bring_up_to_date(std::size_t s) {
    const std::size_t from = applied_[s] + 1;  // never below first_pending_
    if (from >= rank_) return;
    const std::size_t ncols = ncols_;
    double* row = stored(s);

    // The factor of update t is the row's entry at t's pivot after the updates before t; only
    // those pivot entries are needed to know every factor up front.
    const double* updates[max_block_size];
    std::size_t slots[max_block_size];
    double factors[max_block_size];
    std::size_t count = 0;
    bool all_factors_finite = true;
    for (std::size_t t = from; t < rank_; ++t) {
        const std::size_t p = pivot_positions_[t];
        double f = row[p];
        for (std::size_t a = 0; a < count; ++a) f = f - updates[a][p] * factors[a];
        if (std::fabs(f) > tol_) {
            slots[count] = t - first_pending_;
            updates[count] = pending_.data() + slots[count] * ncols;
            factors[count] = f;
            all_factors_finite = all_factors_finite && std::isfinite(f);
            ++count;
        }
    }
    applied_[s] = rank_ - 1;
    if (count == 0) return;

    // Zero times an infinite or NaN factor is NaN, so zero chunks are only skipped with finite factors.
    const bool skip = skip_zero_chunks_ && all_factors_finite;
    const std::size_t n_chunks = ncols / width;
    kernels::subtract_scaled_panel(row, pending_panel_.data(), block_, slots, factors, count, n_chunks,
                                   skip ? chunk_nonzero_.data() : nullptr);
    const std::size_t covered = n_chunks * width;
    for (std::size_t a = 0; a < count; ++a) updates[a] += covered;
    kernels::subtract_scaled_block(row + covered, updates, factors, count, ncols - covered);
}

void BlockedRankChecker::flush() {
    for (std::size_t s = 0; s < rank_; ++s) bring_up_to_date(s);
    pending_.clear();
    first_pending_ = rank_;
}

std::vector<std::vector<double>> BlockedRankChecker::stored_rows() {
    flush();
    std::vector<std::vector<double>> rows(rank_, std::vector<double>(ncols_));
    for (std::size_t s = 0; s < rank_; ++s)
        for (std::size_t c = 0; c < ncols_; ++c) rows[s][c] = stored(s)[position_[c]];
    return rows;
}

bool BlockedRankChecker::broke_down() {
    flush();
    return non_finite_row_seen_ || !all_finite(storage_.data(), storage_.size());
}

}  // namespace telvora
