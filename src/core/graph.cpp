#include "graph.hpp"

#include <string>

#include "fault.hpp"

namespace tarvel {

std::uint64_t rigid_rank(std::uint64_t n, std::uint64_t d) {
    if (n < d) return pair_count(n);
    // n*d - d(d+1)/2 = d*(n - (d+1)/2), kept in integers: d(d+1)/2 <= n*d here.
    return checked_product(n, d) - d * (d + 1) / 2;
}

void check_edges(std::uint64_t n, std::span<const Pair> edges) {
    for (std::size_t k = 0; k < edges.size(); ++k) {
        const Pair& edge = edges[k];
        const std::string where = "edge " + std::to_string(k) + " (" + std::to_string(edge.i) + ", " +
                                  std::to_string(edge.j) + ")";
        if (edge.i >= n || edge.j >= n) {
            throw InvalidInput(where + " has an end outside the " + std::to_string(n) + " nodes");
        }
        if (edge.i == edge.j) throw InvalidInput(where + " is a self-loop");
    }
}

}  // namespace tarvel
