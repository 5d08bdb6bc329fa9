// Batches of labelled model graphs: training data made and labelled in one
// pass over the graphs, into flat arrays that the caller cuts per graph.
//
// Graph k is the model graph of seed + k (mod 2^64) (core/graph_models), so
// a batch cut into pieces [a, b) made with seed + a equals one batch. Its
// bars are labelled in their listed order by
//   numeric  the numeric rank test at the graph's own positions with
//            tolerance tol, in the given arithmetic (framework/orthogonal_labels:
//            the backward-stable test, or the simulation's elimination), as
//            label_bars;
//   generic  the exact rank modulo a prime at the random integer positions
//            of seed 0 (core/generic_rank), as generic_labels;
//   pebble   the (2, 3) pebble game, in the plane only (core/kl_pebble_game).
// Every graph also gets its rigid components, whatever labels it has: in the
// plane from the (2, 3) pebble game (on bit sets for graphs of at most 64
// nodes, core/bitset_pebble_game, which gives the same labels and
// components), in space from the closure in the generic rigidity matroid at
// the positions of seed 0 (core/rigidity_closure). A
// graph whose orthogonal numeric or generic labels reach the rigid rank is
// rigid, and its one component, every node, is known without either.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/orthogonal_labels.hpp"
#include "models/graph_models.hpp"

namespace tarvel {

enum class LabelMethod : std::uint8_t { numeric, generic, pebble };

struct GraphBatch {
    std::vector<double> positions;              // n x d per graph, graph after graph
    std::vector<std::int64_t> edges;            // i, j per bar, graph after graph
    std::vector<std::int64_t> edge_offsets{0};  // graph k's bars: [edge_offsets[k], edge_offsets[k + 1])
    std::vector<std::uint8_t> labels;           // per bar: 1 independent, 0 redundant
    std::vector<std::int64_t> rank;             // per graph: independent bars
    std::vector<std::int64_t> dof;              // per graph: rigid_rank(n, d) - rank
    // The rigid components of each graph. Component c
    // holds component_nodes[component_offsets[c] .. component_offsets[c + 1]),
    // ascending; graph k's are [graph_components[k], graph_components[k + 1]),
    // and edge_component gives each bar's component numbered within its graph
    // (in space, where two may share a hinge, the first holding the bar).
    std::vector<std::int64_t> edge_component;
    std::vector<std::int64_t> component_nodes;
    std::vector<std::int64_t> component_offsets{0};
    std::vector<std::int64_t> graph_components{0};
};

// InvalidInput for parameters that check_model_parameters refuses, or
// pebble labels outside the plane; std::bad_alloc or "capacity overflow"
// for a batch too large to hold.
GraphBatch make_graph_batch(const ModelParameters& model, std::uint64_t n_graphs, std::uint64_t n, std::uint64_t d,
                            std::uint64_t seed, LabelMethod method, double tol,
                            LabelArithmetic arithmetic = LabelArithmetic::orthogonal);

}  // namespace tarvel
