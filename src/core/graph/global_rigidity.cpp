#include "graph/global_rigidity.hpp"

#include <algorithm>

#include "graph/connectivity.hpp"
#include "numeric/fault.hpp"
#include "graph/graph.hpp"
#include "graph/redundant_rigidity.hpp"

namespace tarvel {

std::vector<Pair> distinct_bars(std::span<const Pair> edges) {
    std::vector<Pair> bars;
    bars.reserve(edges.size());
    for (const Pair& edge : edges) bars.push_back(edge.i < edge.j ? edge : Pair{edge.j, edge.i});
    std::sort(bars.begin(), bars.end(), [](const Pair& a, const Pair& b) { return a.i != b.i ? a.i < b.i : a.j < b.j; });
    bars.erase(std::unique(bars.begin(), bars.end()), bars.end());
    return bars;
}

bool is_globally_rigid_in_plane(std::uint64_t n, std::span<const Pair> edges) {
    check_edges(n, edges);
    const std::vector<Pair> bars = distinct_bars(edges);
    if (n <= 3) return bars.size() == pair_count(n);
    // Redundant rigidity needs 2n - 2 bars; test it before the slower 3-connectivity.
    if (bars.size() < 2 * n - 2) return false;
    return is_redundantly_rigid_in_plane(n, bars) && is_three_connected(n, bars);
}

}  // namespace tarvel
