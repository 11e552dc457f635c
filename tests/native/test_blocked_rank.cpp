// The blocked rank checker against the literal one: same answers, same stored bits.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "elimination/blocked_rank.hpp"
#include "base/errors.hpp"
#include "elimination/kernels.hpp"
#include "base/random.hpp"
#include "elimination/rank.hpp"
#include "frameworks/simulation.hpp"

using namespace telvora;

namespace {

// Equal bits, except that any two NaNs count as equal (their payloads are not part of any result)
// and, where zero chunks may be skipped (tol >= 0), zeros of either sign count as equal.
bool same_value(double a, double b, bool any_zero_sign) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b)) ||
           (any_zero_sign && a == 0.0 && b == 0.0);
}

void expect_same_state(IncrementalRankChecker& literal, BlockedRankChecker& blocked, double tol,
                       const std::string& context) {
    ASSERT_EQ(literal.rank(), blocked.rank()) << context;
    ASSERT_EQ(literal.pivot_cols(), blocked.pivot_cols()) << context;
    // Asked first, while updates are still pending, which it may then leave pending.
    ASSERT_EQ(literal.broke_down(), blocked.broke_down()) << context;
    const auto rows = blocked.stored_rows();
    for (std::size_t s = 0; s < rows.size(); ++s)
        for (std::size_t k = 0; k < rows[s].size(); ++k)
            ASSERT_TRUE(same_value(literal.stored_rows()[s][k], rows[s][k], tol >= 0.0))
                << context << " row " << s << " column " << k << ": " << literal.stored_rows()[s][k] << " vs "
                << rows[s][k];
    ASSERT_EQ(literal.broke_down(), blocked.broke_down()) << context;
}

// Feeds the same rows to both checkers, comparing every answer and, now and then, the state.
// With max_rows the blocked checker is told how many rows it will store at most, as the
// simulations tell it. The state is compared every 37 rows (which applies every pending update),
// or with check_now_and_then false only at the end, so that pending blocks pile up as they do in
// a simulation.
void run_both(const std::vector<std::vector<double>>& rows, std::uint64_t ncols, double tol, PivotRule rule,
              std::uint64_t interleave, const std::string& context, std::size_t block = 0,
              std::uint64_t max_rows = 0, bool check_now_and_then = true) {
    IncrementalRankChecker literal(ncols, tol, rule);
    BlockedRankChecker blocked(ncols, tol, rule, interleave, block);
    if (max_rows > 0) blocked.reserve(max_rows);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(literal.add_row(rows[r]), blocked.add_row(rows[r])) << context << " row " << r;
        if (check_now_and_then && r % 37 == 0) expect_same_state(literal, blocked, tol, context);
    }
    expect_same_state(literal, blocked, tol, context);
}

enum class Layout { Random, Collinear, Coplanar, Coincident, Grid, NearlyDegenerate, Huge, Tiny };

NodeList framework(Layout layout, std::uint64_t n, std::uint64_t d, std::mt19937_64& gen) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> small(-2, 2);
    NodeList nodes;
    for (std::uint64_t i = 0; i < n; ++i) {
        Node node{std::vector<double>(d)};
        const double t = unit(gen);
        for (std::uint64_t k = 0; k < d; ++k) {
            double& x = node.coordinates[k];
            switch (layout) {
                case Layout::Random: x = unit(gen); break;
                case Layout::Collinear: x = t * (k + 1.0); break;
                case Layout::Coplanar: x = k + 1 == d ? 0.5 : unit(gen); break;
                case Layout::Coincident: x = i % 3 == 0 ? 0.25 : unit(gen); break;
                case Layout::Grid: x = small(gen); break;
                case Layout::NearlyDegenerate: x = t * (k + 1.0) + 1e-10 * unit(gen); break;
                case Layout::Huge: x = 1e150 * unit(gen); break;
                case Layout::Tiny: x = 1e-150 * unit(gen); break;
            }
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::vector<std::vector<double>> edge_rows(const NodeList& nodes, std::mt19937_64& gen, bool shuffled) {
    auto edges = upper_triangular_edges(nodes.size());
    if (shuffled) std::shuffle(edges.begin(), edges.end(), gen);
    std::vector<std::vector<double>> rows;
    for (const Edge& e : edges) rows.push_back(RigidityRow(nodes, e.i, e.j).entries);
    return rows;
}

}  // namespace

// Every runnable kernel set is checked against the literal checker, not only the preferred one.
class EveryInstructionSet : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { ASSERT_TRUE(kernels::select_instruction_set(GetParam())); }
    void TearDown() override { kernels::select_instruction_set(kernels::available_instruction_sets().front()); }
};

