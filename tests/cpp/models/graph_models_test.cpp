#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "graph/generic_rank.hpp"
#include "graph/graph.hpp"
#include "models/graph_models.hpp"
#include "support/fault_capture.hpp"

namespace tarvel {
namespace {

using Edges = std::vector<Pair>;

const PointModel kPointModels[] = {PointModel::box, PointModel::grid, PointModel::lines, PointModel::circles,
                                   PointModel::clusters};

ModelParameters model_of(GraphModel graph_model, PointModel point_model = PointModel::box) {
    ModelParameters model;
    model.graph.model = graph_model;
    model.points.model = point_model;
    return model;
}

ModelGraph make_checked(const ModelParameters& model, std::uint64_t n, std::uint64_t d, std::uint64_t seed) {
    check_model_parameters(model, n, d);
    ModelGraph graph = make_model_graph(model, n, d, seed);
    EXPECT_EQ(graph.positions.size(), n * d);
    for (double x : graph.positions) EXPECT_TRUE(std::isfinite(x));
    return graph;
}

// Every bar joins two different nodes, i < j < n, and no bar repeats.
void expect_simple(const Edges& edges, std::uint64_t n) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    for (const Pair& edge : edges) {
        EXPECT_LT(edge.i, edge.j);
        EXPECT_LT(edge.j, n);
        EXPECT_TRUE(seen.insert({edge.i, edge.j}).second) << edge.i << "-" << edge.j << " repeats";
    }
}

Edges sorted(Edges edges) {
    std::sort(edges.begin(), edges.end(), [](const Pair& a, const Pair& b) {
        return a.i != b.i ? a.i < b.i : a.j < b.j;
    });
    return edges;
}

double squared_distance(const std::vector<double>& x, std::uint64_t d, std::uint64_t a, std::uint64_t b) {
    double sum = 0.0;
    for (std::uint64_t axis = 0; axis < d; ++axis) sum += (x[a * d + axis] - x[b * d + axis]) * (x[a * d + axis] - x[b * d + axis]);
    return sum;
}

// ------------------------------------------------------ rigidity by theory

// Both Henneberg moves keep generic minimal rigidity: exactly rigid_rank
// bars, all of them independent at generic positions.
TEST(HennebergGraphs, AreMinimallyRigid) {
    for (std::uint64_t d : {2u, 3u}) {
        for (double split : {0.0, 0.5, 1.0}) {
            for (std::uint64_t n : {1u, 2u, 3u, 4u, 5u, 9u, 30u}) {
                for (std::uint64_t seed = 0; seed < 8; ++seed) {
                    ModelParameters model = model_of(GraphModel::henneberg);
                    model.graph.split_probability = split;
                    const ModelGraph graph = make_checked(model, n, d, seed);
                    expect_simple(graph.edges, n);
                    ASSERT_EQ(graph.edges.size(), rigid_rank(n, d)) << "n " << n << " d " << d;
                    EXPECT_EQ(generic_rigidity_labels(n, graph.edges, d, seed).rank, rigid_rank(n, d))
                        << "n " << n << " d " << d << " split " << split << " seed " << seed;
                }
            }
        }
    }
}

// Taking r bars from a minimally rigid graph leaves exactly r degrees of
// freedom; each added pair removes at most one.
TEST(NearThresholdGraphs, HaveTheCountedBarsAndRank) {
    for (std::uint64_t d : {2u, 3u}) {
        for (std::uint64_t removed : {0u, 1u, 3u}) {
            for (std::uint64_t extra : {0u, 2u}) {
                for (std::uint64_t seed = 0; seed < 10; ++seed) {
                    ModelParameters model = model_of(GraphModel::near_threshold);
                    model.graph.removed_bars = removed;
                    model.graph.extra_bars = extra;
                    const std::uint64_t n = 12;
                    const ModelGraph graph = make_checked(model, n, d, seed);
                    expect_simple(graph.edges, n);
                    EXPECT_EQ(graph.edges.size(), rigid_rank(n, d) - removed + extra);
                    const std::uint64_t rank = generic_rigidity_labels(n, graph.edges, d, 1).rank;
                    EXPECT_LE(rank, rigid_rank(n, d));
                    EXPECT_GE(rank, rigid_rank(n, d) - removed);
                    if (extra == 0) {
                        EXPECT_EQ(rank, rigid_rank(n, d) - removed);
                    }
                }
            }
        }
    }
}

// ------------------------------------------------ graphs by their definition

TEST(GnmGraphs, HaveMDistinctBars) {
    for (std::uint64_t m : {0u, 1u, 17u, 44u, 45u}) {
        ModelParameters model = model_of(GraphModel::gnm);
        model.graph.m = m;
        const ModelGraph graph = make_checked(model, 10, 2, m);
        EXPECT_EQ(graph.edges.size(), m);
        expect_simple(graph.edges, 10);
    }
}

TEST(GnpGraphs, TakeEachPairWithProbabilityP) {
    ModelParameters model = model_of(GraphModel::gnp);
    for (double p : {0.0, 1.0}) {
        model.graph.p = p;
        EXPECT_EQ(make_checked(model, 15, 3, 4).edges.size(), p == 0.0 ? 0u : 105u);
    }
    model.graph.p = 0.25;
    std::uint64_t bars = 0;
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        const ModelGraph graph = make_checked(model, 20, 2, seed);
        expect_simple(graph.edges, 20);
        bars += graph.edges.size();
    }
    // 40 * 190 pairs: mean 1900, standard deviation 37.7.
    EXPECT_NEAR(static_cast<double>(bars), 1900.0, 5 * 37.7);
}

