// Seeded random graphs on seeded random points (core/point_models): the
// frameworks of training data whose rigidity varies from graph to graph.
//
// Graph models on n nodes in d = 2 or 3 dimensions:
//   gnm             Erdos-Renyi G(n, m): m distinct bars, every such set
//                   equally likely;
//   gnp             G(n, p): every pair is a bar with probability p, alone;
//   geometric       every pair closer than `radius`: the sum over the axes,
//                   in order, of the squared coordinate differences is
//                   below radius * radius;
//   knn             every node joined to its k nearest others (squared
//                   distance as above, ties to the lower node number), the
//                   pairs chosen from either end merged;
//   henneberg       minimally rigid: the complete graph on min(n, d) nodes,
//                   then one node at a time joined to d distinct earlier
//                   nodes (Henneberg type I, the 0-extension) or, with
//                   `split_probability` once there are d + 1 nodes, an
//                   edge split (type II, the 1-extension): a random bar uv
//                   is removed and the new node joined to u, v and d - 1
//                   more. Both moves keep generic minimal rigidity, so the
//                   graph has exactly rigid_rank(n, d) independent bars;
//   near_threshold  a henneberg graph with `removed_bars` random bars taken
//                   away and then `extra_bars` random pairs that are not
//                   bars added: near the threshold of rigidity, rigid or not
//                   by chance.
//
// A graph is a function of the parameters, n, d and one 64-bit seed alone;
// graph k of a batch with seed s is the graph of seed s + k (mod 2^64), so
// any part of a batch can be made alone. Its points come from one random
// stream and its bars from a second, both seeded by the splitmix64 sequence
// started at the seed: the points do not depend on the graph model. Bars are
// listed as (i, j), i < j, in a uniformly random order, because greedy labels
// depend on the order; henneberg and near_threshold graphs also get their
// nodes renumbered at random, so a node's number says nothing about when
// the construction added it.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/edge.hpp"
#include "models/point_models.hpp"

namespace tarvel {

enum class GraphModel : std::uint8_t { gnm, gnp, geometric, knn, henneberg, near_threshold };

struct GraphParameters {
    GraphModel model = GraphModel::near_threshold;
    std::uint64_t m = 0;             // gnm: number of bars
    double p = 0.0;                  // gnp: probability of each bar
    double radius = 0.0;             // geometric
    std::uint64_t k = 0;             // knn: neighbours per node
    double split_probability = 0.5;  // henneberg, near_threshold
    std::uint64_t removed_bars = 0;  // near_threshold
    std::uint64_t extra_bars = 0;    // near_threshold
};

struct ModelParameters {
    PointParameters points;
    GraphParameters graph;
};

struct ModelGraph {
    std::vector<double> positions;  // n x d, row-major
    std::vector<Pair> edges;        // i < j, distinct
};

// InvalidInput naming the first parameter that does not fit n nodes in d
// dimensions (check_point_parameters for the points): n = 0; m above
// n(n-1)/2; p or split_probability outside [0, 1]; a negative or NaN
// radius (infinity joins every pair); k outside 1 .. n-1; removed_bars
// above the rigid_rank(n, d) bars of a henneberg graph, or extra_bars above
// the pairs left free once they are removed.
void check_model_parameters(const ModelParameters& model, std::uint64_t n, std::uint64_t d);

// The model graph of `seed`; the parameters must have passed
// check_model_parameters.
ModelGraph make_model_graph(const ModelParameters& model, std::uint64_t n, std::uint64_t d, std::uint64_t seed);

}  // namespace tarvel