INSTANTIATE_TEST_SUITE_P(Kernels, EveryInstructionSet, ::testing::ValuesIn(kernels::available_instruction_sets()));

TEST_P(EveryInstructionSet, MatchesTheLiteralCheckerOnFrameworks) {
    std::mt19937_64 gen(20261207);
    const Layout layouts[] = {Layout::Random,     Layout::Collinear,        Layout::Coplanar, Layout::Coincident,
                              Layout::Grid,       Layout::NearlyDegenerate, Layout::Huge,     Layout::Tiny};
    const double tolerances[] = {1e-9, 0.0, 1e-3};
    int cases = 0;
    for (int round = 0; round < 40; ++round)
        for (Layout layout : layouts)
            for (std::uint64_t d : {2u, 3u}) {
                const std::uint64_t n = 3 + gen() % 24;
                const NodeList nodes = framework(layout, n, d, gen);
                const double tol = tolerances[gen() % 3];
                const PivotRule rule = gen() % 4 == 0 ? PivotRule::LargestMagnitude : PivotRule::FirstAboveTolerance;
                const std::string context = "layout " + std::to_string(static_cast<int>(layout)) + " n " +
                                            std::to_string(n) + " d " + std::to_string(d) + " round " +
                                            std::to_string(round);
                run_both(edge_rows(nodes, gen, round % 2 == 1), n * d, tol, rule, round % 3 == 0 ? 1 : d, context,
                         1 + gen() % BlockedRankChecker::max_block_size, round % 2 == 0 ? max_rank(n, d) : 0,
                         round % 4 != 0);
                ++cases;
            }
    EXPECT_EQ(cases, 640);
}

TEST_P(EveryInstructionSet, MatchesOnDenseRowsWithOddValuesAndTolerances) {
    std::mt19937_64 gen(7);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan_value = std::numeric_limits<double>::quiet_NaN();
    const double specials[] = {0.0, -0.0, 1e-9, -1e-9, 1e-300, 1e300, -1e300, 4.9e-324, inf, -inf, nan_value};
    const double tolerances[] = {1e-9, 0.0, -1.0, inf, nan_value, 0.5};
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int round = 0; round < 600; ++round) {
        const std::uint64_t ncols = 1 + gen() % 45;
        const std::size_t n_rows = gen() % 70;
        const int special_share = static_cast<int>(gen() % 4);  // 0: none
        std::vector<std::vector<double>> rows(n_rows, std::vector<double>(ncols));
        for (auto& row : rows)
            for (double& x : row) {
                const auto pick = gen() % 10;
                if (special_share > 0 && pick < static_cast<unsigned>(special_share))
                    x = specials[gen() % std::size(specials)];
                else if (pick < 6)
                    x = 0.0;
                else
                    x = unit(gen) * std::ldexp(1.0, static_cast<int>(gen() % 40) - 20);
            }
        const double tol = tolerances[gen() % std::size(tolerances)];
        const PivotRule rule = gen() % 3 == 0 ? PivotRule::LargestMagnitude : PivotRule::FirstAboveTolerance;
        run_both(rows, ncols, tol, rule, 1 + gen() % 3, "dense round " + std::to_string(round),
                 1 + gen() % BlockedRankChecker::max_block_size, round % 2 == 0 ? rows.size() : 0, round % 4 != 0);
    }
}