class OnEveryPointModel : public ::testing::TestWithParam<PointModel> {};

TEST_P(OnEveryPointModel, GeometricGraphsJoinExactlyThePairsCloserThanTheRadius) {
    ModelParameters model = model_of(GraphModel::geometric, GetParam());
    model.graph.radius = 0.3;
    for (std::uint64_t d : {2u, 3u}) {
        for (std::uint64_t seed = 0; seed < 5; ++seed) {
            const std::uint64_t n = 25;
            const ModelGraph graph = make_checked(model, n, d, seed);
            Edges expected;
            for (std::uint64_t i = 0; i < n; ++i) {
                for (std::uint64_t j = i + 1; j < n; ++j) {
                    if (std::sqrt(squared_distance(graph.positions, d, i, j)) < 0.3) expected.push_back({i, j});
                }
            }
            EXPECT_EQ(sorted(graph.edges), expected);
        }
    }
}

TEST_P(OnEveryPointModel, KnnGraphsJoinEachNodeToItsNearestOthers) {
    ModelParameters model = model_of(GraphModel::knn, GetParam());
    for (std::uint64_t k : {1u, 3u, 24u}) {
        model.graph.k = k;
        for (std::uint64_t d : {2u, 3u}) {
            const std::uint64_t n = 25;
            const ModelGraph graph = make_checked(model, n, d, k + d);
            std::set<std::pair<std::uint64_t, std::uint64_t>> expected;
            for (std::uint64_t i = 0; i < n; ++i) {
                // Node j is among the k nearest of i when fewer than k others
                // come before it by (distance, node number).
                for (std::uint64_t j = 0; j < n; ++j) {
                    if (j == i) continue;
                    std::uint64_t before = 0;
                    for (std::uint64_t other = 0; other < n; ++other) {
                        if (other == i || other == j) continue;
                        const double a = squared_distance(graph.positions, d, i, other);
                        const double b = squared_distance(graph.positions, d, i, j);
                        before += (a < b || (a == b && other < j)) ? 1 : 0;
                    }
                    if (before < k) expected.insert({std::min(i, j), std::max(i, j)});
                }
            }
            std::set<std::pair<std::uint64_t, std::uint64_t>> got;
            for (const Pair& edge : graph.edges) got.insert({edge.i, edge.j});
            EXPECT_EQ(got, expected);
            expect_simple(graph.edges, n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PointModels, OnEveryPointModel, ::testing::ValuesIn(kPointModels));

// ------------------------------------------------------------------ points

TEST(PointModels, PutThePointsWhereTheyAreDocumented) {
    ModelParameters model = model_of(GraphModel::gnm);
    model.points.groups = 1;
    for (std::uint64_t seed = 0; seed < 5; ++seed) {
        model.points.model = PointModel::grid;
        model.points.grid_side = 4;
        const std::vector<double> grid = make_checked(model, 16, 2, seed).positions;
        std::set<std::vector<double>> cells;
        for (std::size_t node = 0; node < 16; ++node) cells.insert({grid[2 * node], grid[2 * node + 1]});
        EXPECT_EQ(cells.size(), 16u);  // a full 4 x 4 grid: every cell once
        EXPECT_EQ(*cells.begin(), (std::vector<double>{0.0, 0.0}));
        EXPECT_EQ(*cells.rbegin(), (std::vector<double>{0.75, 0.75}));

        // One line: every triple collinear; one circle: every point as far
        // from the circle through the first three.
        model.points.model = PointModel::lines;
        const std::vector<double> line = make_checked(model, 10, 2, seed).positions;
        for (std::size_t node = 2; node < 10; ++node) {
            const double cross = (line[2] - line[0]) * (line[2 * node + 1] - line[1]) -
                                 (line[3] - line[1]) * (line[2 * node] - line[0]);
            EXPECT_NEAR(cross, 0.0, 1e-12);
        }
        model.points.model = PointModel::circles;
        const std::vector<double> c = make_checked(model, 10, 2, seed).positions;
        const double ax = c[0], ay = c[1], bx = c[2], by = c[3], cx = c[4], cy = c[5];
        const double det = 2.0 * (ax * (by - cy) + bx * (cy - ay) + cx * (ay - by));
        const double ux = ((ax * ax + ay * ay) * (by - cy) + (bx * bx + by * by) * (cy - ay) + (cx * cx + cy * cy) * (ay - by)) / det;
        const double uy = ((ax * ax + ay * ay) * (cx - bx) + (bx * bx + by * by) * (ax - cx) + (cx * cx + cy * cy) * (bx - ax)) / det;
        const double radius = std::hypot(ax - ux, ay - uy);
        EXPECT_TRUE(radius >= 0.1 && radius < 0.5 + 1e-9) << radius;
        for (std::size_t node = 3; node < 10; ++node) EXPECT_NEAR(std::hypot(c[2 * node] - ux, c[2 * node + 1] - uy), radius, 1e-9);

        // A circle in space lies in one plane.
        const std::vector<double> s = make_checked(model, 10, 3, seed).positions;
        const auto diff = [&](std::size_t node, std::size_t axis) { return s[3 * node + axis] - s[axis]; };
        for (std::size_t node = 3; node < 10; ++node) {
            const double volume = diff(1, 0) * (diff(2, 1) * diff(node, 2) - diff(2, 2) * diff(node, 1)) -
                                  diff(1, 1) * (diff(2, 0) * diff(node, 2) - diff(2, 2) * diff(node, 0)) +
                                  diff(1, 2) * (diff(2, 0) * diff(node, 1) - diff(2, 1) * diff(node, 0));
            EXPECT_NEAR(volume, 0.0, 1e-12);
        }

        model.points.model = PointModel::clusters;
        model.points.cluster_radius = 0.05;
        const std::vector<double> cluster = make_checked(model, 10, 3, seed).positions;
        for (std::size_t node = 1; node < 10; ++node) EXPECT_LT(std::sqrt(squared_distance(cluster, 3, 0, node)), 0.1);
    }
}

// --------------------------------------------------------------- seeding

std::vector<ModelParameters> every_model() {
    std::vector<ModelParameters> models;
    for (PointModel points : kPointModels) {
        for (GraphModel graph : {GraphModel::gnm, GraphModel::gnp, GraphModel::geometric, GraphModel::knn,
                                 GraphModel::henneberg, GraphModel::near_threshold}) {
            ModelParameters model = model_of(graph, points);
            model.graph.m = 20;
            model.graph.p = 0.2;
            model.graph.radius = 0.4;
            model.graph.k = 3;
            model.graph.removed_bars = 2;
            model.graph.extra_bars = 2;
            models.push_back(model);
        }
    }
    return models;
}

TEST(ModelGraphs, AreFunctionsOfTheSeedAloneAndTheirPointsOfThePointModel) {
    for (std::uint64_t d : {2u, 3u}) {
        for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{12345}, ~std::uint64_t{0}}) {
            std::vector<double> box_points;
            for (const ModelParameters& model : every_model()) {
                const ModelGraph graph = make_checked(model, 15, d, seed);
                const ModelGraph again = make_checked(model, 15, d, seed);
                EXPECT_EQ(graph.positions, again.positions);
                EXPECT_EQ(graph.edges, again.edges);
                EXPECT_NE(graph.positions, make_checked(model, 15, d, seed + 1).positions);
                if (model.points.model != PointModel::box) continue;
                if (box_points.empty()) box_points = graph.positions;
                EXPECT_EQ(graph.positions, box_points);
            }
        }
    }
}

// Greedy labels depend on the order of the bars: it must not repeat from
// graph to graph, nor favour low node numbers first.
TEST(ModelGraphs, ListTheirBarsInRandomOrder) {
    const ModelParameters model = model_of(GraphModel::henneberg);
    std::set<std::vector<std::uint64_t>> first_ends;
    std::uint64_t first_bar_low_end = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        const ModelGraph graph = make_checked(model, 12, 2, seed);
        first_ends.insert({graph.edges[0].i, graph.edges[0].j});
        first_bar_low_end += graph.edges[0].i;
    }
    EXPECT_GT(first_ends.size(), 30u);
    // The lower end of a random pair of 12 nodes averages 11/3.
    EXPECT_NEAR(static_cast<double>(first_bar_low_end) / 200.0, 11.0 / 3.0, 0.7);
}

