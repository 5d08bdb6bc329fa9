#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "framework/bar_labels.hpp"
#include "numeric/fault.hpp"
#include "numeric/rank.hpp"
#include "framework/rigidity_row.hpp"
#include "framework/batch_rng.hpp"
#include "framework/simulation.hpp"
#include "support/candidate_pairs.hpp"
#include "support/reference_rank.hpp"
#include "support/reference_rigidity.hpp"

namespace tarvel {
namespace {

using testing::make_candidate_pairs;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Labels = std::vector<std::uint8_t>;
using Pairs = std::vector<Pair>;

NodeList nodes_at(const std::vector<std::vector<double>>& positions) {
    NodeList nodes;
    for (std::size_t k = 0; k < positions.size(); ++k) nodes.push_back(Node{positions[k], k});
    return nodes;
}

// The pairs labelled 1, in order.
Pairs labelled_one(const Pairs& pairs, const Labels& labels) {
    Pairs accepted;
    for (std::size_t k = 0; k < pairs.size(); ++k)
        if (labels.at(k) == 1) accepted.push_back(pairs[k]);
    return accepted;
}

struct Pass {
    Labels labels;
    std::uint64_t rank = 0;
};

// The full pass alone, over the candidate pairs: what the fast path must
// not change.
Pass full_pass(const NodeList& nodes, std::uint64_t d, double tol) {
    Pass pass;
    pass.rank = BarLabeller().label_in_order(nodes, make_candidate_pairs(nodes.size()), tol,
                                             max_rank_for(nodes.size(), d), pass.labels);
    return pass;
}

// The pass over `bars` driven by the reference checker on dense rows.
Pass reference_pass(const NodeList& nodes, const Pairs& bars, std::uint64_t ncols, double tol, std::uint64_t max_rank) {
    reference::RankChecker oracle(ncols, tol);
    Pass pass;
    for (const Pair& bar : bars) {
        if (!pass.labels.empty() && oracle.rank == max_rank) {
            pass.labels.push_back(0);
            continue;
        }
        pass.labels.push_back(oracle.add_row(reference::rigidity_row(nodes, bar.i, bar.j)) ? 1 : 0);
    }
    pass.rank = oracle.rank;
    return pass;
}

Pass reference_pass(const NodeList& nodes, std::uint64_t d, double tol) {
    return reference_pass(nodes, make_candidate_pairs(nodes.size()), nodes.size() * d, tol, max_rank_for(nodes.size(), d));
}

// ---------------------------------------------------------------------------
// Frameworks with known outcomes.

struct SimulationCase {
    const char* name;
    NodeList nodes;
    std::uint64_t d;
    double tol;
    Labels labels;
    Pairs accepted;
    std::uint64_t final_rank, max_rank;
    bool rigid;
    friend void PrintTo(const SimulationCase& c, std::ostream* os) { *os << c.name; }
};

class KnownFrameworks : public ::testing::TestWithParam<SimulationCase> {};

TEST_P(KnownFrameworks, RunSimulationLabelsEveryBar) {
    const SimulationCase& c = GetParam();
    const SimulationResult r = run_simulation(c.nodes, c.d, c.tol);
    EXPECT_EQ(r.labels, c.labels);
    EXPECT_EQ(labelled_one(make_candidate_pairs(c.nodes.size()), r.labels), c.accepted);
    EXPECT_EQ(r.final_rank, c.final_rank);
    EXPECT_EQ(r.max_rank, c.max_rank);
    EXPECT_EQ(r.final_rank == r.max_rank, c.rigid);
    EXPECT_EQ(r.n_nodes, c.nodes.size());
    EXPECT_EQ(r.d, c.d);
}

TEST_P(KnownFrameworks, FullPassAloneAgrees) {
    const SimulationCase& c = GetParam();
    const Pass pass = full_pass(c.nodes, c.d, c.tol);
    EXPECT_EQ(pass.labels, c.labels);
    EXPECT_EQ(pass.rank, c.final_rank);
}

const std::vector<std::vector<double>> unit_square = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};

INSTANTIATE_TEST_SUITE_P(
    Frameworks, KnownFrameworks,
    ::testing::Values(
        SimulationCase{"UnitSquare", nodes_at(unit_square), 2, 1e-9, {1, 1, 1, 1, 1, 0},
                       {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}}, 5, 5, true},
        SimulationCase{"CollinearTriple", nodes_at({{0, 0}, {1, 0}, {2, 0}}), 2, 1e-9, {1, 1, 0},
                       {{0, 1}, {0, 2}}, 2, 3, false},
        // The fast path fails on the collinear 0, 1, 2; rank 7 is reached at (2,3).
        SimulationCase{"CollinearStartThenRigid", nodes_at({{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}}),
                       2, 1e-9, {1, 1, 1, 1, 0, 1, 1, 1, 0, 0},
                       {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 3}, {1, 4}, {2, 3}}, 7, 7, true},
        SimulationCase{"GenericFiveInThePlane",
                       nodes_at({{0.3, 0.1}, {4.1, 0.7}, {2.2, 3.9}, {-1.3, 2.6}, {3.3, -2.8}}), 2,
                       1e-9, {1, 1, 1, 1, 1, 1, 1, 0, 0, 0},
                       {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}}, 7, 7, true},
        SimulationCase{"Tetrahedron", nodes_at({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}), 3,
                       1e-9, {1, 1, 1, 1, 1, 1}, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}},
                       6, 6, true},
        SimulationCase{"CoplanarFourInSpace",
                       nodes_at({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}), 3, 1e-9,
                       {1, 1, 1, 1, 1, 0}, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}}, 5, 6, false},
        SimulationCase{"NanTolerance", nodes_at(unit_square), 2, nan, {0, 0, 0, 0, 0, 0}, {}, 0, 5,
                       false},
        // Below d + 1 nodes, only the batch reaches the core.
        SimulationCase{"TwoDistinctNodesInSpace", nodes_at({{0, 0, 0}, {1, 2, 3}}), 3, 1e-9, {1},
                       {{0, 1}}, 1, 0, false},
        SimulationCase{"TwoCoincidentNodesInSpace", nodes_at({{1, 2, 3}, {1, 2, 3}}), 3, 1e-9, {0},
                       {}, 0, 0, true},
        SimulationCase{"SingleNode", nodes_at({{4, 2}}), 2, 1e-9, {}, {}, 0, 0, true},
        // The batch's graphs for seed 0.
        SimulationCase{"BatchFourInThePlane", random_node_list(0, 0, 4, 2), 2, 1e-9,
                       {1, 1, 1, 1, 1, 0}, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}}, 5, 5, true},
        SimulationCase{"BatchFiveInThePlane", random_node_list(0, 0, 5, 2), 2, 1e-9,
                       {1, 1, 1, 1, 1, 1, 1, 0, 0, 0},
                       {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}}, 7, 7, true},
        SimulationCase{"BatchFourInSpace", random_node_list(0, 0, 4, 3), 3, 1e-9,
                       {1, 1, 1, 1, 1, 1}, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}, 6, 6,
                       true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunSimulation, DistanceMatrixComesFromTheNodes) {
    const SimulationResult one = run_simulation(nodes_at({{4, 2}}), 2, 1e-9);
    EXPECT_EQ(one.distance_matrix, std::vector<double>{0.0});
    const SimulationResult batch = run_simulation(random_node_list(0, 0, 3, 2), 2, 1e-9);
    const std::vector<double> expected = {0.0, 3.0313386985820134, 2.757300936479673,
                                          3.0313386985820134, 0.0, 1.3659778344650304,
                                          2.757300936479673, 1.3659778344650304, 0.0};
    EXPECT_EQ(batch.distance_matrix, expected);
}

