// A faster incremental rank checker that gives the same bits as the literal one.
#pragma once

#include <cstdint>
#include <vector>

#include "rank.hpp"

namespace telvora {

// Same interface and results, bit for bit, as IncrementalRankChecker: every stored value
// sees the same operations in the same order. What changes is when the back-substitution
// of an accepted row reaches the older rows: it is delayed and applied to each older row
// in blocks while that row sits in cache (or earlier, when an elimination needs the row).
// The operations themselves run in vector registers chosen at run time (AVX2 or SSE2),
// one element per lane, never fused.
class BlockedRankChecker {
public:
    BlockedRankChecker(std::uint64_t ncols, double tol, PivotRule rule = PivotRule::FirstAboveTolerance);

    bool add_row(std::vector<double> row);
    std::uint64_t rank() const { return rank_; }
    const std::vector<std::uint64_t>& pivot_cols() const { return pivot_cols_; }
    // Both apply every delayed update first.
    std::vector<std::vector<double>> stored_rows();
    bool broke_down();

    // Accepted rows whose back-substitution waits before it is applied to all older rows.
    static constexpr std::size_t block_size = 32;

private:
    double* stored(std::size_t s) { return storage_.data() + s * ncols_; }
    void bring_up_to_date(std::size_t s);
    void flush();

    std::vector<double> storage_;             // rank_ rows of ncols_, row-major
    std::vector<std::uint64_t> pivot_cols_;
    std::vector<std::uint64_t> applied_;      // row s has seen the updates of rows s+1 .. applied_[s]
    std::vector<double> pending_;             // rows as they were accepted, not yet applied everywhere
    std::vector<double> pending_panel_;       // the same rows in panel order for the vector kernel
    std::size_t first_pending_ = 0;           // index of the row in pending_[0]
    std::uint64_t rank_ = 0;
    std::uint64_t ncols_;
    double tol_;
    PivotRule rule_;
    bool non_finite_row_seen_ = false;
};

}  // namespace telvora
