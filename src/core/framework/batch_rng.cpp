#include "framework/batch_rng.hpp"

#include "numeric/fault.hpp"

namespace tarvel {

double GraphRng::next_fraction() {
    state_ = state_ * multiplier + increment;
    const std::uint64_t top_31_bits = state_ >> shift;
    return static_cast<double>(top_31_bits) / divisor;
}

NodeList random_node_list(std::uint64_t seed, std::uint64_t k, std::uint64_t n, std::uint64_t d) {
    // Size the whole list before drawing anything, so that an impossible
    // size fails at once rather than after generating most of it.
    checked_count(checked_product(n, d), sizeof(double));
    NodeList nodes;
    reserve_checked(nodes, n);

    GraphRng rng(seed, k);
    for (std::uint64_t i = 0; i < n; ++i) {
        Node node;
        node.index = i;
        node.position.reserve(d);
        for (std::uint64_t c = 0; c < d; ++c) {
            // Divide first, then scale: not one multiplication by 10/(2^32-1).
            node.position.push_back(rng.next_fraction() * GraphRng::coordinate_scale);
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

}  // namespace tarvel
