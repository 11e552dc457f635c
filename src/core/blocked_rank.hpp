// A faster incremental rank checker that gives the same results as the literal one.
#pragma once

#include <cstdint>
#include <vector>

#include "rank.hpp"

namespace telvora {

// Same interface and results as IncrementalRankChecker: every stored value sees the same
// operations in the same order, so ranks, pivots and every non-zero stored value agree bit for
// bit. Three things change how fast that happens:
// - The back-substitution of an accepted row into the older rows is delayed and applied in
//   blocks while each older row sits in cache (or earlier, when an elimination needs the row).
// - Rows are stored coordinate by coordinate (all x, then all y, ...) when built from nodes of
//   `interleave` coordinates, which gathers exact zeros into whole vector chunks.
// - An update whose chunk is all exact zeros is skipped. With a finite factor that can only
//   turn a -0.0 into +0.0, so it is done only when tol >= 0, where the sign of a zero decides
//   nothing; zero signs in the stored rows may then differ from the literal checker's.
// The arithmetic runs in vector registers chosen at run time, one element per lane, never fused.
class BlockedRankChecker {
public:
    // block: rows per delayed block, 1 .. max_block_size; 0 chooses it from the row length.
    BlockedRankChecker(std::uint64_t ncols, double tol, PivotRule rule = PivotRule::FirstAboveTolerance,
                       std::uint64_t interleave = 1, std::size_t block = 0);

    bool add_row(std::vector<double> row);
    // Reserves room for this many stored rows, sparing regrowth of the row storage.
    void reserve(std::uint64_t rows);
    std::uint64_t rank() const { return rank_; }
    const std::vector<std::uint64_t>& pivot_cols() const { return pivot_cols_; }
    // Both apply every delayed update first; rows come back in the caller's column order.
    std::vector<std::vector<double>> stored_rows();
    bool broke_down();

    // At most this many accepted rows wait before their back-substitution reaches all older
    // rows. Larger blocks save memory traffic once the rows outgrow the caches; for rows that
    // fit in cache smaller blocks cost less, so the block is chosen from the row length.
    static constexpr std::size_t max_block_size = 32;

private:
    double* stored(std::size_t s) { return storage_.data() + s * ncols_; }
    void bring_up_to_date(std::size_t s);
    void flush();

    std::vector<std::size_t> position_;       // storage position of each column
    std::vector<double> storage_;             // rank_ rows of ncols_ in storage order
    std::vector<std::uint64_t> pivot_cols_;   // in the caller's column order
    std::vector<std::size_t> pivot_positions_;
    std::vector<std::uint64_t> applied_;      // row s has seen the updates of rows s+1 .. applied_[s]
    std::vector<double> scratch_;             // the row being added, in storage order
    std::vector<double> pending_;             // rows as they were accepted, not yet applied everywhere
    std::vector<double> pending_panel_;       // the same rows in panel order for the vector kernel
    std::vector<unsigned char> chunk_nonzero_;  // per panel chunk and pending row: any non-zero value
    std::size_t first_pending_ = 0;           // index of the row in pending_[0]
    std::uint64_t rank_ = 0;
    std::uint64_t ncols_;
    std::size_t block_;
    double tol_;
    PivotRule rule_;
    bool skip_zero_chunks_;
    bool non_finite_row_seen_ = false;
};

}  // namespace telvora
