// The (2,3) pebble game on the complete graph in the plane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "node.hpp"

namespace tarvel {

enum class MoveKind : std::uint8_t { Taken, Gained, Reversed };

struct PebbleMove {
    MoveKind kind;
    std::size_t node;
    std::size_t to;  // only for Reversed
    friend bool operator==(const PebbleMove&, const PebbleMove&) = default;
};

struct PebbleOutcome {
    std::vector<std::uint8_t> labels;  // one per candidate pair
    std::vector<Pair> accepted_edges;
};

// Plays the game over the candidate pairs of n nodes.
PebbleOutcome play_pebble_game(std::uint64_t n);

}  // namespace tarvel
