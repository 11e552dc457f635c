// Arithmetic in the prime field of p = 2^61 - 1, and sparse row echelon forms over it.
#include "modular.hpp"

#include <algorithm>

namespace telvora::modular {

namespace {

constexpr std::size_t none = static_cast<std::size_t>(-1);

}  // namespace

std::uint64_t inverse(std::uint64_t a) {
    std::uint64_t result = 1;
    std::uint64_t power = a;
    for (std::uint64_t e = prime - 2; e != 0; e >>= 1) {
        if (e & 1) result = mul(result, power);
        power = mul(power, power);
    }
    return result;
}

void Echelon::reset(std::size_t ncols, bool track) {
    ncols_ = ncols;
    track_ = track;
    work_.assign(ncols, 0);
    pool_.clear();
    stored_.clear();
    pivot_row_.assign(ncols, none);
    factors_.clear();
    pending_.clear();
    combination_.clear();
    dependent_.clear();
    handed_ = 0;
}

bool Echelon::reduce(std::size_t lo, std::size_t hi, std::uint64_t weight) {
    std::uint64_t* x = work_.data();
    const std::size_t order = handed_++;
    pending_.clear();
    std::size_t c = lo;
    for (; c < hi; ++c) {
        const std::uint64_t v = x[c];
        if (v == 0) continue;
        const std::size_t r = pivot_row_[c];
        if (r == none) break;
        // x -= v * stored row r, which is 1 at column c.
        const Stored& s = stored_[r];
        const std::uint64_t* values = pool_.data() + s.begin - c;
        x[c] = 0;
        for (std::size_t k = c + 1; k < s.end; ++k)
            if (values[k] != 0) x[k] = sub(x[k], mul(v, values[k]));
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
    std::size_t end = hi;
    while (x[end - 1] == 0) --end;
    const std::uint64_t pivot_value = x[c];
    const std::uint64_t scale = inverse(pivot_value);
    Stored s{pool_.size(), c, end, factors_.size(), 0, pivot_value, order};
    for (std::size_t k = c; k < end; ++k) {
        pool_.push_back(x[k] == 0 ? 0 : mul(x[k], scale));
        x[k] = 0;
    }
    if (track_) {
        factors_.insert(factors_.end(), pending_.begin(), pending_.end());
        s.factor_count = pending_.size();
        combination_.push_back(0);
    }
    pivot_row_[c] = stored_.size();
    stored_.push_back(s);
    return true;
}

// Stored row j is (its original row minus the sum of its factors times earlier stored rows),
// scaled by 1 / pivot_value: original row j = pivot_value * S_j + sum of factors * S_k. A dependent
// row is the sum of its factors times stored rows. Let w be the kernel element: w on a dependent
// row is its weight; on the independent ones it solves, for every stored row S_j,
//     pivot_value_j * w_j + sum over later rows i of (factor of i on j) * w_i = combination_j,
// where combination_j is minus the weighted dependent factors on j. The later rows are solved
// first, so one pass from the last stored row back gives every w_j.
std::vector<std::uint64_t> Echelon::kernel_element() const {
    std::vector<std::uint64_t> w(handed_, 0);
    std::vector<std::uint64_t> rhs = combination_;
    for (std::size_t j = stored_.size(); j-- > 0;) {
        const Stored& s = stored_[j];
        const std::uint64_t wj = mul(rhs[j], inverse(s.pivot_value));
        w[s.order] = wj;
        if (wj == 0) continue;
        for (std::size_t f = s.first_factor; f < s.first_factor + s.factor_count; ++f)
            rhs[factors_[f].stored] = sub(rhs[factors_[f].stored], mul(factors_[f].value, wj));
    }
    for (const auto& [order, weight] : dependent_) w[order] = weight;
    return w;
}

}  // namespace telvora::modular
