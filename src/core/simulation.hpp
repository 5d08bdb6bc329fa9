// The rigidity simulation: label every candidate bar of the complete graph
// independent (1) or redundant (0) until the rank reaches its maximum.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"

namespace tarvel {

struct SimulationResult {
    std::vector<Pair> edges;              // every candidate pair
    std::vector<std::uint8_t> labels;     // one per candidate pair
    std::vector<Pair> accepted_edges;     // the pairs labelled 1
    std::vector<double> distance_matrix;  // n*n, row-major
    std::uint64_t n_nodes = 0;
    std::uint64_t d = 0;
    std::uint64_t final_rank = 0;
    std::uint64_t max_rank = 0;
    bool is_rigid = false;
};

// The simulation core used by the batch: checks the node list (InternalFault),
// then one full pass over the candidate pairs, then the distance matrix.
SimulationResult run_simulation(const NodeList& nodes, std::uint64_t d, double tol);

// `run_simulation` for the n_graphs random node lists of (seed, k, n_nodes, d),
// k = 0, 1, ..., in order; record k belongs to graph k. The graphs share one
// checker's storage but nothing else. Faults as `random_node_list` and
// `run_simulation` raise them, the first ending the call.
std::vector<SimulationResult> simulate_batch(std::uint64_t seed, std::uint64_t n_graphs, std::uint64_t n_nodes,
                                             std::uint64_t d, double tol);

// Rank reached by offering the rows of `pairs`, in order and without stopping,
// to a fresh checker (the fast path of `simulate`). All nodes must share one
// dimension.
std::uint64_t rank_of_pairs(const NodeList& nodes, std::span<const Pair> pairs, double tol);

// Outcome of a full pass.
struct PassOutcome {
    std::vector<std::uint8_t> labels;  // one per offered pair
    std::vector<Pair> accepted_edges;
    std::uint64_t final_rank = 0;
};

// Labels `pairs` in order with a fresh checker, stopping (remaining labels 0,
// no rows built) once the rank reaches `max_rank`. The rank is compared only
// after a row has been tested.
PassOutcome full_pass(const NodeList& nodes, std::span<const Pair> pairs, double tol,
                      std::uint64_t max_rank);

}  // namespace tarvel
