// Row-by-row Givens QR of a sparse matrix with a numeric rank decision.
#include "elimination/sparse_qr.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <new>

namespace telvora {

namespace {

// sqrt(a^2 + b^2) without overflow or underflow; the plain formula where it is exact enough.
double pythagoras(double a, double b) {
    const double big = std::max(std::fabs(a), std::fabs(b));
    if (big > 0x1p-500 && big < 0x1p500) return std::sqrt(a * a + b * b);
    return std::hypot(a, b);
}

}  // namespace

SparseGivensQR::SparseGivensQR(std::size_t ncols) {
    if (ncols >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    rows_.resize(ncols);
    work_.assign(ncols, 0.0);
    queued_.assign(ncols, 0);
    order_of_.assign(ncols, not_stored);
}

// One rotation of the new row against the stored row with this pivot, zeroing the new row there.
// Both rows end up on the union of their structures (mostly the new row's lies within the stored
// row's, and the rotation runs in place).
void SparseGivensQR::rotate(Row& row, std::uint32_t pivot) {
    const double a = row.values[row.pivot_at], b = work_[pivot];
    const double r = pythagoras(a, b);
    const double c = a / r, s = b / r;
    if (!std::isfinite(r) || !std::isfinite(c) || !std::isfinite(s)) non_finite_ = true;
    const std::size_t row_count = row.columns.size(), count = structure_.size();
    bool within = count <= row_count;
    for (std::size_t i = 0, j = 0; within && j < count; ++j) {
        while (i < row_count && row.columns[i] < structure_[j]) ++i;
        within = i < row_count && row.columns[i] == structure_[j];
    }
    if (within) {
        double* values = row.values.data();
        const std::uint32_t* columns = row.columns.data();
        structure_.clear();
        for (std::size_t i = 0; i < row_count; ++i) {
            if (i == row.pivot_at) continue;
            const double stored = values[i], v = work_[columns[i]];
            values[i] = c * stored + s * v;
            work_[columns[i]] = c * v - s * stored;
            structure_.push_back(columns[i]);
            queue_if_pivot(columns[i]);
        }
        values[row.pivot_at] = r;
        work_[pivot] = 0.0;
        return;
    }
    merged_columns_.clear();
    merged_values_.clear();
    merged_structure_.clear();
    std::size_t i = 0, j = 0;
    while (i < row_count || j < count) {
        std::uint32_t column;
        if (j == count || (i < row_count && row.columns[i] <= structure_[j])) column = row.columns[i];
        else column = structure_[j];
        const double stored = (i < row_count && row.columns[i] == column) ? row.values[i++] : 0.0;
        if (j < count && structure_[j] == column) ++j;
        const double v = work_[column];  // zero outside the new row's structure
        if (column == pivot) {
            row.pivot_at = static_cast<std::uint32_t>(merged_columns_.size());
            merged_columns_.push_back(column);
            merged_values_.push_back(r);
            work_[column] = 0.0;
            continue;
        }
        merged_columns_.push_back(column);
        merged_values_.push_back(c * stored + s * v);
        work_[column] = c * v - s * stored;
        merged_structure_.push_back(column);
        queue_if_pivot(column);
    }
    row.columns.swap(merged_columns_);
    row.values.swap(merged_values_);
    structure_.swap(merged_structure_);
}

void SparseGivensQR::queue_row(std::uint32_t order, std::uint32_t column) {
    queued_[column] = rows_added_;
    queue_.push_back((static_cast<std::uint64_t>(order) << 32) | column);
    std::push_heap(queue_.begin(), queue_.end(), std::greater<>());
}

bool SparseGivensQR::add_row(const std::uint32_t* columns, const double* values, std::size_t count, double tol,
                             bool may_grow) {
    ++rows_added_;
    refused_last_ = false;
    structure_.clear();
    for (std::size_t k = 0; k < count; ++k) {
        if (values[k] == 0.0) continue;
        if (!std::isfinite(values[k])) {
            non_finite_ = true;
            continue;
        }
        work_[columns[k]] = values[k];
        structure_.push_back(columns[k]);
    }
    std::sort(structure_.begin(), structure_.end());
    queue_.clear();
    for (std::uint32_t column : structure_) queue_if_pivot(column);
    while (!queue_.empty()) {
        std::pop_heap(queue_.begin(), queue_.end(), std::greater<>());
        const auto pivot = static_cast<std::uint32_t>(queue_.back() & 0xFFFFFFFFu);
        queue_.pop_back();
        if (work_[pivot] == 0.0) continue;
        rotate(rows_[pivot], pivot);
    }
    // What is left lies at columns without a stored row; its 2-norm, scaled against overflow.
    double largest = 0.0;
    for (std::uint32_t j : structure_) largest = std::max(largest, std::fabs(work_[j]));
    if (!std::isfinite(largest)) non_finite_ = true;
    double norm = 0.0;
    if (largest > 0.0 && std::isfinite(largest)) {
        double sum = 0.0;
        for (std::uint32_t j : structure_) {
            const double x = work_[j] / largest;
            sum = sum + x * x;
        }
        norm = largest * std::sqrt(sum);
    }
    const bool independent = norm > tol && std::isfinite(norm);
    if (!independent || !may_grow) {
        refused_last_ = independent;
        for (std::uint32_t j : structure_) work_[j] = 0.0;
        return false;
    }
    std::uint32_t pivot = 0;
    for (std::uint32_t j : structure_)
        if (std::fabs(work_[j]) >= pivot_threshold * largest) {
            pivot = j;
            break;
        }
    Row& row = rows_[pivot];
    row.stored = true;
    order_of_[pivot] = static_cast<std::uint32_t>(by_order_.size());
    row.order = static_cast<std::uint32_t>(by_order_.size());
    row.columns.clear();
    row.values.clear();
    for (std::uint32_t j : structure_) {
        if (work_[j] != 0.0 || j == pivot) {
            if (j == pivot) row.pivot_at = static_cast<std::uint32_t>(row.columns.size());
            row.columns.push_back(j);
            row.values.push_back(work_[j]);
        }
        work_[j] = 0.0;
    }
    by_order_.push_back(pivot);
    return true;
}

void SparseGivensQR::multiply(const std::vector<double>& v, std::vector<double>& t) const {
    for (std::uint32_t c : by_order_) {
        const Row& row = rows_[c];
        double sum = 0.0;
        for (std::size_t k = 0; k < row.columns.size(); ++k) sum = sum + row.values[k] * v[row.columns[k]];
        t[c] = sum;
    }
}

void SparseGivensQR::solve(std::vector<double>& x) const {
    for (std::size_t k = by_order_.size(); k-- > 0;) {
        const std::uint32_t c = by_order_[k];
        const Row& row = rows_[c];
        double sum = x[c];
        for (std::size_t i = 0; i < row.columns.size(); ++i) {
            const std::uint32_t j = row.columns[i];
            if (i != row.pivot_at && rows_[j].stored && rows_[j].order > k) sum = sum - row.values[i] * x[j];
        }
        x[c] = sum / row.values[row.pivot_at];
    }
}

void SparseGivensQR::solve_transposed(std::vector<double>& x) const {
    for (std::size_t k = 0; k < by_order_.size(); ++k) {
        const std::uint32_t c = by_order_[k];
        const Row& row = rows_[c];
        const double z = x[c] / row.values[row.pivot_at];
        x[c] = z;
        for (std::size_t i = 0; i < row.columns.size(); ++i) {
            const std::uint32_t j = row.columns[i];
            if (i != row.pivot_at && rows_[j].stored && rows_[j].order > k) x[j] = x[j] - row.values[i] * z;
        }
    }
}

}  // namespace telvora
