#include "graph/generic_framework.hpp"

#include <algorithm>

#include "graph/graph.hpp"
#include "graph/node_ordering.hpp"
#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/prime_field.hpp"
#include "numeric/random_stream.hpp"

namespace tarvel {

namespace field = prime_field;

namespace {

void check_dimension(std::uint64_t d) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3");
}

// The nodes that get columns: every node, or only those with bars (then
// the work does not depend on n), ascending.
std::vector<std::uint64_t> column_nodes(std::uint64_t n, std::span<const Pair> edges, bool every_node) {
    std::vector<std::uint64_t> nodes;
    if (every_node) {
        nodes.resize(checked_count(n, sizeof(std::uint64_t)));
        for (std::uint64_t v = 0; v < n; ++v) nodes[v] = v;
        return nodes;
    }
    reserve_checked(nodes, checked_product(edges.size(), 2));
    for (const Pair& edge : edges) {
        nodes.push_back(edge.i);
        nodes.push_back(edge.j);
    }
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    return nodes;
}

}  // namespace

// Blocks in the dissection order of the graph on the column nodes.
GenericFramework::Layout GenericFramework::lay_out(std::uint64_t n, std::span<const Pair> edges, bool every_node) {
    const std::vector<std::uint64_t> nodes = column_nodes(n, edges, every_node);
    const auto place = [&](std::uint64_t v) {
        return static_cast<std::uint64_t>(std::lower_bound(nodes.begin(), nodes.end(), v) - nodes.begin());
    };
    std::vector<Pair> compact;
    reserve_checked(compact, edges.size());
    for (const Pair& edge : edges) compact.push_back({place(edge.i), place(edge.j)});
    const std::vector<std::uint64_t> order = dissection_order(nodes.size(), compact);
    std::vector<std::uint64_t> block_of_place(nodes.size());
    Layout layout;
    layout.node_of_block.resize(nodes.size());
    for (std::uint64_t block = 0; block < order.size(); ++block) {
        block_of_place[order[block]] = block;
        layout.node_of_block[block] = nodes[order[block]];
    }
    reserve_checked(layout.end_blocks, checked_product(edges.size(), 2));
    for (const Pair& edge : compact) {
        layout.end_blocks.push_back(block_of_place[edge.i]);
        layout.end_blocks.push_back(block_of_place[edge.j]);
    }
    return layout;
}

std::uint64_t generic_coordinate(std::uint64_t seed, std::uint64_t node, std::uint64_t axis) {
    return splitmix64(splitmix64(splitmix64(seed) ^ node) ^ axis) >> 4;
}

GenericFramework::GenericFramework(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d,
                                   std::uint64_t seed, Options options)
    : n_(n), d_((check_dimension(d), d)), seed_(seed), options_(options),
      layout_((check_edges(n, edges), rigid_rank(n, d), lay_out(n, edges, options.columns_for_every_node))),
      echelon_(checked_product(layout_.node_of_block.size(), d), options.keep_factors || options.stresses > 0),
      labels_(checked_count(edges.size(), 1), 0) {
    const std::uint64_t full_rank = rigid_rank(layout_.node_of_block.size(), d);
    SeedSequence weight_seeds(splitmix64(seed ^ 0x5eed5eed5eedULL));
    std::vector<RandomStream> weight_streams;
    for (std::uint64_t s = 0; s < options.stresses; ++s) {
        weight_streams.emplace_back(weight_seeds);
        rejected_weights_.emplace_back(edges.size(), 0);
        gathered_.emplace_back();
    }
    for (const std::size_t k : row_order(edges)) {
        if (options.stop_at_full_rank && rank() == full_rank) break;
        offer(k, edges[k]);
        if (labels_[k] == 1) {
            basis_bars_.push_back(k);
            continue;
        }
        for (std::uint64_t s = 0; s < options.stresses; ++s) {
            const std::uint64_t weight = weight_streams[s].below(field::kPrime);
            rejected_weights_[s][k] = weight;
            std::vector<std::uint64_t>& gathered = gathered_[s];
            gathered.resize(rank(), 0);
            for (const ModularEchelon::Factor& factor : echelon_.last_factors()) {
                gathered[factor.row] = field::canonical(gathered[factor.row] + field::mul(weight, factor.value));
            }
        }
    }
}

std::vector<std::size_t> GenericFramework::row_order(std::span<const Pair> edges) const {
    std::vector<std::size_t> order(edges.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    if (!options_.rows_in_column_order) return order;
    const auto later_end = [&](std::size_t k) { return std::max(layout_.end_blocks[2 * k], layout_.end_blocks[2 * k + 1]); };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return later_end(a) < later_end(b); });
    return order;
}

std::uint64_t GenericFramework::coordinate(std::uint64_t node, std::uint64_t axis) const {
    return generic_coordinate(seed_, node, axis);
}

void GenericFramework::offer(std::size_t k, const Pair& edge) {
    check_interrupt();
    const std::uint64_t first = layout_.end_blocks[2 * k] * d_, second = layout_.end_blocks[2 * k + 1] * d_;
    for (std::uint64_t axis = 0; axis < d_; ++axis) {
        const std::uint64_t difference = field::sub(coordinate(edge.i, axis), coordinate(edge.j, axis));
        echelon_.add(first + axis, difference);
        echelon_.add(second + axis, field::sub(0, difference));
    }
    labels_[k] = echelon_.accept_offered() ? 1 : 0;
    last_rejected_ = labels_[k] == 0;
}

// The bars' weights of sum_k z_k u_k written over the basis rows, negated,
// added to `stress` (which holds the weights of the rejected bars).
std::vector<std::uint64_t> GenericFramework::stress_from(std::vector<std::uint64_t> stored_weights,
                                                         std::vector<std::uint64_t> stress) const {
    stored_weights.resize(rank(), 0);
    const std::vector<std::uint64_t> basis_weights = echelon_.accepted_combination(std::move(stored_weights));
    for (std::size_t k = 0; k < basis_bars_.size(); ++k) stress[basis_bars_[k]] = field::sub(0, basis_weights[k]);
    return stress;
}

std::vector<std::uint64_t> GenericFramework::random_stress(std::uint64_t index) const {
    if (index >= gathered_.size()) raise_fault("random_stress: no such stress was gathered");
    return stress_from(gathered_[index], rejected_weights_[index]);
}

std::vector<std::uint64_t> GenericFramework::last_bar_stress() const {
    std::vector<std::uint64_t> stress(labels_.size(), 0);
    if (!last_rejected_) return stress;
    std::vector<std::uint64_t> stored_weights(rank(), 0);
    for (const ModularEchelon::Factor& factor : echelon_.last_factors()) stored_weights[factor.row] = factor.value;
    stress.back() = 1;
    return stress_from(std::move(stored_weights), std::move(stress));
}

std::vector<std::uint64_t> GenericFramework::random_motion(RandomStream& stream) const {
    if (!options_.columns_for_every_node) raise_fault("random_motion: not every node has columns");
    const std::vector<std::uint64_t> x = echelon_.random_null_vector(stream);
    std::vector<std::uint64_t> motion(x.size());
    for (std::uint64_t block = 0; block < layout_.node_of_block.size(); ++block) {
        const std::uint64_t v = layout_.node_of_block[block];
        for (std::uint64_t axis = 0; axis < d_; ++axis) motion[v * d_ + axis] = x[block * d_ + axis];
    }
    return motion;
}

}  // namespace tarvel
