// Arithmetic in the prime field of p = 2^61 - 1, and sparse row echelon forms over it.
#include "elimination/modular.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>
#include <string>

#include "base/errors.hpp"

namespace telvora::modular {

namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

}  // namespace

// a^(prime - 2) = a^(4 * (2^59 - 1) + 1) by an addition chain: t(k) = a^(2^k - 1) grows by
// t(2k) = t(k)^(2^k) * t(k) and t(k + 1) = t(k)^2 * a, 60 squarings and 10 products in all.
std::uint64_t inverse(std::uint64_t a) {
    auto square_times = [](std::uint64_t x, int times) {
        for (int i = 0; i < times; ++i) x = mul(x, x);
        return x;
    };
    const std::uint64_t t2 = mul(square_times(a, 1), a);
    const std::uint64_t t3 = mul(square_times(t2, 1), a);
    const std::uint64_t t6 = mul(square_times(t3, 3), t3);
    const std::uint64_t t7 = mul(square_times(t6, 1), a);
    const std::uint64_t t14 = mul(square_times(t7, 7), t7);
    const std::uint64_t t28 = mul(square_times(t14, 14), t14);
    const std::uint64_t t29 = mul(square_times(t28, 1), a);
    const std::uint64_t t58 = mul(square_times(t29, 29), t29);
    const std::uint64_t t59 = mul(square_times(t58, 1), a);
    return mul(square_times(t59, 2), a);
}

void Echelon::reset(std::size_t ncols, bool track) {
    if (ncols > std::numeric_limits<std::uint32_t>::max())
        throw OutOfMemory("an echelon form of " + std::to_string(ncols) + " columns: beyond the 2**32 - 1 "
                          "its 32-bit column ids address");
    ncols_ = ncols;
    track_ = track;
    work_.assign(ncols, 0);
    lo_ = ncols;
    hi_ = 0;
    pool_columns_.clear();
    pool_values_.clear();
    stored_.clear();
    scales_.clear();
    unscaled_.clear();
    pivot_row_.assign(ncols, none);
    factors_.clear();
    pending_.clear();
    combination_.clear();
    dependent_.clear();
    handed_ = 0;
}

// Montgomery's simultaneous inversion: one inverse and three products per row instead of an
// inverse per row.
void Echelon::invert_pending() {
    std::vector<std::uint64_t>& prefix = inversion_buffer_;
    prefix.resize(unscaled_.size());
    std::uint64_t product = 1;
    for (std::size_t t = 0; t < unscaled_.size(); ++t) {
        prefix[t] = product;
        product = mul(product, stored_[unscaled_[t]].pivot_value);
    }
    std::uint64_t inverse_of_rest = inverse(product);
    for (std::size_t t = unscaled_.size(); t-- > 0;) {
        const std::size_t j = unscaled_[t];
        scales_[j] = mul(inverse_of_rest, prefix[t]);
        inverse_of_rest = mul(inverse_of_rest, stored_[j].pivot_value);
    }
    unscaled_.clear();
}

