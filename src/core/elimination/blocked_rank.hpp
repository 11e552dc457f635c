// A faster incremental rank checker that gives the same results as the literal one.
#pragma once

#include <cstdint>
#include <vector>

#include "elimination/rank.hpp"

namespace telvora {

// Same interface and results as IncrementalRankChecker: every stored value sees the same
// operations in the same order, so ranks, pivots and every non-zero stored value agree bit for
// bit. What changes is how much is done and how fast:
// - The back-substitution of an accepted row into the older rows is delayed and applied in
//   blocks, to two or four rows at once where they receive the same updates (or to one row early,
//   when an elimination needs that row).
// - The last blocks of a pass are applied only to the rows an elimination reads again: most of
//   the last rows' updates go to rows that are never read again. Whether the pass broke down is
//   then decided from a bound on what the pending updates can produce.
// - Rows are stored coordinate by coordinate (all x, then all y, ...) when built from nodes of
//   `interleave` coordinates, which gathers exact zeros into whole chunks of columns, and each
//   row keeps the set of chunks that may hold anything but zeros.
// - A row handed over as its non-zero entries (the rows of a rigidity matrix have 2d) keeps track
//   of the chunks it may hold non-zeros in through elimination: only those are cleared and scanned.
// - Work on zeros is skipped: an update whose chunk is all zeros, a factor read from a chunk of
//   zeros (it is a zero, never above tol), an elimination step over a chunk of zeros. With finite
//   factors that can only turn a -0.0 into +0.0, so it is done only when tol >= 0, where the sign
//   of a zero decides nothing; zero signs in the stored rows may then differ from the literal
//   checker's.
// The arithmetic runs in vector registers chosen at run time, one element per lane, never fused.
class BlockedRankChecker {
public:
    // block: rows per delayed block, 1 .. max_block_size; 0 chooses it from the row length.
    BlockedRankChecker(std::uint64_t ncols, double tol, PivotRule rule = PivotRule::FirstAboveTolerance,
                       std::uint64_t interleave = 1, std::size_t block = 0);
    // For the rows of a rigidity matrix, with room reserved for shape.max_rows rows. Taking the
    // first column above tol as pivot fills the columns in order and leaves long runs of zeros in
    // each coordinate's columns, which storing the rows coordinate by coordinate gathers; under the
    // largest-magnitude rule rows stay sparse around the nodes they touch, whose columns already
    // lie together in the caller's order.
    BlockedRankChecker(const RowShape& shape, double tol, PivotRule rule)
        : BlockedRankChecker(shape.ncols, tol, rule, rule == PivotRule::FirstAboveTolerance ? shape.dim : 1) {
        reserve(shape.max_rows);
    }

    bool add_row(std::vector<double> row);
    // The same for the row that is zero but for values[e] at columns[e] (written in that order, a
    // later write to a column winning): rows of a rigidity matrix need not be spelled out.
    bool add_sparse_row(const std::uint64_t* columns, const double* values, std::size_t count);
    // Reserves room for this many stored rows, sparing regrowth of the row storage; no more
    // rows may be stored, which lets the last pending blocks wait for good.
    void reserve(std::uint64_t rows);
    std::uint64_t rank() const { return rank_; }
    const std::vector<std::uint64_t>& pivot_cols() const { return pivot_cols_; }
    // Applies every delayed update first; rows come back in the caller's column order.
    std::vector<std::vector<double>> stored_rows();
    // The literal checker's answer; the delayed updates are applied first unless they provably
    // cannot produce an infinity or NaN.
    bool broke_down();
    // True once a row has come out of elimination with an infinite or NaN value: the pass has
    // broken down whatever comes next.
    bool saw_non_finite_row() const { return non_finite_row_seen_; }

    static constexpr std::size_t max_block_size = 64;
    // Blocks of max_block_size rows left pending at the end, when they can hold every row to come.
    static constexpr std::size_t tail_blocks = 4;
    // A pending block of more bytes than this, about what a second-level cache holds, is applied
    // to four rows at a time where it can: read from farther away, each load serves more rows.
    static constexpr std::size_t four_row_block_bytes = 256 * 1024;

private:
    // The updates of one pending block that a stored row has still to receive (see plan_catch_up):
    // the slots with a factor above tol (bit t for slot t) and their factors, the set of chunks
    // where those updates hold anything but zeros, and whether the chunks outside it may be passed
    // over (not after a non-finite factor: zero times infinity is NaN).
    struct CatchUp {
        CatchUp() {}  // factors left uninitialised: only those of the slots in `slots` are read
        double factors[max_block_size];
        std::vector<std::uint64_t> chunks;
        std::uint64_t slots = 0;
        std::size_t row = 0;
        bool skip_zeros = false;
    };

