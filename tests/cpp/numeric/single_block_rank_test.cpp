#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "numeric/householder_rank.hpp"
#include "numeric/single_block_rank.hpp"

namespace tarvel {
namespace {

// Rows of the rigidity matrix of random bars on `nodes` points in d
// dimensions: sparse rows of 2d entries, as the labeller gives them.
// `degenerate` puts the points on two lines and repeats and scales earlier
// bars, so that exact and near dependences both occur; a few rows are zero
// or NaN.
std::vector<RowEntry> bar_rows(std::uint64_t nodes, std::uint64_t d, std::uint64_t bars, bool degenerate,
                               std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<std::uint64_t> node(0, nodes - 1);
    std::vector<double> points(nodes * d);
    for (std::uint64_t v = 0; v < nodes; ++v) {
        const double t = unit(rng);
        for (std::uint64_t a = 0; a < d; ++a) points[v * d + a] = degenerate ? (v % 2 == 0 ? t : t * 0.5 + a) : unit(rng);
    }
    std::vector<RowEntry> rows;
    for (std::uint64_t k = 0; k < bars; ++k) {
        std::uint64_t i = node(rng), j = node(rng);
        while (j == i) j = node(rng);
        double factor = 1.0;
        if (degenerate && k >= 4 && k % 5 == 0) {  // an earlier bar again, scaled
            i = rows[(k / 2) * 2 * d].column / d;
            j = rows[(k / 2) * 2 * d + d].column / d;
            factor = 1e3;
        }
        for (std::uint64_t a = 0; a < d; ++a) {
            double difference = (points[i * d + a] - points[j * d + a]) * factor;
            if (k % 13 == 7) difference = 0.0;
            if (k % 17 == 11) difference = std::numeric_limits<double>::quiet_NaN();
            rows.push_back(RowEntry{i * d + a, difference});
        }
        for (std::uint64_t a = 0; a < d; ++a) rows.push_back(RowEntry{j * d + a, -rows[rows.size() - d].value});
    }
    return rows;
}

struct Case {
    std::uint64_t nodes, d;
    bool degenerate;
};

class SingleBlockRank : public ::testing::TestWithParam<Case> {};

// The replica must give the blocked test's labels bit for bit, at full
// rank and when it stops at the rank, for every row count it takes.
TEST_P(SingleBlockRank, LabelsEqualTheBlockedTest) {
    const Case c = GetParam();
    std::mt19937_64 rng(c.nodes * 10 + c.d + c.degenerate);
    const std::uint64_t ncols = c.nodes * c.d, width = 2 * c.d;
    HouseholderRankTest blocked;
    for (std::uint64_t bars = 1; bars <= SingleBlockRankTest::kMaxRows; ++bars) {
        for (int trial = 0; trial < 30; ++trial) {
            const std::vector<RowEntry> rows = bar_rows(c.nodes, c.d, bars, c.degenerate, rng);
            for (const std::uint64_t stop : {ncols, ncols / 3}) {
                for (const double tol : {1e-6, 1e-12}) {
                    std::vector<std::uint8_t> expected(bars), got(bars);
                    blocked.reset(ncols, tol);
                    blocked.offer_rows(rows, width, stop, expected);
                    const std::uint64_t rank = SingleBlockRankTest::offer_rows(rows, width, ncols, tol, stop, got);
                    ASSERT_EQ(got, expected) << bars << " bars, trial " << trial << ", stop " << stop;
                    EXPECT_EQ(rank, blocked.rank());
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SingleBlockRank,
                         ::testing::Values(Case{3, 2, false}, Case{5, 2, true}, Case{8, 2, false}, Case{20, 2, true},
                                           Case{32, 2, false}, Case{4, 3, true}, Case{7, 3, false},
                                           Case{21, 3, true}));

// Rows of random values in every column are independent up to the
// column count: the rank is min(rows, columns).
TEST(SingleBlockRankTheory, GenericDenseRowsReachFullRank) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> gauss;
    for (const std::uint64_t ncols : {std::uint64_t{5}, SingleBlockRankTest::kMaxColumns}) {
        const std::uint64_t count = SingleBlockRankTest::kMaxRows;
        std::vector<RowEntry> rows;
        for (std::uint64_t r = 0; r < count; ++r) {
            for (std::uint64_t k = 0; k < ncols; ++k) rows.push_back(RowEntry{k, gauss(rng)});
        }
        std::vector<std::uint8_t> labels(count);
        EXPECT_EQ(SingleBlockRankTest::offer_rows(rows, ncols, ncols, 1e-6, ncols, labels), std::min(count, ncols));
    }
}

}  // namespace
}  // namespace tarvel