TEST_P(EveryInstructionSet, LargeFrameworkAcrossManyBlocks) {
    Lcg64 rng(99);
    const NodeList nodes = random_nodes(120, 3, rng);
    std::mt19937_64 gen(1);
    for (std::size_t block : {0u, 16u, 32u}) {
        run_both(edge_rows(nodes, gen, false), 360, 1e-9, PivotRule::FirstAboveTolerance, 3, "n 120", block);
        run_both(edge_rows(nodes, gen, false), 360, 1e-9, PivotRule::FirstAboveTolerance, 3, "n 120 reserved", block,
                 max_rank(120, 3), false);
    }
    // The last blocks wait, several of them, while shuffled rows need stored rows from all over.
    for (Layout layout : {Layout::Random, Layout::Grid, Layout::NearlyDegenerate}) {
        const NodeList framework_nodes = framework(layout, 110, 3, gen);
        const std::string context = "n 110 shuffled, layout " + std::to_string(static_cast<int>(layout));
        for (PivotRule rule : {PivotRule::FirstAboveTolerance, PivotRule::LargestMagnitude}) {
            auto rows = edge_rows(framework_nodes, gen, true);
            rows.resize(1200);  // enough to reach full rank and go on past it
            run_both(rows, 330, 1e-9, rule, rule == PivotRule::FirstAboveTolerance ? 3 : 1, context, 0,
                     max_rank(110, 3), false);
        }
    }
}

// A pending block too large for the second-level cache is applied four rows at a time.
TEST_P(EveryInstructionSet, LargeBlocksSharedAmongFourRows) {
    constexpr std::uint64_t n = 200, d = 3, block = 64;
    const std::size_t padded = (n * d + kernels::chunk_width - 1) / kernels::chunk_width * kernels::chunk_width;
    ASSERT_GT(block * padded * sizeof(double), BlockedRankChecker::four_row_block_bytes);
    std::mt19937_64 gen(11);
    for (Layout layout : {Layout::Random, Layout::NearlyDegenerate, Layout::Grid}) {
        auto rows = edge_rows(framework(layout, n, d, gen), gen, false);
        rows.resize(700);
        const std::string context = "layout " + std::to_string(static_cast<int>(layout));
        run_both(rows, n * d, 1e-9, PivotRule::FirstAboveTolerance, d, context, block, max_rank(n, d), false);
        run_both(rows, n * d, 1e-9, PivotRule::LargestMagnitude, 1, context + " largest", block, max_rank(n, d),
                 false);
    }
}

// Rows e_i + a e_(i+1): each new row multiplies the first stored row's largest entry by a, and no
// elimination reads that row, so the updates stay pending across several blocks until asked for.
TEST_P(EveryInstructionSet, OverflowInUpdatesLeftPendingIsABreakdown) {
    constexpr std::uint64_t ncols = 130;
    for (double a : {2.0, 1e10}) {
        std::vector<std::vector<double>> rows;
        for (std::uint64_t i = 0; i + 1 < ncols; ++i) {
            std::vector<double> row(ncols, 0.0);
            row[i] = 1.0;
            row[i + 1] = a;
            rows.push_back(row);
        }
        const std::string context = "a " + std::to_string(a);
        run_both(rows, ncols, 1e-9, PivotRule::FirstAboveTolerance, 1, context, 0, ncols, false);
        IncrementalRankChecker literal(ncols, 1e-9);
        for (const auto& row : rows) literal.add_row(row);
        EXPECT_EQ(literal.broke_down(), a > 1e3) << context;
    }
}

TEST_P(EveryInstructionSet, LargestMagnitudeOfFiniteValues) {
    constexpr std::size_t width = kernels::chunk_width;
    std::mt19937_64 gen(13);
    for (int round = 0; round < 200; ++round) {
        std::vector<double> values((gen() % 4) * width);
        for (double& x : values) {
            const std::uint64_t pick = gen() % 5;
            x = pick == 0 ? -0.0 : pick == 1 ? 5e-324 : std::ldexp(static_cast<double>(gen() % 2001) - 1000.0,
                                                                static_cast<int>(gen() % 600) - 300);
        }
        double expected = 0.0;
        for (double x : values) expected = std::max(expected, std::fabs(x));
        const kernels::RowScan scan = kernels::scan_row(values.data(), values.size() / width, 1e-9, nullptr);
        ASSERT_EQ(std::bit_cast<std::uint64_t>(scan.largest), std::bit_cast<std::uint64_t>(expected))
            << "round " << round;
    }
}

