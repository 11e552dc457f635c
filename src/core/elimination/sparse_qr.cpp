// Row-by-row Givens QR of a sparse matrix with a numeric rank decision.
#include "elimination/sparse_qr.hpp"

#include <algorithm>
#include <cmath>
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

// A sparse row filling at least this share of its span is kept dense.
constexpr double dense_share = 0.4;

}  // namespace

SparseGivensQR::SparseGivensQR(std::size_t ncols) {
    if (ncols >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    rows_.resize(ncols);
    work_.assign(ncols, 0.0);
}

void SparseGivensQR::make_dense(Row& row, std::uint32_t pivot, std::uint32_t end) {
    std::vector<double> values(end - pivot, 0.0);
    if (row.dense) {
        std::copy(row.values.begin(), row.values.end(), values.begin());
    } else {
        for (std::size_t k = 0; k < row.columns.size(); ++k) values[row.columns[k] - pivot] = row.values[k];
        row.columns = {};
    }
    row.values.swap(values);
    row.dense = true;
    row.end = end;
}

void SparseGivensQR::rotate(Row& row, std::uint32_t pivot, Structure structure) {
    const double a = row.values[0], b = work_[pivot];
    const double r = pythagoras(a, b);
    const double c = a / r, s = b / r;
    if (!std::isfinite(r) || !std::isfinite(c) || !std::isfinite(s)) non_finite_ = true;
    log_.push_back(Step{pivot, c, s});
    if (!row.dense && !structure.list) make_dense(row, pivot, std::max(row.columns.back() + 1, structure.end));
    if (row.dense) {
        if (structure.last() >= row.end) make_dense(row, pivot, structure.last() + 1);
        double* values = row.values.data();
        double* x = work_.data() + pivot;
        const std::size_t span = row.end - pivot;
        for (std::size_t i = 1; i < span; ++i) {
            const double stored = values[i], v = x[i];
            values[i] = c * stored + s * v;
            x[i] = c * v - s * stored;
        }
        values[0] = r;
        work_[pivot] = 0.0;
        return;
    }
    const std::size_t row_count = row.columns.size(), count = structure.count;
    const std::uint32_t* list = structure.list;
    // Mostly the new row's structure is within the stored row's (both lie on one path of the
    // elimination tree): then the rotation runs in place.
    bool within = true;
    for (std::size_t i = 0, j = 0; j < count; ++j) {
        while (i < row_count && row.columns[i] < list[j]) ++i;
        if (i == row_count || row.columns[i] != list[j]) {
            within = false;
            break;
        }
    }
    if (within) {
        double* values = row.values.data();
        const std::uint32_t* columns = row.columns.data();
        for (std::size_t i = 1; i < row_count; ++i) {
            const double stored = values[i], v = work_[columns[i]];
            values[i] = c * stored + s * v;
            work_[columns[i]] = c * v - s * stored;
        }
        values[0] = r;
        work_[pivot] = 0.0;
        return;
    }
    merged_columns_.clear();
    merged_values_.clear();
    std::size_t i = 0, j = 0;
    while (i < row_count || j < count) {
        std::uint32_t column;
        if (j == count || (i < row_count && row.columns[i] <= list[j])) column = row.columns[i];
        else column = list[j];
        const double stored = (i < row_count && row.columns[i] == column) ? row.values[i++] : 0.0;
        if (j < count && list[j] == column) ++j;
        const double v = work_[column];  // zero outside the new row's structure
        merged_columns_.push_back(column);
        merged_values_.push_back(c * stored + s * v);
        work_[column] = c * v - s * stored;
    }
    merged_values_[0] = r;
    work_[pivot] = 0.0;
    row.columns.swap(merged_columns_);
    row.values.swap(merged_values_);
    const std::uint32_t end = row.columns.back() + 1;
    if (static_cast<double>(row.columns.size()) >= dense_share * static_cast<double>(end - pivot))
        make_dense(row, pivot, end);
}

bool SparseGivensQR::add_row(const std::uint32_t* columns, const double* values, std::size_t count, double tol,
                             bool may_grow) {
    own_.clear();
    for (std::size_t k = 0; k < count; ++k) {
        if (values[k] == 0.0) continue;
        if (!std::isfinite(values[k])) {
            non_finite_ = true;
            continue;
        }
        work_[columns[k]] = values[k];
        own_.push_back(columns[k]);
    }
    std::sort(own_.begin(), own_.end());
    // Where the new row may be non-zero: its own columns, and after a rotation the stored row's
    // columns after its pivot (a view into that row, which later rotations leave alone).
    Structure structure{own_.data(), own_.size(), 0, 0};
    std::size_t at = 0;
    const auto size = [&] { return structure.list ? structure.count : std::size_t{structure.end - structure.first}; };
    const auto column_at = [&](std::size_t k) {
        return structure.list ? structure.list[k] : static_cast<std::uint32_t>(structure.first + k);
    };
    bool stored = false;
    refused_last_ = false;
    log_.clear();
    while (at < size()) {
        const std::uint32_t column = column_at(at);
        const double x = work_[column];
        if (x == 0.0) {
            ++at;
            continue;
        }
        Row& row = rows_[column];
        if (row.stored) {
            Structure rest = structure;
            if (rest.list) rest.list += at, rest.count -= at;
            else rest.first = column;
            rotate(row, column, rest);
            if (row.dense) structure = Structure{nullptr, 0, column + 1, row.end};
            else structure = Structure{row.columns.data() + 1, row.columns.size() - 1, 0, 0};
            at = 0;
            continue;
        }
        if (std::fabs(x) <= tol) {  // rounding left of a dependent row, within the tolerance
            log_.push_back(Step{column, x, 0.0, true});
            work_[column] = 0.0;
            ++at;
            continue;
        }
        if (!std::isfinite(x)) non_finite_ = true;
        if (may_grow && std::isfinite(x)) {
            row.stored = true;
            const std::size_t n = size() - at;
            row.columns.resize(n);
            row.values.resize(n);
            for (std::size_t k = 0; k < n; ++k) {
                row.columns[k] = column_at(at + k);
                row.values[k] = work_[row.columns[k]];
            }
            const std::uint32_t end = row.columns.back() + 1;
            if (static_cast<double>(n) >= dense_share * static_cast<double>(end - column)) make_dense(row, column, end);
            ++rank_;
            stored = true;
        } else {
            refused_last_ = std::isfinite(x);

        }
        break;
    }
    if (!stored) {
        // A row not stored leaves R as it was (up to rounding): its rotations are undone in
        // reverse, each by the inverse rotation, from what is left of the row, so that R stays the
        // factor of the independent rows alone.
        for (std::size_t k = log_.size(); k-- > 0;) {
            const Step& step = log_[k];
            if (step.dropped) {
                work_[step.column] = step.c;
                continue;
            }
            Row& row = rows_[step.column];
            const double c = step.c, s = step.s;
            const std::size_t count = row.values.size();
            double* values = row.values.data();
            if (row.dense) {
                double* x = work_.data() + step.column;
                for (std::size_t i = 0; i < count; ++i) {
                    const double stored_value = values[i], v = x[i];
                    values[i] = c * stored_value - s * v;
                    x[i] = s * stored_value + c * v;
                }
            } else {
                for (std::size_t i = 0; i < count; ++i) {
                    const std::uint32_t j = row.columns[i];
                    const double stored_value = values[i], v = work_[j];
                    values[i] = c * stored_value - s * v;
                    work_[j] = s * stored_value + c * v;
                }
            }
        }
        for (const Step& step : log_) {
            if (step.dropped) continue;
            const Row& row = rows_[step.column];
            if (row.dense) std::fill(work_.begin() + step.column, work_.begin() + row.end, 0.0);
            else
                for (std::uint32_t j : row.columns) work_[j] = 0.0;
        }
        for (std::uint32_t j : own_) work_[j] = 0.0;
    }
    for (std::size_t k = at; k < size(); ++k) work_[column_at(k)] = 0.0;
    return stored;
}

void SparseGivensQR::multiply(const std::vector<double>& v, std::vector<double>& t) const {
    for (std::size_t c = 0; c < rows_.size(); ++c) {
        const Row& row = rows_[c];
        if (!row.stored) continue;
        double sum = 0.0;
        if (row.dense)
            for (std::size_t k = 0; k < row.values.size(); ++k) sum = sum + row.values[k] * v[c + k];
        else
            for (std::size_t k = 0; k < row.columns.size(); ++k) sum = sum + row.values[k] * v[row.columns[k]];
        t[c] = sum;
    }
}

void SparseGivensQR::solve(std::vector<double>& x) const {
    for (std::size_t c = rows_.size(); c-- > 0;) {
        const Row& row = rows_[c];
        if (!row.stored) continue;
        double sum = x[c];
        const std::size_t count = row.values.size();
        for (std::size_t k = 1; k < count; ++k) {
            const std::size_t j = row.dense ? c + k : row.columns[k];
            if (rows_[j].stored) sum = sum - row.values[k] * x[j];
        }
        x[c] = sum / row.values[0];
    }
}

void SparseGivensQR::solve_transposed(std::vector<double>& x) const {
    for (std::size_t c = 0; c < rows_.size(); ++c) {
        const Row& row = rows_[c];
        if (!row.stored) continue;
        const double z = x[c] / row.values[0];
        x[c] = z;
        const std::size_t count = row.values.size();
        for (std::size_t k = 1; k < count; ++k) {
            const std::size_t j = row.dense ? c + k : row.columns[k];
            if (rows_[j].stored) x[j] = x[j] - row.values[k] * z;
        }
    }
}

std::size_t SparseGivensQR::stored_entries() const {
    std::size_t total = 0;
    for (const Row& row : rows_) total += row.values.size();
    return total;
}

}  // namespace telvora