struct NodeListFault {
    NodeList nodes;
    std::uint64_t d;
    const char* message;
};

class RunSimulationRejects : public ::testing::TestWithParam<NodeListFault> {};

TEST_P(RunSimulationRejects, BadNodeListsAsInternalFaults) {
    std::string message = "<no fault>";
    try {
        run_simulation(GetParam().nodes, GetParam().d, 1e-9);
    } catch (const InternalFault& fault) {
        message = fault.what();
    }
    EXPECT_EQ(message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    NodeLists, RunSimulationRejects,
    ::testing::Values(NodeListFault{{}, 5, "Node list must not be empty"},
                      NodeListFault{nodes_at({{0, 0, 0, 0}}), 4, "Only d=2 and d=3 are supported"},
                      NodeListFault{nodes_at({{0, 0}, {1, 0}}), 0, "Only d=2 and d=3 are supported"},
                      NodeListFault{nodes_at({{0, 0}, {1, 0, 0}, {2, 2}}), 2,
                                    "All nodes must have dimension d=2"}));

// ---------------------------------------------------------------------------
// Exactness against the reference checker on many degenerate frameworks.

enum class Shape { generic, integer_grid, repeated_points, near_collinear, non_finite };

NodeList random_framework(Shape shape, std::mt19937_64& rng, std::uint64_t n, std::uint64_t d) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> grid(0, 2);
    std::vector<std::vector<double>> pool(3, std::vector<double>(d));
    for (auto& p : pool)
        for (double& v : p) v = grid(rng);
    std::vector<double> base(d), along(d), across(d);
    for (std::uint64_t c = 0; c < d; ++c) base[c] = 5 * unit(rng), along[c] = unit(rng), across[c] = unit(rng);

    std::vector<std::vector<double>> positions(n, std::vector<double>(d));
    for (auto& p : positions) {
        const double t = (rng() % 2) ? grid(rng) : unit(rng);
        const double s = (d == 3 && rng() % 2) ? unit(rng) : 0.0;  // coplanar in space
        for (std::uint64_t c = 0; c < d; ++c) {
            switch (shape) {
                case Shape::generic: p[c] = 5 * unit(rng); break;
                case Shape::integer_grid: p[c] = grid(rng); break;
                case Shape::repeated_points: p[c] = 0; break;
                case Shape::near_collinear:
                    p[c] = base[c] + t * along[c] + s * across[c] + ((rng() % 2) ? 1e-12 * unit(rng) : 0.0);
                    break;
                case Shape::non_finite: {
                    const double specials[] = {nan, inf, -inf};
                    p[c] = (rng() % 7 == 0) ? specials[rng() % 3] : 5 * unit(rng);
                }
            }
        }
        if (shape == Shape::repeated_points) p = pool[rng() % pool.size()];
    }
    return nodes_at(positions);
}

