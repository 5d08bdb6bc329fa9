// Rigidity in the plane that survives the loss of any k bars.
//
// Take any basis B of the generic rigidity matroid of a rigid graph G. If
// removing some set T of k bars leaves G flexible, the bars left hold no
// basis, so T meets B (the bars outside T would otherwise hold all of
// it): T holds a bar e of B, and G - e loses rigidity when the other
// k - 1 bars of T go. Conversely a bar e whose removal leaves a graph that
// is not (k - 1)-redundantly rigid extends to such a T. So G is
// k-redundantly rigid exactly when it is rigid and G - e is
// (k - 1)-redundantly rigid for every bar e of B: (2n - 3)^(k - 1) tests
// of redundant rigidity (one pebble game with its circuits each, see
// graph/redundant_rigidity.hpp) instead of one per set of k - 1 bars.
// Two losses are settled without most of those tests: a cocircuit of two
// bars meeting a basis in one bar shows in how many fundamental circuits
// that bar lies, so only bars shared by a few bases are tested one by one.
// A node with fewer than 2 + k bars (on more than two nodes) settles the
// question at once, at every level.
#pragma once

#include <cstdint>
#include <span>

#include "graph/edge.hpp"

namespace tarvel {

// Rigid after the removal of any k bars (k = 0: rigid, k = 1: redundantly
// rigid); a bar listed twice counts twice. A graph of at most one node is.
// InvalidInput for an edge that is not a pair of distinct nodes < n.
bool is_k_redundantly_rigid_in_plane(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k);

}  // namespace tarvel
