#include "graph/redundant_rigidity.hpp"

#include <algorithm>

#include "numeric/fault.hpp"
#include "graph/generic_rigidity.hpp"
#include "graph/graph.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

// Marks the accepted edges of the smallest tight set the last gather found:
// with the rejected edge they make its fundamental circuit.
std::uint64_t mark_closure_edges(PebbleDigraph& digraph, std::vector<std::uint8_t>& in_circuit) {
    std::uint64_t newly_marked = 0;
    for (const std::uint64_t node : digraph.closure()) {
        for (const PebbleDigraph::Arc& arc : digraph.out_arcs(node)) {
            const std::uint64_t edge = digraph.edge_of(arc);
            if (in_circuit[edge] == 0) {
                in_circuit[edge] = 1;
                ++newly_marked;
            }
        }
    }
    return newly_marked;
}

}  // namespace

CircuitMembership find_edges_in_circuits(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k,
                                         std::uint64_t l, KLPebbleGame& game) {
    check_edges(n, edges);
    CircuitMembership result;
    result.labels.assign(edges.size(), 0);
    result.in_circuit.assign(edges.size(), 0);
    PebbleDigraph& digraph = game.digraph();
    // While the graph is not yet tight, a rejected edge's circuit is read
    // from the search that rejected it, where free pebbles lie close by.
    game.start_uncondensed(n, k, l);
    std::uint64_t accepted = 0, marked_accepted = 0;
    std::size_t e = 0;
    for (; e < edges.size() && !game.whole_graph_tight(); ++e) {
        check_interrupt();
        if (game.offer(edges[e], e)) {
            result.labels[e] = 1;
            ++accepted;
        } else {
            result.in_circuit[e] = 1;
            marked_accepted += mark_closure_edges(digraph, result.in_circuit);
        }
    }
    result.is_rigid = checked_product(k, n) <= l + accepted;
    // Every later edge is rejected; its circuit needs l pebbles gathered
    // on its ends, a search over the tight graph, so stop once every
    // accepted edge is marked.
    const std::size_t tight_at = e;
    for (; e < edges.size(); ++e) result.in_circuit[e] = 1;
    for (e = tight_at; e < edges.size() && marked_accepted < accepted; ++e) {
        check_interrupt();
        if (digraph.gather(edges[e].i, edges[e].j, l + 1) > l) {
            raise_fault("circuits: a rejected edge has independent ends in the final pebble state");
        }
        marked_accepted += mark_closure_edges(digraph, result.in_circuit);
    }
    return result;
}

bool is_redundantly_rigid_in_plane(std::uint64_t n, std::span<const Pair> edges) {
    // Rigidity first: the counts and the condensed game settle most graphs
    // at a fraction of the cost of the circuits.
    if (n >= 2 && !is_generically_rigid(n, edges, 2, 0)) return false;
    KLPebbleGame game;
    const CircuitMembership circuits = find_edges_in_circuits(n, edges, 2, 3, game);
    return circuits.is_rigid &&
           std::all_of(circuits.in_circuit.begin(), circuits.in_circuit.end(), [](std::uint8_t in) { return in == 1; });
}

}  // namespace tarvel
