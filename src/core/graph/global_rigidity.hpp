// Generic global rigidity in the plane: the distances of the bars pin every
// joint down up to a rigid motion. For n >= 4 nodes a graph is generically
// globally rigid exactly when it is 3-connected and redundantly rigid
// (Hendrickson 1992; Connelly 2005; Jackson and Jordan 2005); below that,
// exactly when it is complete (K1, K2, K3).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel {

// The distinct bars of an edge list, each as (i, j) with i < j, sorted. A bar
// measured twice pins nothing more.
std::vector<Pair> distinct_bars(std::span<const Pair> edges);

// InvalidInput for an edge that is not a pair of distinct nodes < n.
// O(n (n + m)) time (the 3-connectivity test) on a rigid graph.
bool is_globally_rigid_in_plane(std::uint64_t n, std::span<const Pair> edges);

}  // namespace tarvel
