#include "graph/redundant_rigidity.hpp"

#include <algorithm>

#include "numeric/fault.hpp"
#include "graph/generic_rigidity.hpp"
#include "graph/graph.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

CircuitMembership find_edges_in_circuits(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k,
                                         std::uint64_t l, KLPebbleGame& game) {
    CircuitMembership result;
    game.play_uncondensed(n, edges, k, l, result.labels);
    const auto accepted = static_cast<std::uint64_t>(std::count(result.labels.begin(), result.labels.end(), 1));
    result.is_rigid = checked_product(k, n) <= l + accepted;

    result.in_circuit.resize(edges.size());
    for (std::size_t e = 0; e < edges.size(); ++e) result.in_circuit[e] = result.labels[e] == 0 ? 1 : 0;
    std::uint64_t unmarked = accepted;
    PebbleDigraph& digraph = game.digraph();
    for (std::size_t e = 0; e < edges.size() && unmarked > 0; ++e) {
        check_interrupt();
        if (result.labels[e] == 1) continue;
        if (digraph.gather(edges[e].i, edges[e].j, l + 1) > l) {
            raise_fault("circuits: a rejected edge has independent ends in the final pebble state");
        }
        for (const std::uint64_t node : digraph.closure()) {
            for (const PebbleDigraph::Arc& arc : digraph.out_arcs(node)) {
                const std::uint64_t edge = digraph.edge_of(arc);
                if (result.in_circuit[edge] == 0) {
                    result.in_circuit[edge] = 1;
                    --unmarked;
                }
            }
        }
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