TEST_P(EveryInstructionSet, DividingByThePivotStoresQuotientsAndTheirNonZeroChunks) {
    std::mt19937_64 gen(29);
    const double specials[] = {0.0, -0.0, 5e-324, std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), 1e308};
    for (int round = 0; round < 300; ++round) {
        const std::size_t n_chunks = 1 + gen() % 70, stride = 1 + gen() % 4, n = n_chunks * 16;
        std::vector<double> x(n, 0.0);
        for (std::size_t c = 0; c < n_chunks; ++c) {
            if (gen() % 3 == 0) continue;  // a chunk of zeros
            if (gen() % 3 == 0) {  // zeros but for one special value
                x[c * 16 + gen() % 16] = specials[2 + gen() % 4];
                continue;
            }
            for (std::size_t k = c * 16; k < (c + 1) * 16; ++k)
                x[k] = gen() % 8 == 0 ? specials[gen() % (round % 2 == 0 ? 3 : 6)]
                                      : std::ldexp(static_cast<double>(gen() % 2001) - 1000.0,
                                                   static_cast<int>(gen() % 40) - 20);
        }
        const double pivot = gen() % 2 ? -3.0 : 1e-300;
        std::vector<double> expected = x, slot(n_chunks * stride * 16, 7.0), quotients = x;
        std::vector<std::uint64_t> nonzero(kernels::chunk_set_words(n_chunks), ~std::uint64_t{0});
        double largest = 0.0;
        for (double& value : expected) {
            value = value / pivot;
            largest = std::max(largest, std::fabs(value));
        }
        const double got = kernels::divide_and_store(quotients.data(), pivot, n_chunks, slot.data(), stride * 16,
                                                     nonzero.data());
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(largest)) << "round " << round;
        for (std::size_t c = 0; c < n_chunks; ++c) {
            bool any = false;
            for (std::size_t k = c * 16; k < (c + 1) * 16; ++k) {
                ASSERT_TRUE(same_value(quotients[k], expected[k], false)) << "round " << round << " column " << k;
                ASSERT_TRUE(same_value(slot[c * stride * 16 + k - c * 16], expected[k], false)) << "round " << round;
                any |= expected[k] != 0.0;
            }
            ASSERT_EQ(((nonzero[c / 64] >> (c % 64)) & 1u) != 0, any) << "round " << round << " chunk " << c;
        }
        for (std::size_t c = n_chunks; c < nonzero.size() * 64; ++c) ASSERT_EQ((nonzero[c / 64] >> (c % 64)) & 1u, 0u);
    }
}

TEST(BlockedRankChecker, WrongLengthIsFatal) {
    BlockedRankChecker checker(4, 1e-9);
    EXPECT_THROW(checker.add_row({1, 2, 3}), FatalError);
}