const double tolerances[] = {0.0, 1e-15, 1e-9, 1e-3, -1.0, nan, 1e300, inf};

class DegenerateFrameworks
    : public ::testing::TestWithParam<std::tuple<Shape, std::uint64_t>> {};

TEST_P(DegenerateFrameworks, MatchTheReferenceAlgorithm) {
    const auto [shape, d] = GetParam();
    std::mt19937_64 rng(1000 * static_cast<int>(shape) + d);
    int fast_path_failures = 0, fast_path_successes = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const NodeList nodes = random_framework(shape, rng, 1 + rng() % 16, d);
        const double tol = tolerances[trial % 8];
        SCOPED_TRACE("trial " + std::to_string(trial));

        // The simulation, whichever way it went, and the full pass alone.
        const Pass expected = reference_pass(nodes, d, tol);
        const SimulationResult r = run_simulation(nodes, d, tol);
        ASSERT_EQ(r.labels, expected.labels);
        ASSERT_EQ(r.final_rank, expected.rank);
        const Pass alone = full_pass(nodes, d, tol);
        ASSERT_EQ(alone.labels, expected.labels);
        ASSERT_EQ(alone.rank, expected.rank);

        // Which way the simulation went: the fast path settles when the first
        // max_rank bars reach max_rank.
        const std::uint64_t max_rank = max_rank_for(nodes.size(), d);
        const Pairs pairs = make_candidate_pairs(nodes.size());
        const Pairs fast_pairs(pairs.begin(), pairs.begin() + std::min<std::uint64_t>(max_rank, pairs.size()));
        const bool settled = max_rank > 0 && reference_pass(nodes, fast_pairs, nodes.size() * d, tol,
                                                            ~std::uint64_t{0}).rank == max_rank;
        (settled ? fast_path_successes : fast_path_failures) += 1;
    }
    // Both ways must actually be exercised.
    EXPECT_GT(fast_path_failures, 10);
    if (shape != Shape::repeated_points) {
        EXPECT_GT(fast_path_successes, 10);
    }
}

