// A fill-reducing order of the nodes of a graph, for eliminations whose
// columns (or rows) come in blocks, one block per node: nested dissection
// by breadth-first level sets.
//
// A connected piece is cut at a middle level of a breadth-first search from
// a far node (found by two searches): the nodes of that level with a
// neighbour in the next form the separator, which is numbered after the two
// sides, each ordered the same way in turn. Eliminating in that order
// confines fill to the separators: on geometric graphs, whose level sets are
// thin slices, the largest dense block has the size of a slice (about
// n^(2/3) nodes in space) instead of n. Pieces of at most 32 nodes, and
// pieces a search cannot cut (two levels or fewer), keep low degree first.
// O((n + m) log n) time, O(n + m) memory.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel {

// The nodes 0 .. n-1 in elimination order (a permutation). Nodes without
// edges come first. Edges are checked by the caller.
std::vector<std::uint64_t> dissection_order(std::uint64_t n, std::span<const Pair> edges);

}  // namespace tarvel
