// The (k, l) pebble game on any edge list, 0 <= l < 2k (Lee and Streinu,
// "Pebble game algorithms and sparse graphs", 2008): the edges offered in
// order are accepted exactly when the accepted ones stay (k, l)-sparse
// (every set of n' nodes spans at most k n' - l of them), so the accepted
// edges are the greedy basis of the sparsity matroid. (2, 3) is generic
// rigidity in the plane, (1, 1) spanning forests, (6, 6) body-and-bar
// frameworks in space. Edges may repeat; self-loops are refused.
//
// An edge (u, v) is accepted when l + 1 free pebbles can be gathered on u
// and v. When they cannot, the elements reachable from u and v form a
// tight set holding both; it is condensed into a body (see PebbleDigraph),
// so that later searches cross it in one step, and a later edge with both
// ends pinned to one body is rejected without a search. Once k n - l edges
// are accepted the whole graph is tight and the rest is rejected outright.
// Tight sets that no rejected edge reveals (a graph grown rigid edge by
// edge) are looked for after a long search, by probing the pair of its
// start and the node whose pebble it took. Memory is O(k n + l m): at
// most one body per edge.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"
#include "graph/pebble_digraph.hpp"
#include "graph/rigid_components.hpp"

namespace tarvel {

struct PebbleGameResult {
    std::vector<std::uint8_t> labels;  // per edge: 1 accepted, 0 rejected
    RigidComponents components;
    std::uint64_t accepted = 0;
    std::uint64_t dof = 0;  // k n - l - accepted, floored at 0
    bool is_rigid = false;  // dof == 0: the accepted edges make the whole graph tight
    bool is_minimally_rigid = false;  // rigid with every edge accepted
};

// InvalidInput unless 0 <= l < 2k.
void check_pebble_game_parameters(std::uint64_t k, std::uint64_t l);

// One game's state and scratch, reusable from graph to graph.
class KLPebbleGame {
public:
    // Plays the game over `edges` in order and finds its components.
    // InvalidInput for parameters out of range or an edge that is not a
    // pair of distinct nodes < n.
    void play(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k, std::uint64_t l,
              PebbleGameResult& result);

    // Plays the game, condensing, and gives the labels only (no components).
    void play_labels(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k, std::uint64_t l,
                     std::vector<std::uint8_t>& labels);

    // Plays the game without condensing, so that every accepted edge stays
    // an arc of digraph() for the analyses that read single edges (circuits).
    // Labels only; the same ones play() gives.
    void play_uncondensed(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k, std::uint64_t l,
                          std::vector<std::uint8_t>& labels);

    // One edge at a time, for edges made as they are offered (the complete
    // graph's candidates, never listed): start() a game on n nodes, then
    // offer() edges, numbered by `index` in offering order, which the caller
    // has checked to be pairs of distinct nodes < n. Tight sets are
    // condensed as in play().
    void start(std::uint64_t n, std::uint64_t k, std::uint64_t l);
    // The same without condensing: every accepted edge stays an arc, and
    // after a rejected offer digraph().closure() is the smallest tight set
    // holding its ends.
    void start_uncondensed(std::uint64_t n, std::uint64_t k, std::uint64_t l);
    bool offer(const Pair& edge, std::uint64_t index) { return offer_edge(edge, index); }
    // k n - l edges accepted (n >= 2): every later edge is rejected.
    bool whole_graph_tight() const { return accepted_ == tight_count_; }

    // The pebble state the last game left.
    PebbleDigraph& digraph() { return digraph_; }

private:
    std::uint64_t offer_all(std::span<const Pair> edges, std::uint64_t l, bool condense,
                            std::vector<std::uint8_t>& labels);
    void begin_offers(std::uint64_t l, bool condense);
    bool offer_edge(const Pair& edge, std::uint64_t index);

    bool probe_due();
    void probe_for_tight_set(std::uint64_t u, std::uint64_t l);

    PebbleDigraph digraph_;
    RigidComponentFinder component_finder_;
    std::uint64_t l_ = 0;
    bool condense_ = true;
    std::uint64_t accepted_ = 0;
    std::uint64_t tight_count_ = 0;
    std::uint64_t probe_spacing_ = 0;        // costly gathers skipped after the last probe that failed
    std::uint64_t gathers_until_probe_ = 0;
};

// The game on the nodes that carry edges only (graph/reduction.hpp), so
// memory is O(k m) whatever n is; components name the given nodes, and
// dof, is_rigid count all n.
PebbleGameResult play_kl_pebble_game(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k,
                                     std::uint64_t l);

}  // namespace tarvel