std::string framework_kind_name(
    const ::testing::TestParamInfo<std::tuple<Shape, std::uint64_t>>& info) {
    static const char* const shapes[] = {"Generic", "IntegerGrid", "RepeatedPoints",
                                         "NearCollinear", "NonFinite"};
    return std::string(shapes[static_cast<int>(std::get<0>(info.param))]) + "In" +
           std::to_string(std::get<1>(info.param)) + "D";
}

// Frameworks of every shape and tolerance, offered bar by bar as the
// simulation offers them (sparse entries); answers, ranks, pivots and stored
// rows must equal the reference checker's. The checker stores its columns as
// given, or axis by axis as the simulation has it.
enum class Storage { as_given, axis_by_axis };

void expect_oracle_agreement(Storage storage, int frameworks, std::uint64_t most_nodes) {
    const Shape shapes[] = {Shape::generic, Shape::integer_grid, Shape::repeated_points, Shape::near_collinear,
                            Shape::non_finite};
    std::mt19937_64 rng(storage == Storage::as_given ? 424242 : 4243);
    IncrementalRankChecker checker(0, 0.0);
    std::vector<RowEntry> entries;
    for (int trial = 0; trial < frameworks; ++trial) {
        const Shape shape = shapes[trial % 5];
        const std::uint64_t d = 2 + (trial / 5) % 2;
        const double tol = tolerances[(trial / 10) % 8];
        // Now and then a framework wide enough to fill several update blocks.
        const std::uint64_t n = 1 + rng() % (trial % 50 == 0 ? 3 * most_nodes : most_nodes);
        const NodeList nodes = random_framework(shape, rng, n, d);
        checker.reset(n * d, tol, storage == Storage::as_given ? 1 : d);
        reference::RankChecker oracle(n * d, tol);
        for (const Pair& bar : make_candidate_pairs(n)) {
            rigidity_row_entries(nodes, bar.i, bar.j, entries);
            const bool answer = checker.add_row_entries(entries);
            if (answer != oracle.add_row(reference::rigidity_row(nodes, bar.i, bar.j))) {
                FAIL() << "trial " << trial << " bar (" << bar.i << ", " << bar.j << ")";
            }
        }
        const std::string difference = reference::state_difference(checker, oracle);
        if (!difference.empty()) FAIL() << "trial " << trial << ": " << difference;
    }
}

// Tens of thousands of frameworks. TARVEL_HEAVY_ORACLE=1 runs a larger sweep
// with bigger frameworks.
TEST(ProductionChecker, MatchesTheOracleOnManyFrameworks) {
    const bool heavy = std::getenv("TARVEL_HEAVY_ORACLE") != nullptr;
    expect_oracle_agreement(Storage::as_given, heavy ? 200000 : 20000, heavy ? 60 : 14);
}

TEST(ProductionChecker, StoredAxisByAxisMatchesTheOracle) {
    const bool heavy = std::getenv("TARVEL_HEAVY_ORACLE") != nullptr;
    expect_oracle_agreement(Storage::axis_by_axis, heavy ? 200000 : 10000, heavy ? 60 : 14);
}

