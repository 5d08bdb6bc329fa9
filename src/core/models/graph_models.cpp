#include "models/graph_models.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "numeric/fault.hpp"
#include "graph/graph.hpp"

namespace tarvel {

namespace {

using Edges = std::vector<Pair>;

// ------------------------------------------------------------ pair numbers

// Pairs i < j numbered column by column: (0,1), (0,2), (1,2), (0,3), ...
std::uint64_t pair_number(const Pair& pair) {
    const auto [low, high] = std::minmax(pair.i, pair.j);
    return high % 2 == 0 ? (high / 2) * (high - 1) + low : high * ((high - 1) / 2) + low;
}

Pair pair_of_number(std::uint64_t number) {
    // The largest j with j(j-1)/2 <= number: the square root's estimate,
    // corrected in integers (it may be off by one for large numbers).
    auto high = static_cast<std::uint64_t>((1.0 + std::sqrt(8.0 * static_cast<double>(number) + 1.0)) / 2.0);
    while (high > 1 && pair_number({0, high}) > number) --high;
    while (pair_number({0, high + 1}) <= number) ++high;
    return {number - pair_number({0, high}), high};
}

// --------------------------------------------------------------- distances

double squared_distance(std::span<const double> positions, std::uint64_t d, std::uint64_t a, std::uint64_t b) {
    double sum = 0.0;
    for (std::uint64_t axis = 0; axis < d; ++axis) {
        const double difference = positions[a * d + axis] - positions[b * d + axis];
        sum += difference * difference;
    }
    return sum;
}

// ------------------------------------------------------------------ models

Edges gnm_edges(std::uint64_t n, std::uint64_t m, RandomStream& stream) {
    Edges edges;
    reserve_checked(edges, m);
    for (std::uint64_t number : distinct_draws(stream, m, pair_count(n))) edges.push_back(pair_of_number(number));
    return edges;
}

Edges gnp_edges(std::uint64_t n, double p, RandomStream& stream) {
    Edges edges;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j) {
            if (stream.chance(p)) edges.push_back({i, j});
        }
    }
    return edges;
}

Edges geometric_edges(std::span<const double> positions, std::uint64_t n, std::uint64_t d, double radius) {
    const double limit = radius * radius;
    Edges edges;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j) {
            if (squared_distance(positions, d, i, j) < limit) edges.push_back({i, j});
        }
    }
    return edges;
}

Edges nearest_neighbour_edges(std::span<const double> positions, std::uint64_t n, std::uint64_t d, std::uint64_t k) {
    Edges edges;
    reserve_checked(edges, checked_product(n, k));
    std::vector<std::pair<double, std::uint64_t>> others;
    reserve_checked(others, n);
    for (std::uint64_t i = 0; i < n; ++i) {
        others.clear();
        for (std::uint64_t j = 0; j < n; ++j) {
            if (j != i) others.emplace_back(squared_distance(positions, d, i, j), j);
        }
        std::nth_element(others.begin(), others.begin() + static_cast<std::ptrdiff_t>(k - 1), others.end());
        for (std::uint64_t r = 0; r < k; ++r) edges.push_back({std::min(i, others[r].second), std::max(i, others[r].second)});
    }
    std::sort(edges.begin(), edges.end(), [](const Pair& a, const Pair& b) { return pair_number(a) < pair_number(b); });
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    return edges;
}

// `count` distinct nodes below `population`, none of them in `chosen`,
// appended to it; `chosen` holds few nodes, so a repeat is found by a scan.
void add_distinct_nodes(std::vector<std::uint64_t>& chosen, std::uint64_t count, std::uint64_t population,
                        RandomStream& stream) {
    const std::size_t target = chosen.size() + count;
    while (chosen.size() < target) {
        const std::uint64_t node = stream.below(population);
        if (std::find(chosen.begin(), chosen.end(), node) == chosen.end()) chosen.push_back(node);
    }
}

Pair remove_random_edge(Edges& edges, RandomStream& stream) {
    const std::uint64_t place = stream.below(edges.size());
    const Pair removed = edges[place];
    edges[place] = edges.back();
    edges.pop_back();
    return removed;
}

// `room` more bars than the graph's own are reserved for what comes after.
Edges henneberg_edges(std::uint64_t n, std::uint64_t d, double split_probability, RandomStream& stream,
                      std::uint64_t room = 0) {
    Edges edges;
    reserve_checked(edges, rigid_rank(n, d) + room);
    const std::uint64_t start = std::min(n, d);
    for (std::uint64_t j = 1; j < start; ++j) {
        for (std::uint64_t i = 0; i < j; ++i) edges.push_back({i, j});
    }
    std::vector<std::uint64_t> ends;
    for (std::uint64_t node = start; node < n; ++node) {
        ends.clear();
        if (node >= d + 1 && stream.chance(split_probability)) {
            const Pair split = remove_random_edge(edges, stream);
            ends = {split.i, split.j};
            add_distinct_nodes(ends, d - 1, node, stream);
        } else {
            add_distinct_nodes(ends, d, node, stream);
        }
        for (std::uint64_t end : ends) edges.push_back({end, node});
    }
    return edges;
}

