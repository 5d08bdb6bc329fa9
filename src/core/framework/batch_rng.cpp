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
    // Divide first, then scale: not one multiplication by 10/(2^32-1).
    assign_nodes(nodes, n, d, [&](std::uint64_t, std::uint64_t) { return rng.next_fraction() * GraphRng::coordinate_scale; });
    return nodes;
}

}  // namespace tarvel