// The kernels against a plain loop: chunk ranges, chunk sets and per-chunk slot masks decide what
// is applied, and what is applied happens in slot order, element by element.
TEST_P(EveryInstructionSet, BlockUpdateEqualsOneByOneUpdates) {
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> unit(-1e3, 1e3);
    constexpr std::size_t width = kernels::chunk_width;
    for (int round = 0; round < 200; ++round) {
        const std::size_t n_chunks = gen() % 140;
        const std::size_t stride = 1 + gen() % 64;
        const std::size_t first = n_chunks == 0 ? 0 : gen() % (n_chunks + 1);
        const std::size_t last = first + (n_chunks == first ? 0 : gen() % (n_chunks - first + 1));
        std::vector<double> block(n_chunks * stride * width), row(n_chunks * width), factors(stride);
        for (double& x : block) x = unit(gen);
        for (double& x : row) x = unit(gen);
        for (double& x : factors) x = unit(gen);
        const std::uint64_t slots = gen() & (stride == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << stride) - 1);
        std::vector<std::uint64_t> chunk_set(kernels::chunk_set_words(n_chunks)), slot_masks(n_chunks);
        for (auto& word : chunk_set) word = gen() | gen();
        for (auto& mask : slot_masks) mask = gen() | gen();
        const bool use_set = round % 2 == 0, use_masks = round % 3 != 0;

        std::vector<double> expected = row;
        for (std::size_t c = first; c < last; ++c) {
            if (use_set && !((chunk_set[c / 64] >> (c % 64)) & 1)) continue;
            for (std::size_t t = 0; t < stride; ++t) {
                if (!((slots >> t) & 1) || (use_masks && !((slot_masks[c] >> t) & 1))) continue;
                for (std::size_t k = c * width; k < (c + 1) * width; ++k)
                    expected[k] = expected[k] - block[(c * stride + t) * width + k % width] * factors[t];
            }
        }
        // A pair of rows, the second with its own factors, gives what two single calls give.
        std::vector<double> other = row, other_expected = row, other_factors(stride);
        for (double& x : other_factors) x = unit(gen);
        kernels::apply_updates(other_expected.data(), block.data(), stride, other_factors.data(), slots, first, last,
                               use_set ? chunk_set.data() : nullptr, use_masks ? slot_masks.data() : nullptr);
        // So do four rows, each with its own factors, the first two being the pair's.
        std::vector<std::vector<double>> four(4, row), four_factors(4, factors);
        four_factors[1] = other_factors;
        for (std::size_t r = 2; r < 4; ++r)
            for (double& x : four_factors[r]) x = unit(gen);
        std::vector<std::vector<double>> four_expected = four;
        double* four_rows[4];
        const double* four_factor_rows[4];
        for (std::size_t r = 0; r < 4; ++r) {
            kernels::apply_updates(four_expected[r].data(), block.data(), stride, four_factors[r].data(), slots, first,
                                   last, use_set ? chunk_set.data() : nullptr, use_masks ? slot_masks.data() : nullptr);
            four_rows[r] = four[r].data();
            four_factor_rows[r] = four_factors[r].data();
        }
        kernels::apply_updates_to_four(four_rows, block.data(), stride, four_factor_rows, slots, first, last,
                                       use_set ? chunk_set.data() : nullptr, use_masks ? slot_masks.data() : nullptr);
        for (std::size_t r = 0; r < 4; ++r)
            for (std::size_t k = 0; k < row.size(); ++k)
                ASSERT_EQ(std::bit_cast<std::uint64_t>(four[r][k]), std::bit_cast<std::uint64_t>(four_expected[r][k]))
                    << "round " << round << " four rows, row " << r << " column " << k;
        kernels::apply_updates_to_pair(row.data(), other.data(), block.data(), stride, factors.data(),
                                       other_factors.data(), slots, first, last, use_set ? chunk_set.data() : nullptr,
                                       use_masks ? slot_masks.data() : nullptr);
        for (std::size_t k = 0; k < row.size(); ++k) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(row[k]), std::bit_cast<std::uint64_t>(expected[k]))
                << "round " << round << " column " << k;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(other[k]), std::bit_cast<std::uint64_t>(other_expected[k]))
                << "round " << round << " column " << k;
        }
    }
}

