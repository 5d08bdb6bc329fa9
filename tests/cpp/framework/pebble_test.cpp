#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "numeric/fault.hpp"
#include "support/fault_capture.hpp"
#include "framework/pebble.hpp"
#include "support/reference_pebble.hpp"

namespace tarvel {
namespace {

using Labels = std::vector<std::uint8_t>;

std::vector<Pair> pairs_labelled_one(std::uint64_t n, const Labels& labels) {
    std::vector<Pair> pairs;
    std::size_t k = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j, ++k) {
            if (labels.at(k) == 1) pairs.push_back({i, j});
        }
    }
    return pairs;
}

// ---------------------------------------------------------------- the game

struct SmallGame {
    std::uint64_t n;
    Labels labels;
};
void PrintTo(const SmallGame& c, std::ostream* os) { *os << "n=" << c.n; }

class PebbleGameSmall : public ::testing::TestWithParam<SmallGame> {};

TEST_P(PebbleGameSmall, LabelsAndAcceptedEdges) {
    const SmallGame c = GetParam();
    const PebbleOutcome outcome = play_pebble_game(c.n);
    EXPECT_EQ(outcome.labels, c.labels);
    EXPECT_EQ(outcome.accepted_edges, pairs_labelled_one(c.n, c.labels));
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, PebbleGameSmall,
    ::testing::Values(SmallGame{0, {}}, SmallGame{1, {}}, SmallGame{2, {1}}, SmallGame{3, {1, 1, 1}},
                      SmallGame{4, {1, 1, 1, 1, 1, 0}},
                      SmallGame{5, {1, 1, 1, 1, 1, 1, 1, 0, 0, 0}}));

// The first 2n - 3 candidates, (0, j) and (1, j), are accepted; nothing else.
class PebbleGameFrontOnes : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(PebbleGameFrontOnes, FirstTwoRowsAccepted) {
    const std::uint64_t n = GetParam();
    const PebbleOutcome outcome = play_pebble_game(n);
    const std::uint64_t ones = 2 * n - 3;
    ASSERT_EQ(outcome.labels.size(), n * (n - 1) / 2);
    EXPECT_EQ(std::count(outcome.labels.begin(), outcome.labels.end(), 1), static_cast<std::ptrdiff_t>(ones));
    EXPECT_TRUE(std::all_of(outcome.labels.begin(), outcome.labels.begin() + ones, [](auto l) { return l == 1; }));
    ASSERT_EQ(outcome.accepted_edges.size(), ones);
    for (const Pair& p : outcome.accepted_edges) EXPECT_LE(p.i, 1u);
}

INSTANTIATE_TEST_SUITE_P(AnyN, PebbleGameFrontOnes, ::testing::Values(2, 3, 6, 17, 64, 1000, 4099));

// Labels and accepted edges equal those of the step-by-step game.
TEST(PebbleGame, MatchesReferenceGameForEveryNUpTo320) {
    for (std::uint64_t n = 0; n <= 320; ++n) {
        const reference::Game expected = reference::play_pebble_game(n);
        const PebbleOutcome outcome = play_pebble_game(n);
        ASSERT_EQ(outcome.labels, expected.outcome.labels) << "n = " << n;
        ASSERT_EQ(outcome.accepted_edges, expected.outcome.accepted_edges) << "n = " << n;
    }
}

TEST(PebbleGame, ImpossibleNodeCountsFailCleanly) {
    for (const std::uint64_t n : {std::uint64_t{1} << 33, std::numeric_limits<std::uint64_t>::max()}) {
        try {
            play_pebble_game(n);
            ADD_FAILURE() << "no fault for n = " << n;
        } catch (const InternalFault& fault) {
            EXPECT_STREQ(fault.what(), "capacity overflow");
        }
    }
    // Fits the arithmetic, not the machine: 2^63 - 2^31 label bytes.
    TARVEL_SKIP_WHERE_ALLOCATION_FAILURE_ABORTS();
    EXPECT_THROW(play_pebble_game(std::uint64_t{1} << 32), std::bad_alloc);
}

}  // namespace
}  // namespace tarvel
