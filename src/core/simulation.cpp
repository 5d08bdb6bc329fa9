#include "simulation.hpp"

#include <algorithm>

#include "fault.hpp"
#include "rank.hpp"
#include "rigidity.hpp"
#include "rng.hpp"

namespace tarvel {

namespace {

// Rows span n*dim columns; every node shares node 0's dimension (a row of a
// node of another dimension is an internal fault). Reuses the checker's
// storage; nothing of its previous pass survives.
void prepare_checker(IncrementalRankChecker& checker, const NodeList& nodes, double tol,
                     std::uint64_t expected_rank) {
    const std::uint64_t dim = nodes.empty() ? 0 : nodes.front().position.size();
    const std::uint64_t ncols = checked_product(nodes.size(), dim);
    checker.reset(ncols, tol);
    // No row can be independent of ncols others, so that caps the basis.
    checker.reserve_rows(std::min(expected_rank, ncols));
}

// Offers bars to a checker by their few non-zero entries, without building
// a dense row per bar.
class BarOffer {
public:
    BarOffer(IncrementalRankChecker& checker, const NodeList& nodes)
        : checker_(checker), nodes_(nodes), dim_(nodes.empty() ? 0 : nodes.front().position.size()) {}
    bool operator()(const Pair& bar) {
        rigidity_row_entries(nodes_, bar.i, bar.j, entries_);
        // A dense row of another dimension would not fit the checker; a
        // sparse one might, in the wrong columns.
        require_equal(entries_.size(), 2 * dim_, "Nodes must all have the same dimension");
        return checker_.add_row_entries(entries_);
    }

private:
    IncrementalRankChecker& checker_;
    const NodeList& nodes_;
    std::uint64_t dim_;
    std::vector<RowEntry> entries_;
};

PassOutcome full_pass_with(IncrementalRankChecker& checker, const NodeList& nodes, std::span<const Pair> pairs,
                           double tol, std::uint64_t max_rank) {
    const std::uint64_t expected_rank = std::min<std::uint64_t>(max_rank, pairs.size());
    PassOutcome pass;
    reserve_checked(pass.labels, pairs.size());
    reserve_checked(pass.accepted_edges, expected_rank);
    prepare_checker(checker, nodes, tol, expected_rank);
    BarOffer offer(checker, nodes);
    for (const Pair& bar : pairs) {
        const bool independent = offer(bar);
        pass.labels.push_back(independent ? 1 : 0);
        if (independent) pass.accepted_edges.push_back(bar);
        if (checker.rank() == max_rank) break;
    }
    pass.labels.resize(pairs.size(), 0);  // bars after the stop are redundant
    pass.final_rank = checker.rank();
    return pass;
}

SimulationResult run_simulation_with(IncrementalRankChecker& checker, const NodeList& nodes, std::uint64_t d,
                                     double tol) {
    check_node_list(nodes, d);
    SimulationResult result;
    result.n_nodes = nodes.size();
    result.d = d;
    result.max_rank = max_rank_for(result.n_nodes, d);
    // Every candidate pair is an edge whether or not the pass stops early, so
    // the candidate list itself is the edge list.
    result.edges = make_candidate_pairs(result.n_nodes);

    PassOutcome pass = full_pass_with(checker, nodes, result.edges, tol, result.max_rank);
    result.labels = std::move(pass.labels);
    result.accepted_edges = std::move(pass.accepted_edges);
    result.final_rank = pass.final_rank;

    result.distance_matrix = euclidean_distance_matrix(nodes);
    result.is_rigid = result.final_rank == result.max_rank;
    return result;
}

}  // namespace

std::uint64_t rank_of_pairs(const NodeList& nodes, std::span<const Pair> pairs, double tol) {
    IncrementalRankChecker checker(0, tol);
    prepare_checker(checker, nodes, tol, pairs.size());
    BarOffer offer(checker, nodes);
    for (const Pair& bar : pairs) offer(bar);
    return checker.rank();
}

PassOutcome full_pass(const NodeList& nodes, std::span<const Pair> pairs, double tol,
                      std::uint64_t max_rank) {
    IncrementalRankChecker checker(0, tol);
    return full_pass_with(checker, nodes, pairs, tol, max_rank);
}

SimulationResult run_simulation(const NodeList& nodes, std::uint64_t d, double tol) {
    IncrementalRankChecker checker(0, tol);
    return run_simulation_with(checker, nodes, d, tol);
}

std::vector<SimulationResult> simulate_batch(std::uint64_t seed, std::uint64_t n_graphs, std::uint64_t n_nodes,
                                             std::uint64_t d, double tol) {
    std::vector<SimulationResult> records;
    reserve_checked(records, n_graphs);
    // One checker's storage serves every graph: all graphs have one size.
    IncrementalRankChecker checker(0, tol);
    for (std::uint64_t k = 0; k < n_graphs; ++k) {
        const NodeList nodes = random_node_list(seed, k, n_nodes, d);
        records.push_back(run_simulation_with(checker, nodes, d, tol));
    }
    return records;
}

}  // namespace tarvel
