// Node connectivity for graphs of up to some thousands of nodes.
//
// A graph on more than three nodes is 3-connected when removing any two
// nodes leaves it connected: when G - v is connected and has no
// articulation point for every node v. Each G - v is tested with Tarjan's
// lowpoint depth-first search, O(n + m), so O(n (n + m)) in all; the
// search runs on an explicit stack, so long paths need no C stack.
#pragma once

#include <cstdint>
#include <span>

#include "graph/edge.hpp"

namespace tarvel {

// False for three nodes or fewer. Repeated edges count once.
// InvalidInput for an edge that is not a pair of distinct nodes < n.
bool is_three_connected(std::uint64_t n, std::span<const Pair> edges);

}  // namespace tarvel