TEST(SimulateBatch, EachRecordIsThatGraphsSimulation) {
    for (const auto& [seed, n_graphs, n_nodes, d] :
         std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>>{
             {0, 6, 5, 2}, {3, 4, 12, 3}, {~std::uint64_t{0}, 3, 30, 2}, {5, 3, 2, 3}, {1, 2, 1, 2}}) {
        const std::vector<SimulationResult> batch = simulate_batch(seed, n_graphs, n_nodes, d, 1e-9);
        ASSERT_EQ(batch.size(), n_graphs);
        for (std::uint64_t k = 0; k < n_graphs; ++k) {
            const SimulationResult alone = run_simulation(random_node_list(seed, k, n_nodes, d), d, 1e-9);
            EXPECT_EQ(batch[k].labels, alone.labels) << "graph " << k;
            EXPECT_EQ(batch[k].distance_matrix, alone.distance_matrix);
            EXPECT_EQ(batch[k].final_rank, alone.final_rank);
            EXPECT_EQ(batch[k].max_rank, alone.max_rank);
            EXPECT_EQ(std::tie(batch[k].n_nodes, batch[k].d), std::tie(n_nodes, d));
        }
    }
}

// Any bars in any order, repeated ones included, as graphs other than the
// complete one give them: labels and rank as the reference pass, appended
// after the labels already there.
TEST(BarLabellerInOrder, MatchesTheReferenceOnAnyEdgeList) {
    std::mt19937_64 rng(99);
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint64_t d = 2 + trial % 2, n = 2 + rng() % 10;
        const NodeList nodes = random_framework(static_cast<Shape>(trial % 4), rng, n, d);
        Pairs bars(rng() % (n * n));
        for (Pair& bar : bars) {
            bar.i = rng() % n;
            bar.j = (bar.i + 1 + rng() % (n - 1)) % n;
        }
        const std::uint64_t stop = trial % 3 == 0 ? ~std::uint64_t{0} : rng() % (n * d);
        const double tol = tolerances[trial % 8];
        Labels labels = {7, 7};
        const std::uint64_t rank = BarLabeller().label_in_order(nodes, bars, tol, stop, labels);
        const Pass expected = reference_pass(nodes, bars, n * d, tol, stop);
        ASSERT_EQ(Labels(labels.begin() + 2, labels.end()), expected.labels) << "trial " << trial;
        ASSERT_EQ(Labels(labels.begin(), labels.begin() + 2), (Labels{7, 7}));
        ASSERT_EQ(rank, expected.rank);
    }
}

TEST(BarLabellerInOrder, NodesOfAnotherDimensionAreAnInternalFault) {
    // Node 1 and 2 share a dimension, unlike node 0: their bar must not land
    // in node 0's columns.
    const NodeList nodes = nodes_at({{0, 0}, {1, 2, 3}, {4, 5, 6}});
    const Pairs pairs = {{1, 2}};
    Labels labels;
    EXPECT_THROW(BarLabeller().label_in_order(nodes, pairs, 1e-9, 3, labels), InternalFault);
}

TEST(SimulateBatch, FaultsOfTheFirstGraphEndTheCall) {
    EXPECT_TRUE(simulate_batch(0, 0, 0, 7, 1e-9).empty());
    EXPECT_THROW(simulate_batch(0, 1, 0, 2, 1e-9), InternalFault);
    EXPECT_THROW(simulate_batch(0, 2, 3, 4, 1e-9), InternalFault);
    EXPECT_THROW(simulate_batch(0, ~std::uint64_t{0}, 3, 2, 1e-9), InternalFault);  // capacity overflow
}

INSTANTIATE_TEST_SUITE_P(
    ShapesAndDimensions, DegenerateFrameworks,
    ::testing::Combine(::testing::Values(Shape::generic, Shape::integer_grid, Shape::repeated_points,
                                         Shape::near_collinear, Shape::non_finite),
                       ::testing::Values(2u, 3u)),
    framework_kind_name);

}  // namespace
}  // namespace tarvel
