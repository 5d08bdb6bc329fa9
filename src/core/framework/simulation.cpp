#include "framework/simulation.hpp"

#include <algorithm>

#include "framework/bar_labels.hpp"
#include "numeric/fault.hpp"
#include "framework/batch_rng.hpp"

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

private:
    std::uint64_t n_, count_;
};

// The bar labeller run over the complete graph's candidates; its storage
// serves one graph after another.
class Labeller : public BarLabeller {
public:
    SimulationResult label_graph(const NodeList& nodes, std::uint64_t d, double tol);
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
SimulationResult Labeller::label_graph(const NodeList& nodes, std::uint64_t d, double tol) {
    check_node_list(nodes, d);
    SimulationResult result;
    result.n_nodes = nodes.size();
    result.d = d;
    result.max_rank = max_rank_for(result.n_nodes, d);
    const std::uint64_t pairs = pair_count(result.n_nodes);
    const std::uint64_t fast_pairs = std::min(result.max_rank, pairs);
    reserve_checked(result.labels, pairs);

    start_pass(nodes, tol, fast_pairs);
    const CandidatePairs candidates(result.n_nodes, pairs);
    auto next = label_until(nodes, candidates.begin(), CandidatePairs(result.n_nodes, fast_pairs).end(), kNoStop,
                            result.labels);
    if (result.max_rank == 0 || rank() < result.max_rank) {
        label_until(nodes, next, candidates.end(), result.max_rank, result.labels);
    }
    result.labels.resize(pairs, 0);  // bars after the stop are redundant
    result.final_rank = rank();
    return result;
}
}  // namespace

SimulationResult run_simulation(const NodeList& nodes, std::uint64_t d, double tol) {
    SimulationResult result = [&] {
        Labeller labeller;  // its basis is gone before the distances take its place
        return labeller.label_graph(nodes, d, tol);
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
        records.push_back(labeller.label_graph(nodes, d, tol));
        records.back().distance_matrix = euclidean_distance_matrix(nodes);
    }
    return records;
}

}  // namespace tarvel
