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

PebbleMove taken(std::size_t node) { return {MoveKind::Taken, node}; }
PebbleMove reversed(std::size_t node, std::size_t to) { return {MoveKind::Reversed, node, to}; }

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

// -------------------------------------------------------------- the search

struct SearchCase {
    const char* name;
    PebbleCounts pebbles;
    OutEdgeLists out_edges;
    std::vector<std::size_t> visited_before;
    std::size_t start;
    bool found;
    PebbleCounts pebbles_after;
    OutEdgeLists out_edges_after;
    MoveLog moves;
    std::vector<std::size_t> visited_after;
};
void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::size_t> members(const VisitedSet& visited, std::size_t n) {
    std::vector<std::size_t> nodes;
    for (std::size_t x = 0; x < n; ++x) {
        if (visited.contains(x)) nodes.push_back(x);
    }
    return nodes;
}

class FindPebble : public ::testing::TestWithParam<SearchCase> {};

TEST_P(FindPebble, ResultStateLogAndVisited) {
    SearchCase c = GetParam();
    const std::size_t n = c.pebbles.size();
    VisitedSet visited(n);
    for (const std::size_t x : c.visited_before) visited.insert(x);
    MoveLog moves;
    SearchStack stack;
    EXPECT_EQ(find_pebble(c.start, visited, c.pebbles, c.out_edges, moves, stack), c.found);
    EXPECT_EQ(c.pebbles, c.pebbles_after);
    EXPECT_EQ(c.out_edges, c.out_edges_after);
    EXPECT_EQ(moves, c.moves);
    EXPECT_EQ(members(visited, n), c.visited_after);
}

