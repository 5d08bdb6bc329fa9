#include "graph/generic_rigidity.hpp"

#include <algorithm>
#include <utility>

#include "graph/generic_rank.hpp"
#include "graph/graph.hpp"
#include "graph/kl_pebble_game.hpp"
#include "graph/reduction.hpp"
#include "numeric/fault.hpp"

namespace tarvel {

namespace {

void check_dimension(std::uint64_t d) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3");
}

// The greedy labels of one component's bars, on their own.
std::vector<std::uint8_t> component_labels(const CompactGraph& piece, std::uint64_t d, std::uint64_t seed) {
    if (d == 2) {
        std::vector<std::uint8_t> labels;
        KLPebbleGame game;
        game.play_labels(piece.node_count(), piece.edges, 2, 3, labels);
        return labels;
    }
    return generic_rigidity_labels(piece.node_count(), piece.edges, d, seed).labels;
}

// The most rank the reduction leaves room for: the peeled bars, and per
// component its bar count or the rank of a rigid graph on its nodes.
std::uint64_t rank_bound(const GraphReduction& reduction, std::uint64_t d) {
    std::uint64_t bound = reduction.peeled_count;
    for (std::uint64_t c = 0; c < reduction.component_count(); ++c) {
        bound += std::min<std::uint64_t>(reduction.bars_of(c).size(), rigid_rank(reduction.component_nodes[c], d));
    }
    return bound;
}

GenericRigidity labels_of_reduction(const GraphReduction& reduction, std::uint64_t n, std::uint64_t d,
                                    std::uint64_t seed) {
    GenericRigidity result;
    result.max_rank = rigid_rank(n, d);
    result.labels = reduction.peeled;
    result.rank = reduction.peeled_count;
    const std::uint64_t compact_n = reduction.graph.node_count();
    for (std::uint64_t c = 0; c < reduction.component_count(); ++c) {
        const std::span<const std::uint64_t> bars = reduction.bars_of(c);
        const std::vector<std::uint8_t> labels =
            component_labels(subgraph(compact_n, reduction.graph.edges, bars), d, seed);
        for (std::size_t k = 0; k < bars.size(); ++k) {
            result.labels[bars[k]] = labels[k];
            result.rank += labels[k];
        }
    }
    return result;
}

// Whether the counts alone show the graph is not rigid: too few bars, or
// (n >= 2) a node without bars.
bool too_few_bars(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d) {
    return edges.size() < rigid_rank(n, d) || (n >= 2 && n / 2 > edges.size());
}

}  // namespace

GenericRigidity generic_rigidity(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed) {
    check_dimension(d);
    rigid_rank(n, d);  // "capacity overflow" for node counts beyond reach
    return labels_of_reduction(reduce_graph(n, edges, d), n, d, seed);
}

bool is_generically_rigid(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed) {
    check_dimension(d);
    check_edges(n, edges);
    if (too_few_bars(n, edges, d)) return false;
    CompactGraph compact = compact_graph(n, edges);
    if (n >= 2 && compact.node_count() < n) return false;  // a node without bars moves freely
    const GraphReduction reduction = reduce_graph(std::move(compact), d);
    const std::uint64_t needed = rigid_rank(n, d);
    if (rank_bound(reduction, d) < needed) return false;
    return labels_of_reduction(reduction, n, d, seed).rank == needed;
}

bool is_generically_minimally_rigid(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d,
                                    std::uint64_t seed) {
    check_dimension(d);
    check_edges(n, edges);
    if (edges.size() != rigid_rank(n, d)) return false;  // a minimally rigid graph has exactly so many bars
    return is_generically_rigid(n, edges, d, seed);
}

}  // namespace tarvel
