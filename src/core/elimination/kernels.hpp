// Vector kernels of the blocked rank checker, chosen once at run time for the processor.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telvora::kernels {

// The kernels work on whole chunks of this many columns; the blocked checker pads its rows to
// whole chunks.
constexpr std::size_t chunk_width = 16;

// A set of chunks is a bit array: chunk c is bit c % 64 of word c / 64. Wherever a set is
// passed, a null pointer stands for every chunk.
constexpr std::size_t chunk_set_words(std::size_t n_chunks) { return (n_chunks + 63) / 64; }

// Walks the chunks of a set that lie in [first, last), in increasing order.
class ChunkCursor {
public:
    ChunkCursor(const std::uint64_t* set, std::size_t first, std::size_t last)
        : set_(set), next_(first), last_(last), word_(first / 64) {
        if (set_ != nullptr && first < last) bits_ = set_[word_] & (~std::uint64_t{0} << (first % 64));
    }

    // The next chunk, or `last` once there is none.
    std::size_t next() {
        if (set_ == nullptr) return next_ < last_ ? next_++ : last_;
        while (bits_ == 0) {
            if (++word_ * 64 >= last_) return last_;
            bits_ = set_[word_];
        }
        const std::size_t c = word_ * 64 + static_cast<std::size_t>(std::countr_zero(bits_));
        bits_ &= bits_ - 1;
        return c < last_ ? c : last_;
    }

private:
    const std::uint64_t* set_;
    std::size_t next_;
    std::size_t last_;
    std::size_t word_;
    std::uint64_t bits_ = 0;
};

// row[k] = row[k] - stored[k] * v, each element on its own and never fused, over the columns of
// the chunks of `chunks` (a set, or null for all) among the first n_chunks.
void subtract_scaled(double* row, const double* stored, double v, const std::uint64_t* chunks,
                     std::size_t n_chunks);

// A pending block holds its delayed updates chunk by chunk: chunk c of the update in slot t sits
// at block[(c * stride + t) * chunk_width], so one chunk of all its updates is one contiguous
// stream.
// For every chunk c in [first, last) that is in `chunks`, applies the updates of the slots in
// `slots` (bit t for slot t) in increasing slot order, each with factors[t], one element at a
// time: row[k] = row[k] - update[k] * factors[t]. When slot_masks is given, only the slots of
// slot_masks[c] are applied in chunk c: the others hold only zeros there.
void apply_updates(double* row, const double* block, std::size_t stride, const double* factors, std::uint64_t slots,
                   std::size_t first, std::size_t last, const std::uint64_t* chunks, const std::uint64_t* slot_masks);

// The same for two rows that receive the same slots (each with its own factors), which then share
// every load of the block; the results are those of two calls of apply_updates.
void apply_updates_to_pair(double* row, double* other_row, const double* block, std::size_t stride,
                           const double* factors, const double* other_factors, std::uint64_t slots, std::size_t first,
                           std::size_t last, const std::uint64_t* chunks, const std::uint64_t* slot_masks);

// The same for four rows (rows[r] with factors[r]), which share every load of the block.
void apply_updates_to_four(double* const* rows, const double* block, std::size_t stride, const double* const* factors,
                           std::uint64_t slots, std::size_t first, std::size_t last, const std::uint64_t* chunks,
                           const std::uint64_t* slot_masks);

// A stored row that an elimination subtracts, with the delayed updates it has still to receive
// first (as for apply_updates: slots, their factors, the chunks they reach, null for all, and the
// per-chunk slot masks, null for none).
struct NeededRow {
    double* row;
    double factor;                    // the row is subtracted times this
    const std::uint64_t* row_chunks;  // where it may hold a non-zero once up to date (null: all)
    std::uint64_t slots;              // 0: it is up to date
    const double* update_factors;
    const std::uint64_t* update_chunks;
    const std::uint64_t* slot_masks;
};

// Brings rows[0 .. count-1] up to date and subtracts them from x: the results of an apply_updates
// call for each row, then, over the chunks of `visit` (null: all) among the first n_chunks, which
// must hold every chunk a row is updated in, x[k] = x[k] - row[k] * factor for the rows in order,
// one element at a time, never fused, each row only in its own chunks. Where the instruction set
// allows, each row is read once for both. At most max_needed_rows rows.
void catch_up_and_subtract(double* x, const NeededRow* rows, std::size_t count, const double* block,
                           std::size_t stride, const std::uint64_t* visit, std::size_t n_chunks);
constexpr std::size_t max_needed_rows = 8;

// Divides the first n_chunks chunks of x by pivot, one element at a time, in place, and copies the
// quotients to `slot` (chunk c at slot + c * slot_stride). Fills `nonzero`, a chunk set, with the
// chunks that hold a quotient other than zero (a NaN counts as one) and returns the largest
// magnitude among the quotients, NaNs passed over.
double divide_and_store(double* x, double pivot, std::size_t n_chunks, double* slot, std::size_t slot_stride,
                        std::uint64_t* nonzero);

// Works out which of a block's pending updates a row takes, and with what factors. entries[t], for
// the slots t in [begin, end), holds the row's entry at slot t's pivot; effects[t * stride + u] is
// what update t subtracts, per unit of its factor, from the entry at slot u's pivot. Slot by slot,
// an entry whose magnitude is above tol is taken as the factor f of its update and every later
// entry e becomes e - effects[t * stride + u] * f, one element at a time, never fused. Returns the
// slots taken (bit t); their entries are then their factors. Nothing past end is touched.
std::uint64_t take_factors(double* entries, std::size_t begin, std::size_t end, const double* effects,
                           std::size_t stride, double tol);

// True when none of the n values is infinite or NaN.
bool all_finite(const double* values, std::size_t n);

// One pass over the chunks of `chunks` (a set, or null for all) among the first n_chunks: whether
// all their values are finite, whether any has a magnitude above tol (a NaN has none, as
// fabs(NaN) > tol is false) and the largest magnitude among them (0 for none; NaNs passed over).
struct RowScan {
    bool all_finite;
    bool any_above_tol;
    double largest;
};
RowScan scan_row(const double* values, std::size_t n_chunks, double tol, const std::uint64_t* chunks);

// The name of the instruction set in use ("avx2", "sse2" or "scalar"), for benchmarks and reports.
const char* instruction_set();

// The sets this processor can run, preferred first, and a switch between them for tests and
// benchmarks (not to be used while another thread computes).
std::vector<std::string> available_instruction_sets();
bool select_instruction_set(const std::string& name);

}  // namespace telvora::kernels
