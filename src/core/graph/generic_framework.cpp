#include "graph/generic_framework.hpp"

#include "graph/graph.hpp"
#include "graph/node_ordering.hpp"
#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/prime_field.hpp"
#include "numeric/random_stream.hpp"

namespace tarvel {

namespace field = prime_field;

namespace {

constexpr std::uint64_t kNoBlock = ~std::uint64_t{0};

void check_dimension(std::uint64_t d) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3");
}

// Column block per node: the dissection order, nodes without bars left out
// unless every node needs its columns.
std::vector<std::uint64_t> column_blocks(std::uint64_t n, std::span<const Pair> edges, bool every_node) {
    std::vector<std::uint8_t> has_bar(n, 0);
    for (const Pair& edge : edges) has_bar[edge.i] = has_bar[edge.j] = 1;
    std::vector<std::uint64_t> block_of(n, kNoBlock);
    std::uint64_t blocks = 0;
    for (const std::uint64_t v : dissection_order(n, edges)) {
        if (every_node || has_bar[v]) block_of[v] = blocks++;
    }
    return block_of;
}

std::uint64_t block_count(const std::vector<std::uint64_t>& block_of) {
    std::uint64_t count = 0;
    for (const std::uint64_t block : block_of) count += block != kNoBlock ? 1 : 0;
    return count;
}

}  // namespace

std::uint64_t generic_coordinate(std::uint64_t seed, std::uint64_t node, std::uint64_t axis) {
    return splitmix64(splitmix64(splitmix64(seed) ^ node) ^ axis) >> 4;
}

GenericFramework::GenericFramework(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d,
                                   std::uint64_t seed, Options options)
    : n_(n), d_((check_dimension(d), d)), seed_(seed), options_(options),
      block_of_node_((check_edges(n, edges), rigid_rank(n, d), column_blocks(n, edges, options.columns_for_every_node))),
      echelon_(checked_product(block_count(block_of_node_), d), options.keep_factors || options.stresses > 0),
      labels_(checked_count(edges.size(), 1), 0) {
    const std::uint64_t full_rank = rigid_rank(block_count(block_of_node_), d);
    SeedSequence weight_seeds(splitmix64(seed ^ 0x5eed5eed5eedULL));
    std::vector<RandomStream> weight_streams;
    for (std::uint64_t s = 0; s < options.stresses; ++s) {
        weight_streams.emplace_back(weight_seeds);
        rejected_weights_.emplace_back(edges.size(), 0);
        gathered_.emplace_back();
    }
    for (std::size_t k = 0; k < edges.size(); ++k) {
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

std::uint64_t GenericFramework::coordinate(std::uint64_t node, std::uint64_t axis) const {
    return generic_coordinate(seed_, node, axis);
}

void GenericFramework::offer(std::size_t k, const Pair& edge) {
    check_interrupt();
    const std::uint64_t first = block_of_node_[edge.i] * d_, second = block_of_node_[edge.j] * d_;
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
    for (std::uint64_t v = 0; v < n_; ++v) {
        for (std::uint64_t axis = 0; axis < d_; ++axis) motion[v * d_ + axis] = x[block_of_node_[v] * d_ + axis];
    }
    return motion;
}

}  // namespace tarvel
