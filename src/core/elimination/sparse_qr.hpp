// Row-by-row Givens QR of a sparse matrix with a numeric rank decision, for rigidity at given
// positions: orthogonal updates never grow the stored rows, so the rounding a dependent row keeps
// stays near the machine precision times the matrix's norm however many rows it meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace telvora {

// The upper triangular factor R of the rows added so far (R^T R = A^T A up to rounding and the
// dropped residue of dependent rows), one stored row per pivot column. Columns are taken in their
// index order, so a caller orders them to keep R sparse (for a graph: a fill-reducing order of its
// vertices). A stored row keeps its non-zero columns in increasing order, pivot first, until they
// fill most of its span; then it keeps every value from its pivot to its last column, which the
// rotations run through without indirection (the trailing rows of a graph without small
// separators are all of that kind).
class SparseGivensQR {
public:
    // Throws std::bad_alloc when ncols does not fit 32 bits.
    explicit SparseGivensQR(std::size_t ncols);

    // Rotates a row (distinct columns, any order) into R, column by column in increasing order: at
    // a column with a stored row a Givens rotation of the two zeroes the new row there (the stored
    // row takes the union of both structures, as in George and Heath's method); at a column
    // without one, an entry of magnitude at most tol is dropped, and the first larger one makes the
    // row independent, stored there when may_grow (else discarded). Returns whether it was stored.
    // A dependent row comes out of the rotations at rounding level, which the tolerance covers.
    bool add_row(const std::uint32_t* columns, const double* values, std::size_t count, double tol, bool may_grow);

    std::size_t rank() const { return rank_; }
    std::size_t columns() const { return rows_.size(); }
    bool is_pivot(std::size_t column) const { return rows_[column].stored; }
    // Whether the last row added was independent but not stored, may_grow being false.
    bool refused_last() const { return refused_last_; }
    // Whether a row or a rotation met an infinite or NaN value.
    bool saw_non_finite() const { return non_finite_; }

    // t[c] = (R v)[c] at each pivot column c (other entries of t untouched).
    void multiply(const std::vector<double>& v, std::vector<double>& t) const;
    // With R_P the square triangle of R at its pivot columns, in place on the pivot entries of x
    // (the others are read as zero and left as they are): R_P w = x, and R_P^T z = x.
    void solve(std::vector<double>& x) const;
    void solve_transposed(std::vector<double>& x) const;

    // The number of stored values, for the cost.
    std::size_t stored_entries() const;

private:
    struct Row {
        bool stored = false;
        bool dense = false;
        std::uint32_t end = 0;                // dense: one past the last column
        std::vector<std::uint32_t> columns;   // sparse: the pivot first, increasing
        std::vector<double> values;           // sparse: at columns; dense: pivot .. end - 1
    };
    // Where the new row may be non-zero: a list of increasing columns or the range [first, end).
    struct Structure {
        const std::uint32_t* list = nullptr;
        std::size_t count = 0;
        std::uint32_t first = 0, end = 0;
        std::uint32_t last() const { return list ? list[count - 1] : end - 1; }
    };
    void rotate(Row& row, std::uint32_t pivot, Structure structure);
    void make_dense(Row& row, std::uint32_t pivot, std::uint32_t end);

    std::vector<Row> rows_;
    std::vector<double> work_;        // the new row, dense; zero outside its structure
    std::vector<std::uint32_t> own_;  // the new row's own columns, increasing
    std::vector<std::uint32_t> merged_columns_;
    std::vector<double> merged_values_;
    std::size_t rank_ = 0;
    bool non_finite_ = false;
    bool refused_last_ = false;
    // What the row being added did, in order: a rotation against the row at `column` (c, s), or
    // an entry dropped there (its value in c).
    struct Step {
        std::uint32_t column;
        double c, s;
        bool dropped = false;
    };
    std::vector<Step> log_;
};

}  // namespace telvora
