// Row-by-row Givens QR of a sparse matrix with a numeric rank decision, for rigidity at given
// positions: orthogonal updates never grow the stored rows, so the rounding a dependent row keeps
// stays near the machine precision times the matrix's norm however many rows it meets, and each
// row's pivot is one of its largest remaining entries, so the triangle at the pivots stays about
// as well conditioned as the rows themselves and that rounding is never taken for a new direction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telvora {

// The factor R of all the rows added so far (R^T R = A^T A up to rounding and the residues of the
// dependent rows, each of 2-norm at most the tolerance), one stored row per pivot column. Keeping
// the dependent rows in R keeps it as well conditioned as the matrix itself: the independent rows
// alone can be a poor basis of the rows' span even when the span has a clear gap.
//
// Stored row k (in the order rows were stored) is zero at the pivot columns of rows 0 .. k-1, so
// R at its pivot columns is upper triangular in that order, and a new row is rotated against the
// stored rows in that order. Its pivot is the first column (in index order) of what is left whose
// magnitude is at least pivot_threshold times the largest left: a caller orders the columns to
// keep R sparse (for a graph: a fill-reducing order of its vertices), and the threshold keeps a
// rounding remnant, or an entry much smaller than the rest of its row, from becoming a pivot. (A
// pivot at the first entry above the tolerance, as George and Heath's column order needs, made
// the triangle ill-conditioned enough on frameworks of a few hundred points in space for rounding
// to pass the tolerance.)
class SparseGivensQR {
public:
    static constexpr double pivot_threshold = 0.1;

    // Throws std::bad_alloc when ncols does not fit 32 bits.
    explicit SparseGivensQR(std::size_t ncols);

    // Rotates a row (distinct columns, any order) against the stored rows whose pivot columns it
    // meets, in the order they were stored (each stored row takes the union of both structures). The row is independent when what is left has a 2-norm above tol;
    // it is then stored when may_grow. Otherwise what is left is dropped (refused_last() says
    // whether it was above tol). Returns whether the row was stored.
    bool add_row(const std::uint32_t* columns, const double* values, std::size_t count, double tol, bool may_grow);

    std::size_t rank() const { return by_order_.size(); }
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


private:
    struct Row {
        bool stored = false;
        std::uint32_t order = 0;              // the place among the stored rows
        std::uint32_t pivot_at = 0;           // index of the pivot in columns / values
        std::vector<std::uint32_t> columns;   // increasing
        std::vector<double> values;
    };
    void rotate(Row& row, std::uint32_t pivot);
    // Queues the stored row at this column, if any, once: a row stored after the one just rotated
    // is zero at every pivot column of the rows before it, so the queue only ever gains later rows
    // and each pivot column is met at most once. Inline, with the order in a compact array: it is
    // asked at every column a rotation meets.
    void queue_if_pivot(std::uint32_t column) {
        const std::uint32_t order = order_of_[column];
        if (order == not_stored || queued_[column] == rows_added_) return;
        queue_row(order, column);
    }
    void queue_row(std::uint32_t order, std::uint32_t column);

    std::vector<Row> rows_;
    std::vector<std::uint32_t> by_order_;   // pivot column of each stored row, in storing order
    std::vector<double> work_;              // the new row, dense; zero outside structure_
    std::vector<std::uint32_t> structure_;  // where the new row may be non-zero, increasing
    std::vector<std::uint32_t> merged_columns_, merged_structure_;
    std::vector<double> merged_values_;
    std::vector<std::uint64_t> queue_;      // min-heap of (order << 32 | pivot column) to rotate at
    static constexpr std::uint32_t not_stored = 0xFFFFFFFFu;
    std::vector<std::uint32_t> order_of_;   // the storing order of the row at each column
    std::vector<std::uint64_t> queued_;     // rows_added_ where a pivot column is queued
    std::uint64_t rows_added_ = 0;  // stamps queued_, starting at 1
    bool non_finite_ = false;
    bool refused_last_ = false;
};

}  // namespace telvora