// Nodes a, b, c, d, e are 0, 1, 2, 3, 4.
INSTANTIATE_TEST_SUITE_P(
    Cases, FindPebble,
    ::testing::Values(
        SearchCase{"StartHoldsPebble", {1, 2}, {{1}, {}}, {}, 0, true, {0, 2}, {{1}, {}}, {taken(0)}, {0}},
        SearchCase{"AlreadyVisited", {1}, {{}}, {0}, 0, false, {1}, {{}}, {}, {0}},
        SearchCase{"DeadEnd", {0}, {{}}, {}, 0, false, {0}, {{}}, {}, {0}},
        SearchCase{"CycleWithoutPebble", {0, 0}, {{1}, {0}}, {}, 0, false, {0, 0}, {{1}, {0}}, {}, {0, 1}},
        SearchCase{"ChainReversedInnermostFirst", {0, 0, 1}, {{1}, {2}, {}}, {}, 0, true, {0, 0, 0},
                   {{}, {0}, {1}}, {taken(2), reversed(1, 2), reversed(0, 1)}, {0, 1, 2}},
        // a -> [b, c], b -> d; pebbles on c and d: the longer route behind b wins.
        SearchCase{"EarlierEntryWins", {0, 0, 1, 1}, {{1, 2}, {3}, {}, {}}, {}, 0, true, {0, 0, 1, 0},
                   {{2}, {0}, {}, {1}}, {taken(3), reversed(1, 3), reversed(0, 1)}, {0, 1, 3}},
        // d fails behind b and is not entered again from c; e has the pebble.
        SearchCase{"NodeReachedTwice", {0, 0, 0, 0, 1}, {{1, 2}, {3}, {3, 4}, {}, {}}, {}, 0, true,
                   {0, 0, 0, 0, 0}, {{1}, {3}, {3, 0}, {}, {2}}, {taken(4), reversed(2, 4), reversed(0, 2)},
                   {0, 1, 2, 3, 4}},
        SearchCase{"VisitedBlocksOnlyRoute", {0, 0, 1}, {{1}, {2}, {}}, {1}, 0, false, {0, 0, 1},
                   {{1}, {2}, {}}, {}, {0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FindPebble, EntryOutOfRangeIsInternalFault) {
    PebbleCounts pebbles{0};
    OutEdgeLists out_edges{{5}};
    VisitedSet visited(1);
    MoveLog moves;
    SearchStack stack;
    EXPECT_THROW(find_pebble(0, visited, pebbles, out_edges, moves, stack), InternalFault);
    EXPECT_THROW(find_pebble(1, visited, pebbles, out_edges, moves, stack), InternalFault);
}

// A random digraph with at most two out-edges per node; counts follow the
// invariant except for nodes held at 0, as the game holds a candidate's ends.
struct RandomState {
    PebbleCounts pebbles;
    OutEdgeLists out_edges;
};

RandomState random_state(std::mt19937_64& rng) {
    const std::size_t n = 1 + rng() % 12;
    RandomState state{PebbleCounts(n), OutEdgeLists(n)};
    for (std::size_t x = 0; x < n; ++x) {
        const std::size_t degree = n == 1 ? 0 : rng() % 3;
        while (state.out_edges[x].size() < degree) {
            const std::size_t w = rng() % n;
            if (w != x) state.out_edges[x].push_back(w);
        }
        state.pebbles[x] = rng() % 3 == 0 ? 0 : static_cast<std::int32_t>(2 - degree);
    }
    return state;
}

// Counts and the multiset of directed edges: what an undo must restore.
std::pair<PebbleCounts, std::vector<std::pair<std::size_t, std::size_t>>> directions(const RandomState& s) {
    std::vector<std::pair<std::size_t, std::size_t>> edges;
    for (std::size_t x = 0; x < s.out_edges.size(); ++x) {
        for (const std::size_t w : s.out_edges[x]) edges.emplace_back(x, w);
    }
    std::sort(edges.begin(), edges.end());
    return {s.pebbles, edges};
}

TEST(FindPebble, SameAsRecursiveSearchOnRandomStates) {
    std::mt19937_64 rng(20240611);
    SearchStack stack;  // reused across calls, as the game does
    for (int round = 0; round < 5000; ++round) {
        RandomState mine = random_state(rng);
        RandomState theirs = mine;
        const std::size_t n = mine.pebbles.size();
        const std::size_t start = rng() % n;
        VisitedSet visited(n);
        reference::Visited oracle_visited;
        if (rng() % 4 == 0) {
            const std::size_t blocked = rng() % n;
            visited.insert(blocked);
            oracle_visited.insert(blocked);
        }
        MoveLog moves, oracle_moves;
        const bool found = find_pebble(start, visited, mine.pebbles, mine.out_edges, moves, stack);
        ASSERT_EQ(found, reference::find_pebble(start, oracle_visited, theirs.pebbles, theirs.out_edges,
                                              oracle_moves))
            << "round " << round;
        ASSERT_EQ(mine.pebbles, theirs.pebbles) << "round " << round;
        ASSERT_EQ(mine.out_edges, theirs.out_edges) << "round " << round;
        ASSERT_EQ(moves, oracle_moves) << "round " << round;
        for (std::size_t x = 0; x < n; ++x) ASSERT_EQ(visited.contains(x), oracle_visited.count(x) == 1);
    }
}

// ---------------------------------------------------------------- the undo

TEST(UndoMoves, RestoresCountsAndDirectionsAfterSeveralSearches) {
    std::mt19937_64 rng(77);
    for (int round = 0; round < 2000; ++round) {
        RandomState state = random_state(rng);
        RandomState oracle_state = state;
        const auto before = directions(state);
        const std::size_t n = state.pebbles.size();
        MoveLog moves;
        VisitedSet visited(n);
        SearchStack stack;
        for (int search = 0; search < 4; ++search) {  // as in gathering: Gained after each success
            visited.clear();
            const std::size_t start = rng() % n;
            if (find_pebble(start, visited, state.pebbles, state.out_edges, moves, stack)) {
                moves.push_back({MoveKind::Gained, start});
                ++state.pebbles[start];
            }
        }
        oracle_state.pebbles = state.pebbles;
        oracle_state.out_edges = state.out_edges;
        undo_moves(moves, state.pebbles, state.out_edges);
        reference::undo_moves(moves, oracle_state.pebbles, oracle_state.out_edges);
        ASSERT_EQ(directions(state), before) << "round " << round;
        ASSERT_EQ(state.out_edges, oracle_state.out_edges) << "round " << round;
    }
}

TEST(UndoMoves, EdgeMissingFromStateIsInternalFault) {
    PebbleCounts pebbles{0, 0};
    OutEdgeLists out_edges{{}, {}};
    EXPECT_THROW(undo_moves({reversed(0, 1)}, pebbles, out_edges), InternalFault);
    EXPECT_EQ(out_edges, (OutEdgeLists{{}, {}}));  // no edge made up
}

// ----------------------------------------------------------- deep searches

// 0 -> 1 -> ... -> n-1, the pebble at the far end.
RandomState chain(std::size_t n) {
    RandomState state{PebbleCounts(n, 0), OutEdgeLists(n)};
    for (std::size_t k = 0; k + 1 < n; ++k) state.out_edges[k] = {k + 1};
    state.pebbles[n - 1] = 1;
    return state;
}

class ChainSearch : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ChainSearch, SameAsRecursiveSearch) {
    RandomState mine = chain(GetParam());
    RandomState theirs = mine;
    VisitedSet visited(GetParam());
    reference::Visited oracle_visited;
    MoveLog moves, oracle_moves;
    SearchStack stack;
    ASSERT_TRUE(find_pebble(0, visited, mine.pebbles, mine.out_edges, moves, stack));
    ASSERT_TRUE(reference::find_pebble(0, oracle_visited, theirs.pebbles, theirs.out_edges, oracle_moves));
    EXPECT_EQ(moves, oracle_moves);
    EXPECT_EQ(mine.out_edges, theirs.out_edges);
    EXPECT_EQ(mine.pebbles, theirs.pebbles);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ChainSearch, ::testing::Values(1, 2, 3, 17, 1000, 5000));

// Runs `work` on a thread with a 256 KiB stack, smaller than a worker
// thread of the interpreter may have.
void run_on_small_stack(std::function<void()> work) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        (*static_cast<std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, body, &work), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

TEST(FindPebble, PathOfAHundredThousandNodesOnASmallStack) {
    constexpr std::size_t n = 100000;
    RandomState state = chain(n);
    MoveLog moves;
    bool found = false;
    run_on_small_stack([&] {
        VisitedSet visited(n);
        SearchStack stack;
        found = find_pebble(0, visited, state.pebbles, state.out_edges, moves, stack);
    });
    ASSERT_TRUE(found);
    ASSERT_EQ(moves.size(), n);
    EXPECT_EQ(moves.front(), taken(n - 1));
    for (std::size_t k = 1; k < n; ++k) ASSERT_EQ(moves[k], reversed(n - 1 - k, n - k));
    EXPECT_TRUE(state.out_edges[0].empty());
    for (std::size_t k = 1; k < n; ++k) ASSERT_EQ(state.out_edges[k], std::vector<std::size_t>{k - 1});
    EXPECT_EQ(std::count(state.pebbles.begin(), state.pebbles.end(), 0), static_cast<std::ptrdiff_t>(n));
}

}  // namespace
}  // namespace tarvel
