// The rigidity simulation: label every candidate bar of the complete graph
// independent (1) or redundant (0) until the rank reaches its maximum.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "framework/node.hpp"

namespace tarvel {

// One simulation's outcome: everything its result dictionary holds (the
// accepted edges are the candidate pairs labelled 1).
struct SimulationResult {
    std::uint64_t n_nodes = 0;
    std::uint64_t d = 0;
    std::vector<std::uint8_t> labels;     // one per candidate pair, in candidate order
    std::vector<double> distance_matrix;  // n*n, row-major
    std::uint64_t final_rank = 0;
    std::uint64_t max_rank = 0;
};

// The simulation of `nodes` in d dimensions, as `simulate` and every graph of
// a batch run it: the fast path, then the full pass only if the fast path fell
// short, then the distance matrix. The fast path offers the first max_rank
// candidates (the bars at the first d nodes) without looking at the answers;
// if they reach max_rank they are exactly the bars the full pass would accept
// before stopping. The candidates are made as they are offered, and the rank
// test's storage is released before the distance matrix is made: the peak is
// the basis and the labels, or the labels and the distances. InternalFault for
// the node lists check_node_list refuses.
SimulationResult run_simulation(const NodeList& nodes, std::uint64_t d, double tol);

// `run_simulation` for the n_graphs random node lists of (seed, k, n_nodes, d),
// k = 0, 1, ..., in order; record k belongs to graph k. Besides the records,
// only one graph's working set is held at a time. Faults as
// `random_node_list` and `run_simulation` raise them, the first ending the
// call.
std::vector<SimulationResult> simulate_batch(std::uint64_t seed, std::uint64_t n_graphs, std::uint64_t n_nodes,
                                             std::uint64_t d, double tol);

}  // namespace tarvel
