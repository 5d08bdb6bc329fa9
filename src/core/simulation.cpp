#include "simulation.hpp"

#include <algorithm>

#include "bar_labels.hpp"
#include "fault.hpp"
#include "rng.hpp"

namespace tarvel {

namespace {

// The labeller of the simulation, and the candidate list of the last node
// count: both serve one graph after another.
class Labeller : public BarLabeller {
public:
    // The candidate pairs of n nodes, built once per node count.
    std::span<const Pair> candidate_pairs(std::uint64_t n) {
        if (pairs_.empty() || pairs_for_ != n) {
            pairs_ = make_candidate_pairs(n);
            pairs_for_ = n;
        }
        return pairs_;
    }

private:
    std::vector<Pair> pairs_;
    std::uint64_t pairs_for_ = 0;
};

SimulationResult simulate_with(Labeller& labeller, const NodeList& nodes, std::uint64_t d, double tol) {
    check_node_list(nodes, d);
    SimulationResult result;
    result.n_nodes = nodes.size();
    result.d = d;
    result.max_rank = max_rank_for(result.n_nodes, d);
    const std::span<const Pair> pairs = labeller.candidate_pairs(result.n_nodes);

    // With max_rank 0 the fast path offers nothing, while the full pass still
    // tests the first bar: only the full pass decides then.
    const std::span<const Pair> fast_pairs = pairs.first(std::min<std::uint64_t>(result.max_rank, pairs.size()));
    if (result.max_rank > 0 && labeller.rank_of(nodes, fast_pairs, tol) == result.max_rank) {
        result.labels.assign(pairs.size(), 0);
        std::fill_n(result.labels.begin(), fast_pairs.size(), std::uint8_t{1});
        result.final_rank = result.max_rank;
    } else {
        result.final_rank = labeller.label_in_order(nodes, pairs, tol, result.max_rank, result.labels);
    }
    result.distance_matrix = euclidean_distance_matrix(nodes);
    return result;
}

}  // namespace

SimulationResult run_simulation(const NodeList& nodes, std::uint64_t d, double tol) {
    Labeller labeller;
    return simulate_with(labeller, nodes, d, tol);
}

std::vector<SimulationResult> simulate_batch(std::uint64_t seed, std::uint64_t n_graphs, std::uint64_t n_nodes,
                                             std::uint64_t d, double tol) {
    std::vector<SimulationResult> records;
    reserve_checked(records, n_graphs);
    Labeller labeller;  // every graph has one size: one graph's working set serves them all
    for (std::uint64_t k = 0; k < n_graphs; ++k) {
        const NodeList nodes = random_node_list(seed, k, n_nodes, d);
        records.push_back(simulate_with(labeller, nodes, d, tol));
    }
    return records;
}

}  // namespace tarvel
