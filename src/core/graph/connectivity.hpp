// Node connectivity: whether a graph is 3-connected, in time linear in its
// size, for graphs of millions of nodes.
//
// A graph on more than three nodes is 3-connected when no two nodes
// separate it. The test is Hopcroft and Tarjan's search for separation
// pairs in a palm tree (with Gutwenger and Mutzel's corrections), reduced
// to the yes/no question: the first separation pair found answers it, so
// the graph is never split. Every depth-first search runs on an explicit
// stack, so long paths need no C stack.
#pragma once

#include <cstdint>
#include <span>

#include "graph/edge.hpp"

namespace tarvel {

// False for three nodes or fewer. Repeated edges count once. O(n + m).
// InvalidInput for an edge that is not a pair of distinct nodes < n.
bool is_three_connected(std::uint64_t n, std::span<const Pair> edges);

}  // namespace tarvel
