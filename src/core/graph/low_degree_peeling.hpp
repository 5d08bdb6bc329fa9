// Nodes of low degree taken off a (k, l) pebble game before it is played,
// and its components put back together afterwards, for l = 2k - 1, k >= 2
// ((2, 3) is rigidity in the plane).
//
// With l = 2k - 1 the copies of a repeated edge form a circuit of two, and
// every other circuit of the (k, l)-sparsity matroid meets each of its
// nodes in at least k + 1 distinct neighbours (take the node out: the rest
// of the circuit is sparse). So at a node with at most k distinct
// neighbours the first copy of each edge is accepted in every order and
// the later copies are rejected, and without these edges the rest of the
// graph keeps its matroid. Taking such nodes off one after another (others
// fall to k neighbours as they go) leaves the core, on which the game is
// played alone; its labels and those of the peeled edges are the game's
// labels on the whole graph.
//
// A single edge is tight, and a tight set of three or more nodes holding a
// peeled node holds exactly k of its neighbours and is tight without it.
// So the components come back node by node in the reverse order: a node
// joins the component that holds all its k neighbours when there is one
// (at most one is: components share at most one node), and otherwise each
// of its edges is a component of two nodes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"
#include "graph/rigid_components.hpp"

namespace tarvel {

// The parameters for which peeling keeps the labels and the components.
bool peeling_suits(std::uint64_t k, std::uint64_t l);

struct LowDegreePeeling {
    // Per edge: 1 or 0 for an edge at a peeled node (its label in every
    // order), kCoreEdge for an edge of the core.
    static constexpr std::uint8_t kCoreEdge = 2;
    std::vector<std::uint8_t> fate;
    // The peeled nodes in the order they were taken off, each with the
    // distinct neighbours it still had then:
    // neighbours[neighbour_offsets[p] .. neighbour_offsets[p + 1]) for order[p].
    std::vector<std::uint64_t> order;
    std::vector<std::uint64_t> neighbour_offsets{0};
    std::vector<std::uint64_t> neighbours;
    // The core: its nodes ascending, and its edges (in the given order) with
    // ends numbered by place in core_nodes; core_edge_places[c] is the place
    // of core edge c in the given list.
    std::vector<std::uint64_t> core_nodes;
    std::vector<Pair> core_edges;
    std::vector<std::uint64_t> core_edge_places;
};

// True when some node of `n` meets at most k edges: only then can a node
// have at most k distinct neighbours without repeated edges (a dense graph
// skips peeling).
bool has_low_degree_node(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k);

// Peels every node of `n` with at most k distinct neighbours, repeatedly.
// The edges are pairs of distinct nodes < n. O(n + m) time and memory.
LowDegreePeeling peel_low_degree(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k);

// The components of the whole graph from those of the core game
// (`core_components`, nodes numbered as in peeling.core_nodes) when
// peeling_suits(k, l), with `labels`
// the labels of all edges. Numbered by their first accepted edge, nodes
// ascending, with every edge's component.
void restore_peeled_components(std::uint64_t n, std::span<const Pair> edges, std::span<const std::uint8_t> labels,
                               std::uint64_t k, const LowDegreePeeling& peeling,
                               const RigidComponents& core_components, RigidComponents& out);

}  // namespace tarvel
