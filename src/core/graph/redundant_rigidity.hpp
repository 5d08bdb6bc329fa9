// Which edges lie in a circuit of the (k, l)-sparsity matroid, and with it
// redundant rigidity in the plane: a graph is redundantly rigid (rigid
// after the removal of any one edge) exactly when it is rigid and every
// edge lies in a circuit (Berg and Jordan, 2003).
//
// A rejected edge lies in its fundamental circuit, and an accepted one lies
// in a circuit exactly when it lies in the fundamental circuit of some
// rejected edge. With l pebbles gathered on the ends u, v of a rejected
// edge, the nodes reachable from them form the smallest tight set holding
// both; its accepted edges (the out-arcs of its nodes) and uv make the
// fundamental circuit. The circuit is the same for the final basis as for
// the one the edge was rejected by, so it is read from the search that
// rejects the edge, which finds free pebbles nearby; only edges offered
// after the whole graph is tight gather on the final state.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/kl_pebble_game.hpp"
#include "graph/edge.hpp"

namespace tarvel {

struct CircuitMembership {
    std::vector<std::uint8_t> labels;     // the game's labels: 1 accepted
    std::vector<std::uint8_t> in_circuit;  // per edge: 1 when it lies in some circuit
    bool is_rigid = false;                 // the accepted edges make the whole graph tight
};

// The edges of `edges` that lie in a circuit of the (k, l) matroid, found
// with `game` (its storage reused). Rejected edges are marked at once, and
// the search over fundamental circuits ends when every accepted edge is
// marked. InvalidInput as the pebble game.
CircuitMembership find_edges_in_circuits(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k,
                                         std::uint64_t l, KLPebbleGame& game);

// Rigid in the plane after the removal of any one edge: rigid (tested
// first, see graph/generic_rigidity.hpp), and every edge in a circuit of
// the (2, 3) matroid. A graph of at most one node is.
bool is_redundantly_rigid_in_plane(std::uint64_t n, std::span<const Pair> edges);

}  // namespace tarvel
