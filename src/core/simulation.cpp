#include "simulation.hpp"

#include <algorithm>

#include "fault.hpp"
#include "rank.hpp"
#include "rigidity.hpp"
#include "rng.hpp"

namespace tarvel {

namespace {

// Labels bars with one checker whose storage, and the candidate list of the
// last node count, serve one graph after another; nothing of a previous pass
// survives into the next.
class Labeller {
public:
    // The full pass; see label_bars_in_order.
    std::uint64_t label_in_order(const NodeList& nodes, std::span<const Pair> bars, double tol,
                                 std::uint64_t max_rank, std::vector<std::uint8_t>& labels) {
        const std::size_t first = labels.size();
        reserve_checked(labels, first + bars.size());
        start_pass(nodes, tol, std::min<std::uint64_t>(max_rank, bars.size()));
        for (const Pair& bar : bars) {
            labels.push_back(offer(nodes, bar) ? 1 : 0);
            if (checker_.rank() == max_rank) break;
        }
        labels.resize(first + bars.size(), 0);  // bars after the stop are redundant
        return checker_.rank();
    }

    // The rank reached by offering every bar, whatever the answers.
    std::uint64_t rank_of(const NodeList& nodes, std::span<const Pair> bars, double tol) {
        start_pass(nodes, tol, bars.size());
        for (const Pair& bar : bars) offer(nodes, bar);
        return checker_.rank();
    }

    // The candidate pairs of n nodes, built once per node count.
    std::span<const Pair> candidate_pairs(std::uint64_t n) {
        if (pairs_.empty() || pairs_for_ != n) {
            pairs_ = make_candidate_pairs(n);
            pairs_for_ = n;
        }
        return pairs_;
    }

private:
    // Rows span n*dim columns; every node shares node 0's dimension (a row of
    // a node of another dimension is an internal fault).
    void start_pass(const NodeList& nodes, double tol, std::uint64_t expected_rank) {
        dim_ = nodes.empty() ? 0 : nodes.front().position.size();
        const std::uint64_t ncols = checked_product(nodes.size(), dim_);
        checker_.reset(ncols, tol);
        // No row can be independent of ncols others, so that caps the basis.
        checker_.reserve_rows(std::min(expected_rank, ncols));
    }

    // Offers a bar by its few non-zero entries, without building a dense row.
    bool offer(const NodeList& nodes, const Pair& bar) {
        rigidity_row_entries(nodes, bar.i, bar.j, entries_);
        // A dense row of another dimension would not fit the checker; a
        // sparse one might, in the wrong columns.
        require_equal(entries_.size(), 2 * dim_, "Nodes must all have the same dimension");
        return checker_.add_row_entries(entries_);
    }

    IncrementalRankChecker checker_{0, 0.0};
    std::uint64_t dim_ = 0;
    std::vector<RowEntry> entries_;
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

std::uint64_t label_bars_in_order(const NodeList& nodes, std::span<const Pair> bars, double tol,
                                  std::uint64_t max_rank, std::vector<std::uint8_t>& labels) {
    Labeller labeller;
    return labeller.label_in_order(nodes, bars, tol, max_rank, labels);
}

}  // namespace tarvel
