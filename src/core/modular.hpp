// Arithmetic in the prime field of p = 2^61 - 1, and sparse row echelon forms over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace telvora::modular {

// A Mersenne prime: a product of two residues (below 2^122) folds back with shifts and masks.
constexpr std::uint64_t prime = (std::uint64_t{1} << 61) - 1;

// Every operand below is a residue in [0, prime).
inline std::uint64_t add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t s = a + b;  // below 2^62
    return s >= prime ? s - prime : s;
}

inline std::uint64_t sub(std::uint64_t a, std::uint64_t b) { return a >= b ? a - b : a + prime - b; }

inline std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 z = static_cast<unsigned __int128>(a) * b;
    std::uint64_t s = (static_cast<std::uint64_t>(z) & prime) + static_cast<std::uint64_t>(z >> 61);  // below 2^62
    s = (s & prime) + (s >> 61);  // at most prime + 1
    return s >= prime ? s - prime : s;
}

inline std::uint64_t negate(std::uint64_t a) { return a == 0 ? 0 : prime - a; }

// a^(prime - 2), the inverse of a non-zero residue (Fermat).
std::uint64_t inverse(std::uint64_t a);

// A row echelon form over the field, built one row at a time. A new row is reduced by the stored
// row whose pivot is its first non-zero column, left to right, until it vanishes (dependent) or
// meets a column no stored row has as pivot (independent: it is scaled to 1 there and stored).
// Stored rows keep only the span from their pivot to their last non-zero, so a column order that
// keeps rows short (the caller's business) keeps the work small.
//
// With tracking on, it also keeps what recovers a random element of the left kernel of the rows
// handed to it (an equilibrium stress, for rows of a rigidity matrix): the multiples of stored
// rows each new row took, and a running combination of the dependent rows' multiples.
class Echelon {
public:
    // Empties the form for rows of ncols columns; buffers are kept for the next use.
    void reset(std::size_t ncols, bool track);

    // The row being built: write non-zero residues into columns of it, then call reduce.
    std::uint64_t* row() { return work_.data(); }

    // Reduces the row written into row() (non-zero only in columns lo .. hi-1) and leaves row()
    // all zero again. Returns true and stores it when it is independent of the stored rows.
    // With tracking, a dependent row enters the kernel element with the weight given.
    bool reduce(std::size_t lo, std::size_t hi, std::uint64_t weight = 1);

    std::size_t rank() const { return stored_.size(); }

    // With tracking, after the last row: the kernel element's entry for each row handed over, in
    // order (the weight for a dependent row; for an independent one what makes the whole
    // combination of rows zero).
    std::vector<std::uint64_t> kernel_element() const;

private:
    struct Stored {
        std::size_t begin;  // first value in pool_
        std::size_t pivot;  // column of the value 1
        std::size_t end;    // one past the last column kept
        std::size_t first_factor, factor_count;  // in factors_, with tracking
        std::uint64_t pivot_value;  // the value scaled to 1, with tracking
        std::size_t order;  // position among the rows handed over
    };
    struct Factor {
        std::size_t stored;
        std::uint64_t value;
    };

    std::size_t ncols_ = 0;
    bool track_ = false;
    std::vector<std::uint64_t> work_;
    std::vector<std::uint64_t> pool_;
    std::vector<Stored> stored_;
    std::vector<std::size_t> pivot_row_;    // per column: stored row with its pivot there, or none
    std::vector<Factor> factors_;           // with tracking
    std::vector<Factor> pending_;           // factors of the row being reduced
    std::vector<std::uint64_t> combination_;  // per stored row: minus the weighted dependent multiples
    std::vector<std::pair<std::size_t, std::uint64_t>> dependent_;  // (order, weight) of dependent rows
    std::size_t handed_ = 0;
};

}  // namespace telvora::modular
