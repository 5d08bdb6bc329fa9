// Graphs given by an edge list: nodes 0 .. n-1 and bars (i, j) in a given
// order, the input of every rigidity question asked of a graph that is not
// complete.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel {

// The rank of the rigidity matrix of a rigid framework on n nodes in d
// dimensions: n*d - d(d+1)/2 for n >= d, and n(n-1)/2 (every bar of a
// simplex) below. "capacity overflow" when it does not fit 64 bits.
std::uint64_t rigid_rank(std::uint64_t n, std::uint64_t d);

// The same count as the simulations of the complete graph report it: the
// formula n*d - d(d+1)/2 for every n, computed exactly and clamped to
// 0 .. 2^64-1 (0 for one node, where rigid_rank is 0 too; below d nodes the
// formula falls short of rigid_rank).
std::uint64_t max_rank_for(std::uint64_t n, std::uint64_t d);

// InvalidInput naming the first edge whose end is not a node (>= n) or
// that joins a node to itself. Repeated edges are allowed.
void check_edges(std::uint64_t n, std::span<const Pair> edges);

// The edges given as rows (i, j) of signed integers, flat, checked as
// check_edges does (a negative end is outside the nodes too). Reads each
// value once, so the rows may be memory others can write.
std::vector<Pair> edges_from_rows(std::span<const std::int64_t> rows, std::uint64_t n);

}  // namespace tarvel
