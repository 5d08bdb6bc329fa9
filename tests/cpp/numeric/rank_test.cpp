#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "numeric/fault.hpp"
#include "numeric/rank.hpp"
#include "support/rank_checker_peer.hpp"
#include "support/reference_rank.hpp"

namespace tarvel {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Rows = std::vector<std::vector<double>>;

struct CheckerCase {
    const char* name;
    double tol;
    Rows offered;  // two columns each
    std::vector<bool> answers;
    Rows basis;  // stored rows afterwards
    std::vector<std::uint64_t> pivots;
};

class CheckerCases : public ::testing::TestWithParam<CheckerCase> {};

TEST_P(CheckerCases, AnswerAndKeepTheReducedBasis) {
    const CheckerCase& c = GetParam();
    IncrementalRankChecker checker(2, c.tol);
    std::vector<bool> answers;
    for (const auto& row : c.offered) answers.push_back(add_dense_row(checker, row));
    EXPECT_EQ(answers, c.answers);
    ASSERT_EQ(checker.rank(), c.basis.size());
    for (std::uint64_t k = 0; k < checker.rank(); ++k) {
        EXPECT_EQ(RankCheckerPeer::pivot(checker, k), c.pivots[k]) << "row " << k;
        for (std::uint64_t col = 0; col < 2; ++col) {
            EXPECT_TRUE(reference::same_value(RankCheckerPeer::row(checker, k)[col], c.basis[k][col]))
                << "row " << k << " column " << col << ": " << RankCheckerPeer::row(checker, k)[col];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    TwoColumns, CheckerCases,
    ::testing::Values(
        CheckerCase{"DependentRowRejected", 1e-9, {{1, 0}, {2, 0}, {1, 1}}, {true, false, true},
                    {{1, 0}, {0, 1}}, {0, 1}},
        CheckerCase{"BackSubstitutionClearsThePivotColumn", 1e-9, {{1, 1}, {0, 2}}, {true, true},
                    {{1, 0}, {0, 1}}, {0, 1}},
        CheckerCase{"ZeroAndSubToleranceRowsRejected", 1e-9, {{0, 0}, {1e-10, -1e-10}},
                    {false, false}, {}, {}},
        CheckerCase{"EntryEqualToTolIsZero", 1e-9, {{1e-9, 5}}, {true}, {{1e-9 / 5, 1}}, {1}},
        // 5/7 and 5 * (1/7) differ in the last bit.
        CheckerCase{"NormalisationIsATrueDivision", 1e-9, {{7, 5}}, {true}, {{1, 5.0 / 7.0}}, {0}},
        CheckerCase{"ZeroTolKeepsTinyEntries", 0.0, {{1e-300, 0}, {0, -0.0}}, {true, false},
                    {{1, 0}}, {0}},
        CheckerCase{"NanTolRejectsEverything", nan, {{1, 0}, {0, 1}}, {false, false}, {}, {}},
        CheckerCase{"InfiniteTolRejectsEverything", inf, {{1, 0}, {inf, 1}}, {false, false}, {}, {}},
        CheckerCase{"NanNeverTriggersEliminationNorIsPivot", 1e-9, {{1, 0}, {nan, 1}, {nan, nan}},
                    {true, true, false}, {{1, 0}, {nan, 1}}, {0, 1}},
        // x = 3 eliminates with the stored (nan, 1): the row becomes (nan, 0).
        CheckerCase{"NanSpreadByEliminationLeavesNoPivot", 1e-9, {{nan, 2}, {5, 3}}, {true, false},
                    {{nan, 1}}, {1}}),
    [](const auto& info) { return std::string(info.param.name); });

// Random rows of many kinds: exact integer dependencies, perturbed
// combinations of earlier rows, values straddling the tolerance, wide
// magnitudes with a NaN or infinity among them.
std::vector<double> random_row(std::mt19937_64& rng, const Rows& earlier, std::uint64_t ncols,
                               double tol) {
    std::uniform_int_distribution<int> small(-2, 2);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double specials[] = {nan, inf, -inf};
    std::vector<double> row(ncols, 0.0);
    switch (earlier.empty() ? 0 : rng() % 4) {
        case 0:
            for (double& v : row) v = small(rng);
            break;
        case 1:
            for (int t = 0; t < 3; ++t) {
                const auto& base = earlier[rng() % earlier.size()];
                const double weight = small(rng) + 1e-13 * unit(rng);
                for (std::uint64_t c = 0; c < ncols; ++c) row[c] = row[c] + base[c] * weight;
            }
            break;
        case 2:
            for (double& v : row) v = std::isfinite(tol) ? tol * small(rng) * 0.5 : unit(rng);
            break;
        default:
            for (double& v : row) v = unit(rng) * std::ldexp(1.0, static_cast<int>(rng() % 80) - 40);
            row[rng() % ncols] = specials[rng() % 3];
    }
    return row;
}

TEST(IncrementalRankChecker, ColumnOutsideTheRowIsAnInternalFault) {
    IncrementalRankChecker checker(2, 1e-9);
    const RowEntry entries[] = {{0, 1.0}, {2, 1.0}};
    EXPECT_THROW(checker.add_row_entries(entries), InternalFault);
    EXPECT_EQ(checker.rank(), 0u);
}

TEST(IncrementalRankChecker, SparseEntriesAreWrittenInOrder) {
    IncrementalRankChecker checker(3, 1e-9);
    const RowEntry entries[] = {{1, 4.0}, {2, 2.0}, {1, 0.0}};
    ASSERT_TRUE(checker.add_row_entries(entries));
    EXPECT_EQ(RankCheckerPeer::pivot(checker, 0), 2u);
    EXPECT_EQ(RankCheckerPeer::row(checker, 0), (std::vector<double>{0.0, 0.0, 1.0}));
}

// Offers `count` random rows to both checkers, comparing every answer and,
// after each accepted row, the whole basis: rows that still owe delayed
// updates must read back as the reference rows.
void expect_same_run(IncrementalRankChecker& checker, std::mt19937_64& rng, std::uint64_t ncols, double tol,
                     std::uint64_t count) {
    reference::RankChecker oracle(ncols, tol);
    Rows offered;
    for (std::uint64_t r = 0; r < count; ++r) {
        offered.push_back(random_row(rng, offered, ncols, tol));
        const bool answer = add_dense_row(checker, offered.back());
        ASSERT_EQ(answer, oracle.add_row(offered.back())) << "row " << r;
        if (answer) {
            ASSERT_EQ(reference::state_difference(checker, oracle), "") << "row " << r;
        }
    }
}

TEST(IncrementalRankChecker, BasisReadsBackExactlyWhileUpdatesArePending) {
    // Wide enough that blocks of accepted rows fill up and are flushed.
    const double tolerances[] = {0.0, 1e-9, 1e-3, -1.0};
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 24; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const std::uint64_t ncols = 40 + rng() % 60;
        IncrementalRankChecker checker(ncols, tolerances[trial % 4]);
        expect_same_run(checker, rng, ncols, tolerances[trial % 4], ncols + 8);
    }
}

// Rows with a few non-zeros in two bands, as bars give: the pending updates
// then cover only part of the columns, and several blocks of them are flushed
// over many stored rows. Now and then a non-finite entry.
std::vector<double> banded_row(std::mt19937_64& rng, std::uint64_t ncols, bool specials) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> row(ncols, 0.0);
    const std::uint64_t i = rng() % ncols, j = rng() % ncols;
    for (std::uint64_t c = 0; c < 3; ++c) {
        row[(i + c) % ncols] = unit(rng);
        row[(j + c) % ncols] = unit(rng);
    }
    if (specials && rng() % 97 == 0) row[rng() % ncols] = (rng() % 2 == 0) ? inf : nan;
    return row;
}

struct FlushCase {
    std::uint64_t ncols;
    double tol;
    bool specials;
};

class BlockedFlush : public ::testing::TestWithParam<FlushCase> {};

TEST_P(BlockedFlush, MatchesTheReferenceAlgorithm) {
    const FlushCase& c = GetParam();
    std::mt19937_64 rng(c.ncols * 31 + (c.specials ? 1 : 0));
    IncrementalRankChecker checker(c.ncols, c.tol);
    reference::RankChecker oracle(c.ncols, c.tol);
    for (std::uint64_t r = 0; r < 2 * c.ncols; ++r) {
        const std::vector<double> row = banded_row(rng, c.ncols, c.specials);
        ASSERT_EQ(add_dense_row(checker, row), oracle.add_row(row)) << "row " << r;
    }
    EXPECT_GT(checker.rank(), 128u);  // at least two full blocks
    EXPECT_EQ(reference::state_difference(checker, oracle), "");
}

// Widths off the kernels' 32-column chunks; tolerances that let zeros act as
// multipliers and pivots take the one-by-one path.
INSTANTIATE_TEST_SUITE_P(WidthsAndTolerances, BlockedFlush,
                         ::testing::Values(FlushCase{150, 1e-9, false}, FlushCase{203, 0.0, false},
                                           FlushCase{160, 1e-9, true}, FlushCase{171, 1e-3, true}));

TEST(IncrementalRankChecker, ResetForgetsTheLastPass) {
    std::mt19937_64 rng(11);
    IncrementalRankChecker checker(50, 1e-9);
    expect_same_run(checker, rng, 50, 1e-9, 60);
    for (const std::uint64_t ncols : {70u, 20u, 1u, 35u}) {
        SCOPED_TRACE("ncols " + std::to_string(ncols));
        checker.reset(ncols, 1e-9);
        EXPECT_EQ(checker.rank(), 0u);
        EXPECT_EQ(checker.ncols(), ncols);
        expect_same_run(checker, rng, ncols, 1e-9, ncols + 5);
    }
}

TEST(IncrementalRankChecker, MatchesTheReferenceAlgorithmBitForBit) {
    const double tolerances[] = {0.0, 1e-15, 1e-9, 1e-3, -1.0, nan, 1e300, inf};
    std::mt19937_64 rng(20240611);
    int rejected = 0, accepted = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        const double tol = tolerances[trial % 8];
        const std::uint64_t ncols = 1 + rng() % 37;
        IncrementalRankChecker checker(ncols, tol);
        reference::RankChecker oracle(ncols, tol);
        Rows offered;
        for (std::uint64_t r = 0; r < ncols + 4; ++r) {
            offered.push_back(random_row(rng, offered, ncols, tol));
            const bool answer = add_dense_row(checker, offered.back());
            ASSERT_EQ(answer, oracle.add_row(offered.back())) << "trial " << trial << " row " << r;
            (answer ? accepted : rejected) += 1;
        }
        ASSERT_EQ(reference::state_difference(checker, oracle), "") << "trial " << trial;
    }
    EXPECT_GT(accepted, 1000);
    EXPECT_GT(rejected, 1000);
}

}  // namespace
}  // namespace tarvel
