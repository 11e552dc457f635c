// The prime field of 2^61 - 1 and the sparse echelon form, against plain arithmetic.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "elimination/modular.hpp"

using namespace telvora::modular;

namespace {

std::uint64_t plain_mul(std::uint64_t a, std::uint64_t b) {
    return static_cast<std::uint64_t>(static_cast<unsigned __int128>(a) * b % prime);
}

// Rank of a dense matrix over the field by textbook elimination, rows in order.
std::size_t plain_rank(std::vector<std::vector<std::uint64_t>> rows) {
    std::size_t rank = 0;
    const std::size_t ncols = rows.empty() ? 0 : rows[0].size();
    for (std::size_t c = 0; c < ncols && rank < rows.size(); ++c) {
        std::size_t p = rank;
        while (p < rows.size() && rows[p][c] == 0) ++p;
        if (p == rows.size()) continue;
        std::swap(rows[p], rows[rank]);
        const std::uint64_t inv = inverse(rows[rank][c]);
        for (std::size_t r = rank + 1; r < rows.size(); ++r) {
            const std::uint64_t f = plain_mul(rows[r][c], inv);
            for (std::size_t k = 0; k < ncols; ++k)
                rows[r][k] = (rows[r][k] + prime - plain_mul(f, rows[rank][k])) % prime;
        }
        ++rank;
    }
    return rank;
}

}  // namespace

TEST(PrimeField, OperationsAgreeWithWideArithmetic) {
    std::mt19937_64 gen(5);
    std::vector<std::uint64_t> values{0, 1, 2, prime - 1, prime - 2, prime / 2, std::uint64_t{1} << 60};
    for (int k = 0; k < 2000; ++k) values.push_back(gen() % prime);
    for (std::size_t a = 0; a < values.size(); a += 3)
        for (std::size_t b = 0; b < values.size(); b += 7) {
            const std::uint64_t x = values[a], y = values[b];
            ASSERT_EQ(mul(x, y), plain_mul(x, y)) << x << " " << y;
            ASSERT_EQ(add(x, y), static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) + y) % prime));
            ASSERT_EQ(sub(x, y), static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) + prime - y) % prime));
        }
    for (std::uint64_t x : values)
        if (x != 0) {
            ASSERT_EQ(mul(x, inverse(x)), 1u) << x;
        }
    EXPECT_EQ(negate(0), 0u);
    EXPECT_EQ(add(negate(12345), 12345), 0u);
}

// Random sparse rows with planted dependencies: the rank and the per-row verdicts match the plain
// elimination of each prefix, and the kernel element annihilates every column.
TEST(Echelon, RankVerdictsAndKernelAgainstPlainElimination) {
    std::mt19937_64 gen(9);
    Echelon echelon;
    for (int round = 0; round < 40; ++round) {
        const std::size_t ncols = 1 + gen() % 30, nrows = 1 + gen() % 40;
        std::vector<std::vector<std::uint64_t>> rows;
        for (std::size_t r = 0; r < nrows; ++r) {
            std::vector<std::uint64_t> row(ncols, 0);
            if (r >= 2 && gen() % 3 == 0) {  // a combination of two earlier rows
                const std::uint64_t f = gen() % prime, g = gen() % prime;
                const auto& a = rows[gen() % r];
                const auto& b = rows[gen() % r];
                for (std::size_t k = 0; k < ncols; ++k) row[k] = add(mul(f, a[k]), mul(g, b[k]));
            } else {
                for (int t = 0; t < 3; ++t) row[gen() % ncols] = gen() % 4 == 0 ? 0 : gen() % prime;
            }
            rows.push_back(row);
        }
        echelon.reset(ncols, true);
        std::size_t previous = 0;
        for (std::size_t r = 0; r < nrows; ++r) {
            for (std::size_t k = 0; k < ncols; ++k)
                if (rows[r][k] != 0 || gen() % 4 == 0) echelon.entry(k) = rows[r][k];  // zeros may be written too
            const std::uint64_t weight = 1 + gen() % (prime - 1);
            const bool independent = echelon.reduce(weight);
            const std::vector<std::vector<std::uint64_t>> prefix(rows.begin(), rows.begin() + r + 1);
            const std::size_t rank = plain_rank(prefix);
            ASSERT_EQ(independent, rank > previous) << round << " " << r;
            ASSERT_EQ(echelon.rank(), rank);
            previous = rank;
        }
        const std::vector<std::uint64_t> w = echelon.kernel_element();
        ASSERT_EQ(w.size(), nrows);
        for (std::size_t k = 0; k < ncols; ++k) {
            std::uint64_t sum = 0;
            for (std::size_t r = 0; r < nrows; ++r) sum = add(sum, mul(w[r], rows[r][k]));
            EXPECT_EQ(sum, 0u) << round << " column " << k;
        }
    }
}
