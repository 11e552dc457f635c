// Arithmetic in the prime field of p = 2^61 - 1, and sparse row echelon forms over it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace telvora::modular {

// A Mersenne prime: a product of two residues (below 2^122) folds back with shifts and masks.
constexpr std::uint64_t prime = (std::uint64_t{1} << 61) - 1;

// Every operand below is a residue in [0, prime). The conditional corrections are written with
// masks rather than branches: on random residues a branch is mispredicted half the time.

// x - prime when x >= prime, for x < 2^62.
inline std::uint64_t fold(std::uint64_t x) {
    const std::uint64_t t = x - prime;
    return t + (prime & (std::uint64_t{0} - (t >> 63)));  // t wrapped below zero: add prime back
}

inline std::uint64_t add(std::uint64_t a, std::uint64_t b) { return fold(a + b); }

inline std::uint64_t sub(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t t = a - b;
    return t + (prime & (std::uint64_t{0} - (t >> 63)));  // a < b: t wrapped below zero
}

inline std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 z = static_cast<unsigned __int128>(a) * b;  // below 2^122
    const std::uint64_t s = (static_cast<std::uint64_t>(z) & prime) + static_cast<std::uint64_t>(z >> 61);
    return fold(s);  // s < 2^62 and s - prime < prime
}

inline std::uint64_t negate(std::uint64_t a) { return a == 0 ? 0 : prime - a; }

// a^(prime - 2), the inverse of a non-zero residue (Fermat).
std::uint64_t inverse(std::uint64_t a);

// A row echelon form over the field, built one row at a time. A new row is reduced by the stored
// row whose pivot is its first non-zero column, left to right, until it vanishes (dependent) or
// meets a column no stored row has as pivot (independent: it is stored).
// A stored row is kept as its non-zero entries, or as the dense span from its pivot to its last
// non-zero where that is at least half full, so a column order that keeps rows short (the
// caller's business) keeps the work small. The row being reduced is dense.
//
// With tracking on, it also keeps what recovers a random element of the left kernel of the rows
// handed to it (an equilibrium stress, for rows of a rigidity matrix): the multiples of stored
// rows each new row took, and a running combination of the dependent rows' multiples.
class Echelon {
public:
    // Empties the form for rows of ncols columns; buffers are kept for the next use.
    void reset(std::size_t ncols, bool track);

    // An entry of the row being built (zero until written).
    std::uint64_t& entry(std::size_t column) {
        lo_ = std::min(lo_, column);
        hi_ = std::max(hi_, column + 1);
        return work_[column];
    }

    // Reduces the row built with entry() and leaves an empty row for the next one. Returns true
    // and stores it when it is independent of the stored rows. With tracking, a dependent row
    // enters the kernel element with the weight given.
    bool reduce(std::uint64_t weight = 1);

    std::size_t rank() const { return stored_.size(); }

    // An element x of the right kernel of the stored rows (every row times x is zero): x[c] is
    // values[c] at each column without a pivot, and each pivot entry is solved for by back
    // substitution, the rows taken by decreasing pivot column. With random values at the free
    // columns it is a random kernel element. Leaves the form unchanged.
    std::vector<std::uint64_t> kernel_vector(std::vector<std::uint64_t> values);

    // With tracking, after the last row: the kernel element's entry for each row handed over, in
    // order (the weight for a dependent row; for an independent one what makes the whole
    // combination of rows zero).
    std::vector<std::uint64_t> kernel_element() const;

private:
    struct Stored {
        std::size_t first, count;  // its entries after the pivot, in the pools
        std::size_t end;           // one past its last non-zero column
        bool dense;                // values of every column from the pivot's next to end; no columns
        std::size_t first_factor, factor_count;  // in factors_, with tracking
        std::uint64_t pivot_value;  // its value at the pivot (rows are stored unscaled)
        std::size_t order;          // position among the rows handed over
    };
    struct Factor {
        std::size_t stored;
        std::uint64_t value;
    };

    void invert_pending();

    std::size_t ncols_ = 0;
    bool track_ = false;
    std::vector<std::uint64_t> work_;
    std::size_t lo_ = 0, hi_ = 0;  // the columns of the row being reduced that may be non-zero
    std::vector<std::uint32_t> pool_columns_;
    std::vector<std::uint64_t> pool_values_;
    std::vector<Stored> stored_;
    std::vector<std::uint64_t> scales_;     // per stored row: 1 / its pivot value, or 0 until needed
    std::vector<std::size_t> unscaled_;     // the stored rows whose scale is not known yet
    std::vector<std::uint64_t> inversion_buffer_;
    std::vector<std::size_t> pivot_row_;    // per column: stored row with its pivot there, or none
    std::vector<Factor> factors_;           // with tracking
    std::vector<Factor> pending_;           // factors of the row being reduced
    std::vector<std::uint64_t> combination_;  // per stored row: minus the weighted dependent multiples
    std::vector<std::pair<std::size_t, std::uint64_t>> dependent_;  // (order, weight) of dependent rows
    std::size_t handed_ = 0;
};

}  // namespace telvora::modular