// Rows brought up to date and subtracted in one pass give what applying each row's updates and then
// subtracting the rows one after the other gives, each row only in its own chunks; so does one row
// through the single-row kernel.
TEST_P(EveryInstructionSet, CatchingUpAndSubtractingEqualsOneByOne) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> unit(-1e3, 1e3);
    constexpr std::size_t width = kernels::chunk_width;
    for (int round = 0; round < 200; ++round) {
        const std::size_t n_chunks = gen() % 140, words = kernels::chunk_set_words(n_chunks);
        const std::size_t count = gen() % (kernels::max_needed_rows + 1), stride = 1 + gen() % 64;
        std::vector<double> block(n_chunks * stride * width), x(n_chunks * width);
        for (double& value : block) value = unit(gen);
        for (double& value : x) value = unit(gen);
        std::vector<std::uint64_t> slot_masks(n_chunks);
        for (auto& mask : slot_masks) mask = gen() | gen();
        const std::uint64_t all_slots = stride == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << stride) - 1;
        std::vector<std::vector<double>> rows(count, std::vector<double>(n_chunks * width)), update_factors(count);
        std::vector<std::vector<std::uint64_t>> row_sets(count, std::vector<std::uint64_t>(words)),
            update_sets(count, std::vector<std::uint64_t>(words));
        std::vector<kernels::NeededRow> needed(count);
        std::vector<std::uint64_t> visit(words);
        for (std::size_t a = 0; a < count; ++a) {
            for (double& value : rows[a]) value = unit(gen);
            update_factors[a].resize(stride);
            for (double& value : update_factors[a]) value = unit(gen);
            for (auto& word : row_sets[a]) word = gen() | gen();
            for (auto& word : update_sets[a]) word = gen() & gen();
            const bool all_chunks = gen() % 4 == 0, no_masks = gen() % 3 == 0;
            needed[a] = {rows[a].data(), unit(gen), all_chunks ? nullptr : row_sets[a].data(),
                         gen() % 4 == 0 ? 0 : gen() & all_slots, update_factors[a].data(),
                         all_chunks ? nullptr : update_sets[a].data(), no_masks ? nullptr : slot_masks.data()};
            // The chunks visited hold every chunk a row is updated in.
            for (std::size_t w = 0; w < words; ++w) visit[w] |= row_sets[a][w] | update_sets[a][w];
        }
        const bool visit_all = round % 2 == 0 ||
                               std::any_of(needed.begin(), needed.end(), [](const auto& n) { return !n.row_chunks; });

        std::vector<std::vector<double>> expected_rows = rows;
        std::vector<double> expected = x;
        for (std::size_t c = 0; c < n_chunks; ++c) {
            if (!visit_all && !((visit[c / 64] >> (c % 64)) & 1)) continue;
            for (std::size_t a = 0; a < count; ++a) {
                const kernels::NeededRow& n = needed[a];
                const bool updated = n.update_chunks == nullptr || ((n.update_chunks[c / 64] >> (c % 64)) & 1);
                for (std::size_t t = 0; updated && t < stride; ++t) {
                    if (!((n.slots >> t) & 1) || (n.slot_masks != nullptr && !((n.slot_masks[c] >> t) & 1))) continue;
                    for (std::size_t k = c * width; k < (c + 1) * width; ++k)
                        expected_rows[a][k] =
                            expected_rows[a][k] - block[(c * stride + t) * width + k % width] * n.update_factors[t];
                }
                if (n.row_chunks != nullptr && !((n.row_chunks[c / 64] >> (c % 64)) & 1)) continue;
                for (std::size_t k = c * width; k < (c + 1) * width; ++k)
                    expected[k] = expected[k] - expected_rows[a][k] * n.factor;
            }
        }
        // One row alone, over its own chunks, through the single-row kernel.
        if (count > 0) {
            std::vector<double> single = x, single_expected = x;
            const std::uint64_t* set = needed[0].row_chunks;
            for (std::size_t c = 0; c < n_chunks; ++c)
                if (set == nullptr || ((set[c / 64] >> (c % 64)) & 1))
                    for (std::size_t k = c * width; k < (c + 1) * width; ++k)
                        single_expected[k] = single_expected[k] - rows[0][k] * needed[0].factor;
            kernels::subtract_scaled(single.data(), rows[0].data(), needed[0].factor, set, n_chunks);
            for (std::size_t k = 0; k < x.size(); ++k)
                ASSERT_EQ(std::bit_cast<std::uint64_t>(single[k]), std::bit_cast<std::uint64_t>(single_expected[k]));
        }
        kernels::catch_up_and_subtract(x.data(), needed.data(), count, block.data(), stride,
                                       visit_all ? nullptr : visit.data(), n_chunks);
        for (std::size_t k = 0; k < x.size(); ++k)
            ASSERT_EQ(std::bit_cast<std::uint64_t>(x[k]), std::bit_cast<std::uint64_t>(expected[k]))
                << "round " << round << " column " << k;
        for (std::size_t a = 0; a < count; ++a)
            for (std::size_t k = 0; k < x.size(); ++k)
                ASSERT_EQ(std::bit_cast<std::uint64_t>(rows[a][k]), std::bit_cast<std::uint64_t>(expected_rows[a][k]))
                    << "round " << round << " row " << a << " column " << k;
    }
}