// ------------------------------------------------------------ bad input

struct BadModel {
    std::string message;
    ModelParameters model;
    std::uint64_t n = 10;
    std::uint64_t d = 2;
};

std::vector<BadModel> bad_models() {
    std::vector<BadModel> cases;
    const auto add = [&](std::string message, GraphModel graph, auto change, std::uint64_t n = 10, std::uint64_t d = 2) {
        ModelParameters model = model_of(graph);
        change(model);
        cases.push_back({std::move(message), model, n, d});
    };
    add("n must be at least 1", GraphModel::gnm, [](ModelParameters&) {}, 0);
    add("d must be 2 or 3, got 4", GraphModel::gnm, [](ModelParameters&) {}, 10, 4);
    add("m must be at most n(n-1)/2 = 45, got 46", GraphModel::gnm, [](ModelParameters& m) { m.graph.m = 46; });
    add("p must be in [0, 1]", GraphModel::gnp, [](ModelParameters& m) { m.graph.p = NAN; });
    add("radius must be at least 0", GraphModel::geometric, [](ModelParameters& m) { m.graph.radius = -0.5; });
    add("k must be between 1 and n - 1 = 9, got 10", GraphModel::knn, [](ModelParameters& m) { m.graph.k = 10; });
    add("k must be between 1 and n - 1 = 9, got 0", GraphModel::knn, [](ModelParameters&) {});
    add("split_probability must be in [0, 1]", GraphModel::henneberg,
        [](ModelParameters& m) { m.graph.split_probability = 1.5; });
    add("removed_bars must be at most the 17 bars of a minimally rigid graph, got 18", GraphModel::near_threshold,
        [](ModelParameters& m) { m.graph.removed_bars = 18; });
    add("extra_bars must be at most the 30 pairs left free, got 31", GraphModel::near_threshold, [](ModelParameters& m) {
        m.graph.removed_bars = 2;
        m.graph.extra_bars = 31;
    });
    add("grid_side 3 gives 9 grid points for 10 distinct nodes", GraphModel::gnm, [](ModelParameters& m) {
        m.points.model = PointModel::grid;
        m.points.grid_side = 3;
    });
    add("grid_side 3000000 gives more than 2^62 grid points for 10 distinct nodes", GraphModel::gnm,
        [](ModelParameters& m) {
            m.points.model = PointModel::grid;
            m.points.grid_side = 3000000;
        }, 10, 3);
    add("groups must be between 1 and 2^20, got 0", GraphModel::gnm, [](ModelParameters& m) {
        m.points.model = PointModel::lines;
        m.points.groups = 0;
    });
    add("cluster_radius must be finite and at least 0", GraphModel::gnm, [](ModelParameters& m) {
        m.points.model = PointModel::clusters;
        m.points.cluster_radius = INFINITY;
    });
    return cases;
}

TEST(ModelParameters, AreCheckedWithAMessageNamingTheParameter) {
    for (const BadModel& bad : bad_models()) {
        EXPECT_EQ(invalid_input_of([&] { check_model_parameters(bad.model, bad.n, bad.d); }), bad.message);
    }
}

}  // namespace
}  // namespace tarvel
