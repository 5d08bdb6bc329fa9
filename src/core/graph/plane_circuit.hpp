// Whether a set of bars is a circuit of the generic rigidity matroid in
// the plane, by one (2, 3) pebble game.
//
// A circuit is dependent and every proper subset of it independent. So
// when the bars are offered in order, the first one rejected must be the
// last, and the fundamental circuit it closes, which is then the only
// circuit among the bars, must hold every bar. That circuit is the last
// bar with the accepted bars inside the smallest tight set holding its
// ends, which the rejecting search of an uncondensed game lists (its
// closure): every bar is in it exactly when every node that carries a bar
// is. A plane circuit on n' nodes has 2n' - 2 bars, which settles most
// other sets by their count alone.
#pragma once

#include <cstdint>
#include <span>

#include "graph/edge.hpp"

namespace tarvel {

// False for no bars; nodes without bars do not matter. InvalidInput for an
// edge that is not a pair of distinct nodes < n. O(m log m) for the
// renumbering, then one pebble game that stops at its first rejection.
bool is_circuit_in_plane(std::uint64_t n, std::span<const Pair> edges);

}  // namespace tarvel