void add_random_non_edges(Edges& edges, std::uint64_t n, std::uint64_t count, RandomStream& stream) {
    if (count == 0) return;
    const std::uint64_t pairs = pair_count(n);
    TakenValues taken(pairs, edges.size() + count);
    for (const Pair& edge : edges) taken.insert(pair_number(edge));
    for (std::uint64_t added = 0; added < count;) {
        const std::uint64_t number = stream.below(pairs);
        if (taken.insert(number)) {
            edges.push_back(pair_of_number(number));
            ++added;
        }
    }
}

Edges near_threshold_edges(std::uint64_t n, std::uint64_t d, const GraphParameters& graph, RandomStream& stream) {
    Edges edges = henneberg_edges(n, d, graph.split_probability, stream, graph.extra_bars);
    for (std::uint64_t k = 0; k < graph.removed_bars; ++k) remove_random_edge(edges, stream);
    add_random_non_edges(edges, n, graph.extra_bars, stream);
    return edges;
}

void renumber_nodes(Edges& edges, std::uint64_t n, RandomStream& stream) {
    std::vector<std::uint64_t> number(checked_count(n, sizeof(std::uint64_t)));
    for (std::uint64_t node = 0; node < n; ++node) number[node] = node;
    stream.shuffle(std::span<std::uint64_t>(number));
    for (Pair& edge : edges) edge = {number[edge.i], number[edge.j]};
}

void orient_and_shuffle(Edges& edges, RandomStream& stream) {
    for (Pair& edge : edges) {
        if (edge.i > edge.j) std::swap(edge.i, edge.j);
    }
    stream.shuffle(std::span<Pair>(edges));
}

bool is_probability(double value) { return value >= 0.0 && value <= 1.0; }

}  // namespace

void check_model_parameters(const ModelParameters& model, std::uint64_t n, std::uint64_t d) {
    if (n == 0) throw InvalidInput("n must be at least 1");
    check_point_parameters(model.points, n, d);
    const GraphParameters& graph = model.graph;
    switch (graph.model) {
        case GraphModel::gnm:
            if (graph.m > pair_count(n)) {
                throw InvalidInput("m must be at most n(n-1)/2 = " + std::to_string(pair_count(n)) + ", got " +
                                   std::to_string(graph.m));
            }
            return;
        case GraphModel::gnp:
            if (!is_probability(graph.p)) throw InvalidInput("p must be in [0, 1]");
            return;
        case GraphModel::geometric:
            if (!(graph.radius >= 0.0)) throw InvalidInput("radius must be at least 0");
            return;
        case GraphModel::knn:
            if (graph.k == 0 || graph.k >= n) {
                throw InvalidInput("k must be between 1 and n - 1 = " + std::to_string(n - 1) + ", got " +
                                   std::to_string(graph.k));
            }
            return;
        case GraphModel::henneberg:
        case GraphModel::near_threshold:
            break;
    }
    if (!is_probability(graph.split_probability)) throw InvalidInput("split_probability must be in [0, 1]");
    if (graph.model == GraphModel::henneberg) return;
    const std::uint64_t bars = rigid_rank(n, d);
    if (graph.removed_bars > bars) {
        throw InvalidInput("removed_bars must be at most the " + std::to_string(bars) + " bars of a minimally rigid graph, got " +
                           std::to_string(graph.removed_bars));
    }
    const std::uint64_t free_pairs = pair_count(n) - (bars - graph.removed_bars);
    if (graph.extra_bars > free_pairs) {
        throw InvalidInput("extra_bars must be at most the " + std::to_string(free_pairs) + " pairs left free, got " +
                           std::to_string(graph.extra_bars));
    }
}

ModelGraph make_model_graph(const ModelParameters& model, std::uint64_t n, std::uint64_t d, std::uint64_t seed) {
    SeedSequence seeds(seed);
    RandomStream point_stream(seeds);
    RandomStream edge_stream(seeds);
    ModelGraph graph{draw_points(model.points, n, d, point_stream), {}};
    const GraphParameters& parameters = model.graph;
    switch (parameters.model) {
        case GraphModel::gnm:
            graph.edges = gnm_edges(n, parameters.m, edge_stream);
            break;
        case GraphModel::gnp:
            graph.edges = gnp_edges(n, parameters.p, edge_stream);
            break;
        case GraphModel::geometric:
            graph.edges = geometric_edges(graph.positions, n, d, parameters.radius);
            break;
        case GraphModel::knn:
            graph.edges = nearest_neighbour_edges(graph.positions, n, d, parameters.k);
            break;
        case GraphModel::henneberg:
            graph.edges = henneberg_edges(n, d, parameters.split_probability, edge_stream);
            renumber_nodes(graph.edges, n, edge_stream);
            break;
        case GraphModel::near_threshold:
            graph.edges = near_threshold_edges(n, d, parameters, edge_stream);
            renumber_nodes(graph.edges, n, edge_stream);
            break;
    }
    orient_and_shuffle(graph.edges, edge_stream);
    return graph;
}

}  // namespace tarvel
