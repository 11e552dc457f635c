// A faster incremental rank checker that gives the same results as the literal one.
#include "elimination/blocked_rank.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "elimination/kernels.hpp"
#include "base/memory.hpp"

namespace telvora {

namespace {

constexpr std::size_t width = kernels::chunk_width;

// Rows per pending block, but for the tail ones, when the caller leaves the choice. A flush streams
// every stored row through the caches once: once the rows are long enough for the storage to
// outgrow the caches, larger blocks save passes; while the rows stay cached, smaller blocks cost
// less.
constexpr std::uint64_t short_row_columns = 600;
constexpr std::size_t short_row_block = 16;
constexpr std::size_t long_row_block = 32;

std::size_t default_rows_per_block(std::uint64_t ncols) {
    return ncols <= short_row_columns ? short_row_block : long_row_block;
}

// From this many stored rows needed by the last elimination on (two groups' worth), the next one
// gathers its rows kernels::max_needed_rows at a time, and the newest block keeps track of which of
// its rows are non-zero at which pivots.
constexpr std::size_t many_needed_rows = 2 * kernels::max_needed_rows;

// Chunks of the rows ahead asked for while a row is changed: far enough ahead to hide the memory
// latency, few enough (a few KiB) to stay in the first-level cache until they are used.
constexpr std::size_t prefetch_chunks = 32;
// One prefetch brings one cache line of 64 bytes.
constexpr std::size_t doubles_per_cache_line = 64 / sizeof(double);

// Pending updates whose bound on the magnitudes they can produce stays below this are left pending
// by broke_down: the rounding of the bound and of the updates themselves cannot close the eight
// orders of magnitude up to the largest double.
constexpr double overflow_free_bound = 1e300;

bool contains(const std::uint64_t* set, std::size_t c) { return (set[c / 64] >> (c % 64)) & 1u; }

// How many of the first n_chunks chunks a set (null: all) holds; bits past them may be set.
std::size_t count_chunks(const std::uint64_t* set, std::size_t n_chunks) {
    if (set == nullptr) return n_chunks;
    std::size_t count = 0;
    for (std::size_t w = 0; w * 64 < n_chunks; ++w) {
        const std::size_t in_word = n_chunks - w * 64;
        const std::uint64_t bits = in_word >= 64 ? set[w] : set[w] & ((std::uint64_t{1} << in_word) - 1);
        count += static_cast<std::size_t>(std::popcount(bits));
    }
    return count;
}

}  // namespace

BlockedRankChecker::BlockedRankChecker(std::uint64_t ncols, double tol, PivotRule rule, std::uint64_t interleave,
                                       std::size_t block)
    : position_(ncols),
      ncols_(ncols),
      n_chunks_((ncols + width - 1) / width),
      padded_(n_chunks_ * width),
      words_(kernels::chunk_set_words(n_chunks_)),
      rows_per_block_(block >= 1 && block <= max_block_size ? block : default_rows_per_block(ncols)),
      max_rows_(ncols),
      tol_(tol),
      rule_(rule),
      skip_zeros_(tol >= 0.0),
      share_among_four_(rows_per_block_ * padded_ * sizeof(double) > four_row_block_bytes) {
    if (interleave == 0 || ncols % interleave != 0) interleave = 1;
    in_caller_order_ = interleave == 1;
    const std::uint64_t n_nodes = ncols / std::max<std::uint64_t>(interleave, 1);
    for (std::uint64_t c = 0; c < ncols; ++c) position_[c] = (c % interleave) * n_nodes + c / interleave;
    blocks_.emplace_back();
    start_block(blocks_.back());
}

void BlockedRankChecker::reserve(std::uint64_t rows) {
    const std::uint64_t most = std::min<std::uint64_t>(rows, ncols_);
    max_rows_ = most;
    if (blocks_.size() == 1 && rank_ == blocks_[0].first) start_block(blocks_[0]);
    storage_.reserve(most * padded_);
    advise_large_pages(storage_.data(), storage_.capacity() * sizeof(double));
    support_.reserve(most * words_);
}

bool BlockedRankChecker::add_row(std::vector<double> row) {
    require_row_length(row.size(), ncols_);
    std::vector<double>& x = scratch_;
    x.resize(padded_);
    if (in_caller_order_)
        std::copy(row.begin(), row.end(), x.begin());
    else
        for (std::size_t c = 0; c < ncols_; ++c) x[position_[c]] = row[c];
    std::fill(x.begin() + static_cast<std::ptrdiff_t>(ncols_), x.end(), 0.0);
    scratch_chunks_known_ = false;
    return add_scratch_row();
}

// The row's few chunks are kept track of through elimination, which spares clearing and scanning
// the whole row where it stays zero.
bool BlockedRankChecker::add_sparse_row(const std::uint64_t* columns, const double* values, std::size_t count) {
    require_columns_within(columns, count, ncols_);
    std::vector<double>& x = scratch_;
    if (scratch_chunks_known_) {
        kernels::ChunkCursor cursor(scratch_chunks_.data(), 0, n_chunks_);
        for (std::size_t c = cursor.next(); c < n_chunks_; c = cursor.next())
            std::fill_n(x.begin() + static_cast<std::ptrdiff_t>(c * width), width, 0.0);
    } else {
        x.assign(padded_, 0.0);
    }
    scratch_chunks_.assign(words_, 0);
    for (std::size_t e = 0; e < count; ++e) {
        const std::size_t p = position_[columns[e]];
        x[p] = values[e];
        scratch_chunks_[p / width / 64] |= std::uint64_t{1} << (p / width % 64);
    }
    scratch_chunks_known_ = true;
    return add_scratch_row();
}

// The largest-magnitude pivot in the caller's column order: the first column whose magnitude is
// the largest (which is above tol where any is); padded_ if none is.
std::size_t BlockedRankChecker::first_of_magnitude(const double* x, double largest, const std::uint64_t* chunks) const {
    kernels::ChunkCursor cursor(chunks, 0, n_chunks_);
    for (std::size_t c = cursor.next(); c < n_chunks_; c = cursor.next())
        for (std::size_t k = c * width; k < (c + 1) * width; ++k)
            if (std::fabs(x[k]) == largest) return k;
    return padded_;
}

// Tests the row in scratch_ (storage order, padded with zeros) and stores it if independent.
bool BlockedRankChecker::add_scratch_row() {
    std::vector<double>& x = scratch_;
    eliminate(x.data());
    // Most rows of a degenerate framework are dependent: one pass over the storage order finds
    // out, together with finiteness, before the pivot search in the caller's column order.
    // Where the row's chunks are known, zeros lie outside them, never above tol when tol >= 0.
    const bool known = scratch_chunks_known_ && skip_zeros_;
    const kernels::RowScan scan = kernels::scan_row(x.data(), n_chunks_, tol_, known ? scratch_chunks_.data() : nullptr);
    if (!scan.all_finite) non_finite_row_seen_ = true;
    if (!scan.any_above_tol) return false;
    std::size_t pivot = ncols_;
    if (!in_caller_order_)
        pivot = find_pivot(ncols_, tol_, rule_, [&](std::size_t c) { return x[position_[c]]; });
    else if (rule_ == PivotRule::LargestMagnitude)
        pivot = first_of_magnitude(x.data(), scan.largest, known ? scratch_chunks_.data() : nullptr);
    else
        pivot = find_pivot(ncols_, tol_, rule_, [&](std::size_t c) { return x[c]; });
    if (pivot >= ncols_) return false;
    // Divided by its pivot, the row waits in the pending block for its back-substitution into the
    // older ones.
    Block& block = blocks_.back();
    const std::size_t slot = rank_ - block.first;
    std::uint64_t* own = block.support.data() + slot * words_;
    const std::uint64_t bit = std::uint64_t{1} << slot;
    block.largest[slot] = kernels::divide_and_store(x.data(), x[position_[pivot]], n_chunks_,
                                                    block.values.data() + slot * width, block.stride * width, own);
    for (std::size_t c = 0; c < n_chunks_; ++c)
        block.slot_masks[c] = (block.slot_masks[c] & ~bit) | (contains(own, c) ? bit : 0);
    const std::size_t p = position_[pivot];
    const double* column = block.values.data() + (p / width) * block.stride * width + p % width;
    for (std::size_t t = 0; t < slot; ++t) block.at_pivots[t * block.stride + slot] = column[t * width];
    // Which pending rows are non-zero at which pivots: this row at the older pivots and its own,
    // the older pending rows at this row's pivot.
    std::uint64_t at_own_pivot = 0;
    if (tracking_pivots_) {
        for (std::size_t s = 0; s < rank_; ++s)
            if (x[pivot_positions_[s]] != 0.0) pending_at_pivot_[s] |= bit;
        at_own_pivot = bit;
        for (std::size_t t = 0; t < slot; ++t)
            if (column[t * width] != 0.0) at_own_pivot |= std::uint64_t{1} << t;
    }
    pending_at_pivot_.push_back(at_own_pivot);
    storage_.insert(storage_.end(), x.begin(), x.end());
    support_.insert(support_.end(), own, own + words_);
    pivot_cols_.push_back(pivot);
    pivot_positions_.push_back(position_[pivot]);
    applied_.push_back(rank_);
    ++rank_;
    if (rank_ - block.first == block.stride) {
        if (block.in_tail && blocks_.size() < tail_blocks)
            start_block(blocks_.emplace_back());
        else
            flush();
    }
    return true;
}

// A pending block holds rows_per_block_ rows; once tail_blocks blocks of max_block_size rows can
// hold every row still to come, the blocks are no longer applied as a whole, only to the rows an
// elimination needs (and to all, should the stored rows be asked for or their finiteness be in
// doubt): most of the updates of the last rows go to rows that are never read again.
void BlockedRankChecker::start_block(Block& block) {
    block.first = rank_;
    block.in_tail = rank_ + tail_blocks * max_block_size >= max_rows_;
    block.stride = block.in_tail ? max_block_size : rows_per_block_;
    block.values.resize(n_chunks_ * block.stride * width);
    block.slot_masks.resize(n_chunks_);
    block.support.resize(max_block_size * words_);
    block.largest.resize(max_block_size);
    block.at_pivots.resize(block.stride * block.stride);
    // Only eliminations that gather many rows ask which pending rows are non-zero at a pivot; it
    // is kept track of while the last one did.
    tracking_pivots_ = last_used_ >= many_needed_rows;
    std::fill(pending_at_pivot_.begin(), pending_at_pivot_.end(), 0);
}

// Elimination reads each stored row as the literal checker would see it, so a row that is needed
// receives the updates still waiting for it first. Most rows need a handful of stored rows, each
// brought up to date and subtracted at once. Where the last row needed many (numbers that grew by
// many orders of magnitude leave small entries everywhere), they are gathered
// kernels::max_needed_rows at a time, then brought up to date and subtracted in one pass over them
// and x; meanwhile their share in a pivot entry read in between is worked out for that entry
// alone, with the same operations in the same order.
void BlockedRankChecker::eliminate(double* x) {
    constexpr std::size_t together = kernels::max_needed_rows;
    std::size_t used = 0;
    if (last_used_ < many_needed_rows) {
        for (std::size_t s = next_needed(x, 0); s < rank_; s = next_needed(x, s + 1)) {
            const double v = x[pivot_positions_[s]];
            bring_up_to_date(s, blocks_.size());
            // Zero times a non-finite factor is NaN, so such a row changes every chunk.
            const std::uint64_t* set = skip_zeros_ && std::isfinite(v) ? support(s) : nullptr;
            kernels::subtract_scaled(x, stored(s), v, set, n_chunks_);
            if (set == nullptr)
                scratch_chunks_known_ = false;
            else if (scratch_chunks_known_)
                for (std::size_t w = 0; w < words_; ++w) scratch_chunks_[w] |= set[w];
            ++used;
        }
        last_used_ = used;
        return;
    }
    scratch_chunks_known_ = false;  // rows gathered many at a time reach most chunks
    kernels::NeededRow needed[together];
    std::size_t waiting = 0;
    waiting_catch_ups_.resize(together);
    const std::size_t older_blocks = blocks_.size() - 1;
    const Block& block = blocks_.back();
    std::vector<std::uint64_t>& reach = elimination_chunks_;  // the waiting rows' chunks together
    reach.assign(words_, 0);
    bool reach_all = false;
    const auto subtract_waiting = [&] {
        kernels::catch_up_and_subtract(x, needed, waiting, block.values.data(), block.stride,
                                       reach_all ? nullptr : reach.data(), n_chunks_);
        waiting = 0;
        std::fill(reach.begin(), reach.end(), 0);
        reach_all = false;
    };
    for (std::size_t s = 0; s < rank_; ++s) {
        const std::size_t p = pivot_positions_[s];
        double v = x[p];
        // A zero entry of a waiting row changes v by a zero at most, unless the row's factor is not
        // finite (its set is then null).
        if (waiting > 0 && (reach_all || contains(reach.data(), p / width))) {
            for (std::size_t a = 0; a < waiting; ++a) {
                const double entry = up_to_date_entry(block, waiting_catch_ups_[a], s);
                if (needed[a].row_chunks == nullptr || entry != 0.0) v = v - entry * needed[a].factor;
            }
        }
        if (!(std::fabs(v) > tol_)) continue;
        ++used;
        // The updates of the older blocks are applied at once; those of the newest block are worked
        // out now and applied in the pass over the waiting rows.
        bring_up_to_date(s, older_blocks);
        CatchUp& catch_up = waiting_catch_ups_[waiting];
        plan_catch_up(block, s, catch_up);
        finish_catch_up(block, catch_up);
        const std::uint64_t* set = skip_zeros_ && std::isfinite(v) ? support(s) : nullptr;
        needed[waiting] = {stored(s), v, set, catch_up.slots, catch_up.factors, chunks_to_visit(catch_up),
                           slot_masks_for(block, catch_up)};
        // A row up to date before this call has its chunks in its support; one with updates has
        // them there too after finish_catch_up().
        if (set == nullptr)
            reach_all = true;
        else
            for (std::size_t w = 0; w < words_; ++w) reach[w] |= set[w];
        if (++waiting == together) subtract_waiting();
    }
    if (waiting > 0) subtract_waiting();
    last_used_ = used;
}

// The first stored row from s on whose factor in x is above tol (rank_ if none). Most are not:
// four are looked at with one branch.
std::size_t BlockedRankChecker::next_needed(const double* x, std::size_t s) const {
    const std::size_t* positions = pivot_positions_.data();
    const double tol = tol_;
    const std::size_t end = rank_;
    for (; s + 4 <= end; s += 4) {
        const bool any = (std::fabs(x[positions[s]]) > tol) | (std::fabs(x[positions[s + 1]]) > tol) |
                         (std::fabs(x[positions[s + 2]]) > tol) | (std::fabs(x[positions[s + 3]]) > tol);
        if (any) break;
    }
    while (s < end && !(std::fabs(x[positions[s]]) > tol)) ++s;
    return s;
}

// The entry of a waiting row at the pivot of row s as it will be once its catch-up is applied:
// the operations that apply_updates performs on that one element. Where every update it takes is
// zero there, they could change the sign of a zero at most, which decides nothing here.
double BlockedRankChecker::up_to_date_entry(const Block& block, const CatchUp& catch_up, std::size_t s) {
    const std::size_t p = pivot_positions_[s];
    double value = stored(catch_up.row)[p];
    const std::size_t c = p / width;
    if (catch_up.slots == 0 || (catch_up.skip_zeros && !contains(catch_up.chunks.data(), c))) return value;
    if (tracking_pivots_ && catch_up.skip_zeros && (catch_up.slots & pending_at_pivot_[s]) == 0) return value;
    const double* column = block.values.data() + c * block.stride * width + p % width;
    for (std::uint64_t m = catch_up.skip_zeros ? catch_up.slots & block.slot_masks[c] : catch_up.slots; m != 0;
         m &= m - 1) {
        const int t = std::countr_zero(m);
        value = value - column[t * width] * catch_up.factors[t];
    }
    return value;
}

// Works out the catch-up of stored row s for the block: the factor of update t is the row's entry
// at t's pivot after the updates before t, so the pivot entries alone give every factor up front.
// Each entry starts as the row's and, as soon as a factor is taken, receives that update's
// subtraction, all the later entries at once: each entry still sees its subtractions one after the
// other in slot order. Next to those the row would see, an entry also receives the updates that
// are zero in its chunk, and an entry in a chunk outside the row's support starts as +0: with
// finite factors that may change the sign of a zero, never a non-zero, and a zero is never above
// tol (the reason it is done only where zeros may be passed over). A non-finite factor is
// subtracted everywhere, as the row would see it.
void BlockedRankChecker::plan_catch_up(const Block& block, std::size_t s, CatchUp& catch_up) {
    catch_up.row = s;
    catch_up.skip_zeros = skip_zeros_;
    catch_up.chunks.assign(words_, 0);
    const std::size_t begin = std::max<std::size_t>(applied_[s] + 1, block.first) - block.first;
    const std::size_t end = block_end(block) - block.first;
    const double* row = stored(s);
    const std::uint64_t* own = support(s);
    double entries[max_block_size];
    for (std::size_t slot = begin; slot < end; ++slot) {
        const std::size_t p = pivot_positions_[block.first + slot];
        entries[slot] = !skip_zeros_ || contains(own, p / width) ? row[p] : 0.0;
    }
    catch_up.slots = kernels::take_factors(entries, begin, end, block.at_pivots.data(), block.stride, tol_);
    for (std::uint64_t m = catch_up.slots; m != 0; m &= m - 1) {
        const int slot = std::countr_zero(m);
        const double f = entries[slot];
        catch_up.factors[slot] = f;
        if (!catch_up.skip_zeros) continue;
        if (!std::isfinite(f)) {
            catch_up.skip_zeros = false;  // zero times this factor is NaN: every chunk changes
            continue;
        }
        const std::uint64_t* reach = slot_support(block, static_cast<std::size_t>(slot));
        for (std::size_t w = 0; w < words_; ++w) catch_up.chunks[w] |= reach[w];
    }
}

// Records the catch-up as done: the row's support gains the chunks it reaches, and the row counts
// as having seen the whole block (in an elimination already before the pass over the waiting rows
// applies the updates).
void BlockedRankChecker::finish_catch_up(const Block& block, const CatchUp& catch_up) {
    std::uint64_t* set = support(catch_up.row);
    if (catch_up.skip_zeros)
        for (std::size_t w = 0; w < words_; ++w) set[w] |= catch_up.chunks[w];
    else
        std::fill_n(set, words_, ~std::uint64_t{0});
    applied_[catch_up.row] = block_end(block) - 1;
}

void BlockedRankChecker::apply_catch_up(const Block& block, const CatchUp& catch_up) {
    kernels::apply_updates(stored(catch_up.row), block.values.data(), block.stride, catch_up.factors, catch_up.slots,
                           0, n_chunks_, chunks_to_visit(catch_up), slot_masks_for(block, catch_up));
}

// The same for two rows whose catch-ups take the same slots, and so reach the same chunks.
void BlockedRankChecker::apply_catch_up_to_pair(const Block& block, const CatchUp& catch_up, const CatchUp& other) {
    kernels::apply_updates_to_pair(stored(catch_up.row), stored(other.row), block.values.data(), block.stride,
                                   catch_up.factors, other.factors, catch_up.slots, 0, n_chunks_,
                                   chunks_to_visit(catch_up), slot_masks_for(block, catch_up));
}

// Asks for the chunks a catch-up will change while the rows before it are worked on: the rows come
// from far apart in memory, a few chunks each, which the processor does not foresee on its own.
void BlockedRankChecker::prefetch_catch_up(const CatchUp& catch_up) {
    const double* row = stored(catch_up.row);
    kernels::ChunkCursor cursor(chunks_to_visit(catch_up), 0, n_chunks_);
    for (std::size_t c = cursor.next(); c < n_chunks_; c = cursor.next())
        for (std::size_t k = 0; k < width; k += doubles_per_cache_line) __builtin_prefetch(row + c * width + k, 1);
}

// Applies to row s the updates of the first n_blocks pending blocks it has not seen.
void BlockedRankChecker::bring_up_to_date(std::size_t s, std::size_t n_blocks) {
    for (std::size_t i = 0; i < n_blocks; ++i) {
        const Block& block = blocks_[i];
        if (applied_[s] + 1 >= block_end(block)) continue;
        plan_catch_up(block, s, catch_up_);
        if (catch_up_.slots != 0) apply_catch_up(block, catch_up_);
        finish_catch_up(block, catch_up_);
    }
}

void BlockedRankChecker::flush() {
    for (const Block& block : blocks_) apply_block(block);
    blocks_.resize(1);  // its buffers serve the next block
    start_block(blocks_[0]);
}

// Applies the block to every row that has not seen it.
void BlockedRankChecker::apply_block(const Block& block) {
    const std::size_t end = block_end(block);
    // block_catch_ups_ keeps its elements, and their chunk sets, from one block to the next.
    std::size_t count = 0;
    for (std::size_t s = 0; s < end; ++s) {
        if (applied_[s] + 1 >= end) continue;
        if (count == block_catch_ups_.size()) block_catch_ups_.emplace_back();
        plan_catch_up(block, s, block_catch_ups_[count++]);
    }
    // Each row takes the whole block at once, in storage order, so that it streams through memory
    // once per flush, rather than a tile of columns of all rows at a time.
    with_updates_.clear();
    for (std::size_t i = 0; i < count; ++i)
        if (block_catch_ups_[i].slots != 0) with_updates_.push_back(&block_catch_ups_[i]);
    apply_catch_ups(block, with_updates_);
    for (std::size_t i = 0; i < count; ++i) finish_catch_up(block, block_catch_ups_[i]);
}

// The rows lie far apart in memory and each is changed in a few places, which the processor does
// not foresee: the chunks of the rows ahead are asked for while the earlier ones are worked on.
void BlockedRankChecker::apply_catch_ups(const Block& block, const std::vector<const CatchUp*>& catch_ups) {
    std::size_t ahead = 0, requested = 0, done = 0;
    for (std::size_t k = 0; k < catch_ups.size();) {
        for (; ahead < catch_ups.size() && requested <= done + prefetch_chunks; ++ahead) {
            prefetch_catch_up(*catch_ups[ahead]);
            requested += count_chunks(chunks_to_visit(*catch_ups[ahead]), n_chunks_);
        }
        // Rows that receive the same updates have the same chunks to visit and share the loads of
        // the block: four at a time where the block is too large to stay in the second-level cache,
        // two otherwise.
        const CatchUp& catch_up = *catch_ups[k];
        const auto same_updates = [&](std::size_t count) {
            if (k + count > catch_ups.size()) return false;
            for (std::size_t i = 1; i < count; ++i) {
                const CatchUp& other = *catch_ups[k + i];
                if (other.slots != catch_up.slots || other.skip_zeros != catch_up.skip_zeros) return false;
            }
            return true;
        };
        std::size_t step = 1;
        if (share_among_four_ && same_updates(4)) {
            double* rows[4];
            const double* factors[4];
            for (std::size_t i = 0; i < 4; ++i) {
                rows[i] = stored(catch_ups[k + i]->row);
                factors[i] = catch_ups[k + i]->factors;
            }
            kernels::apply_updates_to_four(rows, block.values.data(), block.stride, factors, catch_up.slots, 0,
                                           n_chunks_, chunks_to_visit(catch_up), slot_masks_for(block, catch_up));
            step = 4;
        } else if (same_updates(2)) {
            apply_catch_up_to_pair(block, catch_up, *catch_ups[k + 1]);
            step = 2;
        } else {
            apply_catch_up(block, catch_up);
        }
        done += step * count_chunks(chunks_to_visit(catch_up), n_chunks_);
        k += step;
    }
}

std::vector<std::vector<double>> BlockedRankChecker::stored_rows() {
    flush();
    std::vector<std::vector<double>> rows(rank_, std::vector<double>(ncols_));
    for (std::size_t s = 0; s < rank_; ++s)
        for (std::size_t c = 0; c < ncols_; ++c) rows[s][c] = stored(s)[position_[c]];
    return rows;
}

// A non-finite value stays non-finite through any update, and an update r - u * f with |f| <= |r|
// grows a row's largest magnitude by a factor 1 + max|u| at most: where the stored rows are finite
// and too small for the pending updates to overflow, those updates cannot break anything down and
// are not applied. Otherwise the oldest pending block is applied and the bound tried again.
bool BlockedRankChecker::broke_down() {
    if (non_finite_row_seen_) return true;
    while (blocks_.size() > 1 || rank_ > blocks_[0].first) {
        double bound = 0.0;
        for (std::size_t s = 0; s < rank_; ++s) {
            const kernels::RowScan scan = kernels::scan_row(stored(s), n_chunks_, tol_, nullptr);
            if (!scan.all_finite) return true;
            bound = std::max(bound, scan.largest);
        }
        for (const Block& block : blocks_)
            for (std::size_t t = block.first; t < block_end(block); ++t) bound *= 1.0 + block.largest[t - block.first];
        if (bound < overflow_free_bound) return false;
        if (blocks_.size() == 1) {
            flush();
            break;
        }
        apply_block(blocks_.front());
        blocks_.erase(blocks_.begin());
    }
    for (std::size_t s = 0; s < rank_; ++s)
        if (!all_finite(stored(s), ncols_)) return true;
    return false;
}

}  // namespace telvora