TEST_P(EveryInstructionSet, FindsEveryNonFiniteValue) {
    const double specials[] = {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    std::mt19937_64 gen(11);
    for (std::size_t n = 0; n < 40; ++n) {
        std::vector<double> values(n);
        for (double& x : values)
            x = std::ldexp(static_cast<double>(gen() % 1000) - 500.0, static_cast<int>(gen() % 2000) - 1000);
        EXPECT_TRUE(kernels::all_finite(values.data(), n));
        for (std::size_t position = 0; position < n; ++position)
            for (double special : specials) {
                std::vector<double> spoiled = values;
                spoiled[position] = special;
                ASSERT_FALSE(kernels::all_finite(spoiled.data(), n)) << n << " " << position;
            }
    }
    const double largest = std::numeric_limits<double>::max();
    const double edge[] = {largest, -largest, std::numeric_limits<double>::denorm_min(), -0.0};
    EXPECT_TRUE(kernels::all_finite(edge, 4));
}

TEST_P(EveryInstructionSet, ScanningARowFindsNonFiniteValuesAndValuesAboveTol) {
    const double inf = std::numeric_limits<double>::infinity(), nan_value = std::numeric_limits<double>::quiet_NaN();
    const double specials[] = {0.0, -0.0, 1e-9, -1e-9, 5e-324, inf, -inf, nan_value, -nan_value, 1e308};
    const double tolerances[] = {1e-9, 0.0, -1.0, 1e308, inf, nan_value};
    constexpr std::size_t width = kernels::chunk_width;
    std::mt19937_64 gen(31);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t n_chunks = gen() % 70;
        std::vector<double> values(n_chunks * width);
        // Mostly ordinary values with a few special ones, so that a chunk often holds only one.
        for (double& x : values)
            x = gen() % 40 == 0 ? specials[gen() % std::size(specials)]
                                : std::ldexp(static_cast<double>(gen() % 2001) - 1000.0, static_cast<int>(gen() % 80) - 50);
        std::vector<std::uint64_t> set(kernels::chunk_set_words(n_chunks) + 1);
        for (auto& word : set) word = gen() & gen();
        const bool all = round % 3 == 0;
        const double tol = tolerances[gen() % std::size(tolerances)];
        bool finite = true, above = false;
        double largest = 0.0;
        for (std::size_t c = 0; c < n_chunks; ++c) {
            if (!all && !((set[c / 64] >> (c % 64)) & 1u)) continue;
            for (std::size_t k = c * width; k < (c + 1) * width; ++k) {
                finite = finite && std::isfinite(values[k]);
                above = above || std::fabs(values[k]) > tol;
                if (std::fabs(values[k]) > largest) largest = std::fabs(values[k]);
            }
        }
        const kernels::RowScan scan = kernels::scan_row(values.data(), n_chunks, tol, all ? nullptr : set.data());
        ASSERT_EQ(scan.all_finite, finite) << "round " << round;
        ASSERT_EQ(scan.any_above_tol, above) << "round " << round << " tol " << tol;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(scan.largest), std::bit_cast<std::uint64_t>(largest)) << "round " << round;
    }
}

// The factors of a row's pending updates against the slot-by-slot loop written out here, on
// blocks of every width, with zeros, values at tol and non-finite entries among them.
TEST_P(EveryInstructionSet, TakingFactorsMatchesTheSlotBySlotLoop) {
    const double inf = std::numeric_limits<double>::infinity(), nan_value = std::numeric_limits<double>::quiet_NaN();
    const double specials[] = {0.0, -0.0, 1e-9, -1e-9, inf, nan_value, 1e300};
    std::mt19937_64 gen(41);
    std::uniform_real_distribution<double> unit(-2.0, 2.0);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t stride = 1 + gen() % BlockedRankChecker::max_block_size;
        const std::size_t end = gen() % (stride + 1), begin = end == 0 ? 0 : gen() % (end + 1);
        const double tol = round % 5 == 0 ? 0.0 : 1e-9;
        std::vector<double> effects(stride * stride);
        for (double& e : effects) e = gen() % 4 == 0 ? 0.0 : gen() % 200 == 0 ? specials[gen() % 7] : unit(gen);
        std::vector<double> entries(BlockedRankChecker::max_block_size);
        for (double& e : entries) e = gen() % 3 == 0 ? specials[gen() % 7] : unit(gen);
        std::vector<double> expected = entries;
        std::uint64_t expected_taken = 0;
        for (std::size_t t = begin; t < end; ++t) {
            const double f = expected[t];
            if (!(std::fabs(f) > tol)) continue;
            expected_taken |= std::uint64_t{1} << t;
            for (std::size_t u = t + 1; u < end; ++u) expected[u] = expected[u] - effects[t * stride + u] * f;
        }
        const std::uint64_t taken = kernels::take_factors(entries.data(), begin, end, effects.data(), stride, tol);
        ASSERT_EQ(taken, expected_taken) << "round " << round;
        for (std::size_t u = 0; u < entries.size(); ++u)
            ASSERT_TRUE(same_value(entries[u], expected[u], false)) << "round " << round << " entry " << u;
    }
}

