#include "simulation.hpp"

#include <algorithm>

#include "fault.hpp"
#include "rank.hpp"
#include "rigidity.hpp"
#include "rng.hpp"

namespace tarvel {

namespace {

// The first `count` candidate pairs of n nodes, (0,1), (0,2), ..., made one
// at a time as a pass reads them: a pass over the complete graph holds no
// list of its n(n-1)/2 pairs.
class CandidatePairs {
public:
    CandidatePairs(std::uint64_t n, std::uint64_t count) : n_(n), count_(count) {}

    class iterator {
    public:
        iterator(std::uint64_t n, std::uint64_t place) : n_(n), place_(place) {}
        Pair operator*() const { return pair_; }
        iterator& operator++() {
            ++place_;
            if (++pair_.j == n_) pair_ = Pair{pair_.i + 1, pair_.i + 2};
            return *this;
        }
        bool operator!=(const iterator& other) const { return place_ != other.place_; }

    private:
        std::uint64_t n_, place_;
        Pair pair_{0, 1};
    };

    iterator begin() const { return iterator(n_, 0); }
    iterator end() const { return iterator(n_, count_); }
    std::uint64_t size() const { return count_; }

private:
    std::uint64_t n_, count_;
};

// Labels bars with one checker whose storage serves one graph after another;
// nothing of a previous pass survives into the next.
class Labeller {
public:
    // Rows span n*dim columns, a node's dim side by side; every node shares
    // node 0's dimension (a row of a node of another dimension is an
    // internal fault).
    void start_pass(const NodeList& nodes, double tol, std::uint64_t expected_rank) {
        dim_ = nodes.empty() ? 0 : nodes.front().position.size();
        const std::uint64_t ncols = checked_product(nodes.size(), dim_);
        checker_.reset(ncols, tol, std::max<std::uint64_t>(dim_, 1));
        // No row can be independent of ncols others, so that caps the basis.
        checker_.reserve_rows(std::min(expected_rank, ncols));
    }

    // Offers the bars of [bar, end) in order, appending a label for each,
    // until a row brings the rank to `stop_rank`; returns where it stopped.
    template <class Iterator>
    Iterator label(const NodeList& nodes, Iterator bar, Iterator end, std::uint64_t stop_rank,
                   std::vector<std::uint8_t>& labels) {
        while (bar != end) {
            labels.push_back(offer(nodes, *bar) ? 1 : 0);
            ++bar;
            if (checker_.rank() == stop_rank) break;
        }
        return bar;
    }

    std::uint64_t rank() const { return checker_.rank(); }

private:
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
};

constexpr std::uint64_t kNoStop = ~std::uint64_t{0};  // a rank no pass reaches

// The labels and ranks of one simulation; the distance matrix is left to the
// caller, to be made once the rank passes' storage can be let go.
//
// The fast path offers the first min(max_rank, pairs) candidates whatever
// the answers. If they reach max_rank, every one was accepted and the rest
// are redundant. If not, the rank never reached max_rank on the way, so the
// full pass would have offered the same rows to a fresh checker, given the
// same answers and reached the same state: it goes on from there. (With
// max_rank 0 the fast path offers nothing and the full pass tests the first
// bar.)
SimulationResult label_graph(Labeller& labeller, const NodeList& nodes, std::uint64_t d, double tol) {
    check_node_list(nodes, d);
    SimulationResult result;
    result.n_nodes = nodes.size();
    result.d = d;
    result.max_rank = max_rank_for(result.n_nodes, d);
    const std::uint64_t pairs = pair_count(result.n_nodes);
    const std::uint64_t fast_pairs = std::min(result.max_rank, pairs);
    reserve_checked(result.labels, pairs);

    labeller.start_pass(nodes, tol, fast_pairs);
    const CandidatePairs candidates(result.n_nodes, pairs);
    auto next = labeller.label(nodes, candidates.begin(), CandidatePairs(result.n_nodes, fast_pairs).end(), kNoStop,
                               result.labels);
    if (result.max_rank == 0 || labeller.rank() < result.max_rank) {
        labeller.label(nodes, next, candidates.end(), result.max_rank, result.labels);
    }
    result.labels.resize(pairs, 0);  // bars after the stop are redundant
    result.final_rank = labeller.rank();
    return result;
}
}  // namespace

SimulationResult run_simulation(const NodeList& nodes, std::uint64_t d, double tol) {
    SimulationResult result = [&] {
        Labeller labeller;  // its basis is gone before the distances take its place
        return label_graph(labeller, nodes, d, tol);
    }();
    result.distance_matrix = euclidean_distance_matrix(nodes);
    return result;
}

std::vector<SimulationResult> simulate_batch(std::uint64_t seed, std::uint64_t n_graphs, std::uint64_t n_nodes,
                                             std::uint64_t d, double tol) {
    std::vector<SimulationResult> records;
    reserve_checked(records, n_graphs);
    Labeller labeller;  // every graph has one size: one graph's working set serves them all
    for (std::uint64_t k = 0; k < n_graphs; ++k) {
        const NodeList nodes = random_node_list(seed, k, n_nodes, d);
        records.push_back(label_graph(labeller, nodes, d, tol));
        records.back().distance_matrix = euclidean_distance_matrix(nodes);
    }
    return records;
}

std::uint64_t label_bars_in_order(const NodeList& nodes, std::span<const Pair> bars, double tol,
                                  std::uint64_t max_rank, std::vector<std::uint8_t>& labels) {
    const std::size_t first = labels.size();
    reserve_checked(labels, first + bars.size());
    Labeller labeller;
    labeller.start_pass(nodes, tol, std::min<std::uint64_t>(max_rank, bars.size()));
    labeller.label(nodes, bars.begin(), bars.end(), max_rank, labels);
    labels.resize(first + bars.size(), 0);  // bars after the stop are redundant
    return labeller.rank();
}

}  // namespace tarvel
