#include "simulation.hpp"

#include <algorithm>

#include "fault.hpp"
#include "rank.hpp"
#include "rigidity.hpp"

namespace tarvel {

namespace {

// Rows span n*dim columns; every node shares node 0's dimension (a row of a
// node of another dimension is an internal fault).
IncrementalRankChecker checker_for(const NodeList& nodes, double tol, std::uint64_t expected_rank) {
    const std::uint64_t dim = nodes.empty() ? 0 : nodes.front().position.size();
    const std::uint64_t ncols = checked_product(nodes.size(), dim);
    IncrementalRankChecker checker(ncols, tol);
    // No row can be independent of ncols others, so that caps the basis.
    checker.reserve_rows(std::min(expected_rank, ncols));
    return checker;
}

bool offer(IncrementalRankChecker& checker, const NodeList& nodes, const Pair& bar) {
    return checker.add_row(RigidityRow(nodes, bar.i, bar.j).entries);
}

}  // namespace

std::uint64_t rank_of_pairs(const NodeList& nodes, std::span<const Pair> pairs, double tol) {
    IncrementalRankChecker checker = checker_for(nodes, tol, pairs.size());
    for (const Pair& bar : pairs) offer(checker, nodes, bar);
    return checker.rank();
}

PassOutcome full_pass(const NodeList& nodes, std::span<const Pair> pairs, double tol,
                      std::uint64_t max_rank) {
    const std::uint64_t expected_rank = std::min<std::uint64_t>(max_rank, pairs.size());
    PassOutcome pass;
    reserve_checked(pass.labels, pairs.size());
    reserve_checked(pass.accepted_edges, expected_rank);
    IncrementalRankChecker checker = checker_for(nodes, tol, expected_rank);
    for (const Pair& bar : pairs) {
        const bool independent = offer(checker, nodes, bar);
        pass.labels.push_back(independent ? 1 : 0);
        if (independent) pass.accepted_edges.push_back(bar);
        if (checker.rank() == max_rank) break;
    }
    pass.labels.resize(pairs.size(), 0);  // bars after the stop are redundant
    pass.final_rank = checker.rank();
    return pass;
}

SimulationResult run_simulation(const NodeList& nodes, std::uint64_t d, double tol) {
    check_node_list(nodes, d);
    SimulationResult result;
    result.n_nodes = nodes.size();
    result.d = d;
    result.max_rank = max_rank_for(result.n_nodes, d);
    // Every candidate pair is an edge whether or not the pass stops early, so
    // the candidate list itself is the edge list.
    result.edges = make_candidate_pairs(result.n_nodes);

    PassOutcome pass = full_pass(nodes, result.edges, tol, result.max_rank);
    result.labels = std::move(pass.labels);
    result.accepted_edges = std::move(pass.accepted_edges);
    result.final_rank = pass.final_rank;

    result.distance_matrix = euclidean_distance_matrix(nodes);
    result.is_rigid = result.final_rank == result.max_rank;
    return result;
}

}  // namespace tarvel