// The rows of a framework handed over as their non-zero entries give what the dense rows give.
TEST_P(EveryInstructionSet, SparseRowsMatchDenseRows) {
    std::mt19937_64 gen(37);
    const Layout layouts[] = {Layout::Random, Layout::Coplanar, Layout::Coincident, Layout::Grid, Layout::Huge};
    for (int round = 0; round < 16; ++round)
        for (Layout layout : layouts) {
            const std::uint64_t d = 2 + round % 2, n = 4 + gen() % (round < 12 ? 30 : 80);
            const NodeList nodes = framework(layout, n, d, gen);
            const double tol = round % 3 == 0 ? 0.0 : 1e-9;
            const PivotRule rule = round % 4 >= 2 ? PivotRule::LargestMagnitude : PivotRule::FirstAboveTolerance;
            IncrementalRankChecker literal(n * d, tol, rule);
            BlockedRankChecker blocked(n * d, tol, rule, round % 8 < 4 ? 1 : d);
            std::vector<std::uint64_t> columns;
            std::vector<double> values;
            // Now and then a dense row in between, after which the scratch row is cleared in full.
            for (const Edge& e : upper_triangular_edges(n)) {
                const std::vector<double> dense = RigidityRow(nodes, e.i, e.j).entries;
                rigidity_entries(nodes, e.i, e.j, columns, values);
                ASSERT_EQ(literal.add_row(dense), gen() % 5 == 0
                                                      ? blocked.add_row(dense)
                                                      : blocked.add_sparse_row(columns.data(), values.data(),
                                                                               columns.size()));
            }
            expect_same_state(literal, blocked, tol, "round " + std::to_string(round));
        }
}

TEST(BlockedRankChecker, SparseRowWritesInOrderAndRejectsColumnsOutOfRange) {
    IncrementalRankChecker literal(6, 1e-9);
    BlockedRankChecker blocked(6, 1e-9, PivotRule::FirstAboveTolerance, 3);
    const std::uint64_t columns[] = {4, 1, 4};
    const double values[] = {7.0, -2.0, 3.0};  // column 4 ends up 3
    ASSERT_TRUE(literal.add_row({0, -2, 0, 0, 3, 0}));
    ASSERT_TRUE(blocked.add_sparse_row(columns, values, 3));
    const std::uint64_t outside[] = {6};
    EXPECT_THROW(blocked.add_sparse_row(outside, values, 1), FatalError);
    // Nothing was stored by the rejected call: both go on alike (a row that leaves column 4 be).
    ASSERT_EQ(literal.add_row({5, 0, 0, 0, 0, 0}), blocked.add_row({5, 0, 0, 0, 0, 0}));
    expect_same_state(literal, blocked, 1e-9, "after the rejected row");
}

TEST(Simulation, BlockedAndLiteralGreedyPassesAgreeOnGeneratedFrameworks) {
    for (std::uint64_t seed : {1u, 2u, 3u, 280u, 4u, 5u}) {
        Lcg64 rng(seed);
        NodeList nodes = random_nodes(60, 3, rng);
        // Points on a plane leave most edges dependent, so the pass tests every one of them.
        if (seed > 3 && seed != 280)
            for (Node& node : nodes) node.coordinates[2] = 0.25;
        const auto edges = upper_triangular_edges(60);
        const auto literal = greedy_labelling_with<IncrementalRankChecker>(nodes, edges, 1e-9,
                                                                           PivotRule::FirstAboveTolerance, 174);
        const auto blocked =
            greedy_labelling_with<BlockedRankChecker>(nodes, edges, 1e-9, PivotRule::FirstAboveTolerance, 174);
        EXPECT_EQ(literal.labelling.labels, blocked.labelling.labels);
        EXPECT_EQ(literal.final_rank, blocked.final_rank);
        EXPECT_EQ(literal.broke_down, blocked.broke_down);
    }
}