bool Echelon::reduce(std::uint64_t weight) {
    std::uint64_t* x = work_.data();
    const std::size_t order = handed_++;
    pending_.clear();
    std::size_t c = lo_, hi = hi_;
    lo_ = ncols_;
    hi_ = 0;
    for (;; ++c) {
        while (c < hi && x[c] == 0) ++c;
        if (c >= hi) break;
        const std::size_t r = pivot_row_[c];
        if (r == none) break;
        // x -= v * stored row r, which is 1 at column c once scaled by its pivot's inverse. The
        // inverses are worked out when a row is first used (some never are), for every row
        // stored by then at once.
        if (scales_[r] == 0) invert_pending();
        const std::uint64_t v = mul(x[c], scales_[r]);
        const Stored& s = stored_[r];
        const std::uint64_t* values = pool_values_.data() + s.first;
        if (s.dense) {
            std::uint64_t* target = x + c + 1;
            for (std::size_t t = 0; t < s.count; ++t) target[t] = sub(target[t], mul(v, values[t]));
        } else {
            const std::uint32_t* columns = pool_columns_.data() + s.first;
            for (std::size_t t = 0; t < s.count; ++t) x[columns[t]] = sub(x[columns[t]], mul(v, values[t]));
        }
        x[c] = 0;
        hi = std::max(hi, s.end);
        if (track_) pending_.push_back(Factor{r, v});
    }
    if (c >= hi) {  // the row vanished
        if (track_) {
            // The row equals the sum of v * stored row over its factors; the kernel element gives it
            // `weight` and the stored rows' combination carries minus weight times each factor.
            for (const Factor& f : pending_) combination_[f.stored] = sub(combination_[f.stored], mul(weight, f.value));
            dependent_.emplace_back(order, weight);
        }
        return false;
    }
    const std::uint64_t pivot_value = x[c];
    scales_.push_back(0);  // not known yet
    unscaled_.push_back(stored_.size());
    x[c] = 0;
    std::size_t end = hi, nonzeros = 0;
    while (end > c + 1 && x[end - 1] == 0) --end;
    for (std::size_t k = c + 1; k < end; ++k) nonzeros += x[k] != 0;
    Stored s{pool_values_.size(), 0, end, 2 * nonzeros >= end - c - 1, factors_.size(), 0, pivot_value, order};
    for (std::size_t k = c + 1; k < end; ++k) {
        if (x[k] == 0 && !s.dense) continue;
        if (!s.dense) pool_columns_.push_back(static_cast<std::uint32_t>(k));
        pool_values_.push_back(x[k]);
        x[k] = 0;
    }
    s.count = pool_values_.size() - s.first;
    if (s.dense) pool_columns_.resize(pool_values_.size());  // keeps the two pools in step
    if (track_) {
        factors_.insert(factors_.end(), pending_.begin(), pending_.end());
        s.factor_count = pending_.size();
        combination_.push_back(0);
    }
    pivot_row_[c] = stored_.size();
    stored_.push_back(s);
    return true;
}

std::vector<std::uint64_t> Echelon::kernel_vector(std::vector<std::uint64_t> values) {
    values.resize(ncols_, 0);
    if (!unscaled_.empty()) invert_pending();
    for (std::size_t c = ncols_; c-- > 0;) {
        const std::size_t r = pivot_row_[c];
        if (r == none) continue;
        const Stored& s = stored_[r];
        const std::uint64_t* entries = pool_values_.data() + s.first;
        std::uint64_t sum = 0;
        if (s.dense) {
            for (std::size_t t = 0; t < s.count; ++t) sum = add(sum, mul(entries[t], values[c + 1 + t]));
        } else {
            const std::uint32_t* columns = pool_columns_.data() + s.first;
            for (std::size_t t = 0; t < s.count; ++t) sum = add(sum, mul(entries[t], values[columns[t]]));
        }
        values[c] = negate(mul(sum, scales_[r]));
    }
    return values;
}

// Stored row j is its original row minus the sum of its factors times earlier stored rows, so
// original row j = S_j + sum of factors * S_k; a dependent row is the sum of its factors times
// stored rows. Let w be the kernel element: w on a dependent row is its weight; on the
// independent ones it solves, for every stored row S_j,
//     w_j + sum over later rows i of (factor of i on j) * w_i = combination_j,
// where combination_j is minus the weighted dependent factors on j. The later rows are solved
// first, so one pass from the last stored row back gives every w_j.
std::vector<std::uint64_t> Echelon::kernel_element() const {
    std::vector<std::uint64_t> w(handed_, 0);
    std::vector<std::uint64_t> rhs = combination_;
    for (std::size_t j = stored_.size(); j-- > 0;) {
        const Stored& s = stored_[j];
        const std::uint64_t wj = rhs[j];
        w[s.order] = wj;
        if (wj == 0) continue;
        for (std::size_t f = s.first_factor; f < s.first_factor + s.factor_count; ++f)
            rhs[factors_[f].stored] = sub(rhs[factors_[f].stored], mul(factors_[f].value, wj));
    }
    for (const auto& [order, weight] : dependent_) w[order] = weight;
    return w;
}

}  // namespace telvora::modular
