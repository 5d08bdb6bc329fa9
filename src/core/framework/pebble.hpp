// The (2,3) pebble game on the complete graph in the plane: the (k, l) game
// of graph/kl_pebble_game with k = 2, l = 3, offered the candidate pairs of
// n nodes in lexicographic order as they are made, never listed.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel {

struct PebbleOutcome {
    std::vector<std::uint8_t> labels;  // one per candidate pair, (0,1), (0,2), ...
    std::vector<Pair> accepted_edges;  // the pairs labelled 1, in candidate order
};

// Plays the game over the candidate pairs of n nodes in lexicographic order.
// Once 2n - 3 bars are accepted the whole graph is rigid and every later
// candidate is redundant. Memory beyond the labels is O(n). CapacityOverflow
// or std::bad_alloc when the labels cannot be held.
PebbleOutcome play_pebble_game(std::uint64_t n);

}  // namespace tarvel