    // A block of pending rows, kept as the updates they make (see kernels::apply_updates).
    struct Block {
        std::vector<double> values;             // the rows, chunk by chunk, `stride` slots a chunk
        std::vector<std::uint64_t> slot_masks;  // per chunk: the slots with a non-zero there
        std::vector<std::uint64_t> support;     // per slot: its non-zero chunks
        std::vector<double> largest;            // per slot: its largest magnitude
        // Slot a's entry at slot t's pivot, at [a * stride + t] for a < t: what taking a's update
        // subtracts, per unit of its factor, from the entry that gives t's factor.
        std::vector<double> at_pivots;
        std::size_t first = 0;                  // index of the row in slot 0
        std::size_t stride = 0;                 // slots: rows_per_block_, or max_block_size in the tail
        bool in_tail = false;                   // one of the last blocks of a pass, which wait (see start_block)
    };

    double* stored(std::size_t s) { return storage_.data() + s * padded_; }
    std::uint64_t* support(std::size_t s) { return support_.data() + s * words_; }
    const std::uint64_t* slot_support(const Block& block, std::size_t slot) const {
        return block.support.data() + slot * words_;
    }
    // One past the index of the block's last row; the newest block holds the rows stored so far.
    std::size_t block_end(const Block& block) const {
        return &block == &blocks_.back() ? rank_ : block.first + block.stride;
    }
    // What the kernels are told to pass over for a catch-up: nothing after a non-finite factor.
    static const std::uint64_t* chunks_to_visit(const CatchUp& catch_up) {
        return catch_up.skip_zeros ? catch_up.chunks.data() : nullptr;
    }
    static const std::uint64_t* slot_masks_for(const Block& block, const CatchUp& catch_up) {
        return catch_up.skip_zeros ? block.slot_masks.data() : nullptr;
    }
    bool add_scratch_row();
    std::size_t first_of_magnitude(const double* x, double largest, const std::uint64_t* chunks) const;
    void start_block(Block& block);
    void plan_catch_up(const Block& block, std::size_t s, CatchUp& catch_up);
    void finish_catch_up(const Block& block, const CatchUp& catch_up);
    void prefetch_catch_up(const CatchUp& catch_up);
    void apply_catch_up(const Block& block, const CatchUp& catch_up);
    void apply_catch_up_to_pair(const Block& block, const CatchUp& catch_up, const CatchUp& other);
    void apply_catch_ups(const Block& block, const std::vector<const CatchUp*>& catch_ups);
    void eliminate(double* x);
    std::size_t next_needed(const double* x, std::size_t s) const;
    double up_to_date_entry(const Block& block, const CatchUp& catch_up, std::size_t s);
    void bring_up_to_date(std::size_t s, std::size_t n_blocks);
    void flush();
    void apply_block(const Block& block);

    std::vector<std::size_t> position_;        // storage position of each column
    std::vector<double> storage_;              // rank_ rows of padded_ values in storage order
    std::vector<std::uint64_t> support_;       // per stored row: the chunks that may hold a non-zero
    std::vector<std::uint64_t> pivot_cols_;    // in the caller's column order
    std::vector<std::size_t> pivot_positions_;
    std::vector<std::uint64_t> applied_;       // row s has seen the updates of rows s+1 .. applied_[s]
    std::vector<double> scratch_;              // the row being added, in storage order
    std::vector<std::uint64_t> scratch_chunks_;  // the chunks of scratch_ that may hold a non-zero
    bool scratch_chunks_known_ = false;        // if not, any chunk may
    std::vector<Block> blocks_;                // the pending blocks, oldest first; the newest one fills
    std::vector<std::uint64_t> pending_at_pivot_;  // per stored row: the newest block's slots non-zero at its pivot
    bool tracking_pivots_ = false;             // pending_at_pivot_ is kept up to date in the newest block
    CatchUp catch_up_;                         // that of the one row bring_up_to_date works on
    std::vector<CatchUp> waiting_catch_ups_;   // those of the rows an elimination gathers (see eliminate)
    std::vector<CatchUp> block_catch_ups_;     // those of the rows apply_block brings up to date
    std::vector<const CatchUp*> with_updates_;  // those of block_catch_ups_ with updates to apply
    std::vector<std::uint64_t> elimination_chunks_;  // see eliminate()
    std::size_t last_used_ = 0;                // stored rows the last elimination needed
    std::uint64_t rank_ = 0;
    std::uint64_t ncols_;
    std::size_t n_chunks_;
    std::size_t padded_;                       // n_chunks_ whole chunks of columns
    std::size_t words_;                        // words of a chunk set
    std::size_t rows_per_block_;               // rows of a pending block, but for the tail ones
    std::uint64_t max_rows_;                   // no more rows than this will be stored
    double tol_;
    PivotRule rule_;
    bool skip_zeros_;
    bool share_among_four_;
    bool in_caller_order_ = true;              // storage order is the caller's column order
    bool non_finite_row_seen_ = false;
};

}  // namespace telvora
