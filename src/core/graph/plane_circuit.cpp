#include "graph/plane_circuit.hpp"

#include "graph/kl_pebble_game.hpp"
#include "graph/reduction.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

bool is_circuit_in_plane(std::uint64_t n, std::span<const Pair> edges) {
    const CompactGraph support = compact_graph(n, edges);  // checks the edges
    const std::uint64_t nodes = support.node_count();
    if (edges.empty() || edges.size() != 2 * nodes - 2) return false;
    KLPebbleGame game;
    game.start_uncondensed(nodes, 2, 3);
    const std::size_t last = edges.size() - 1;
    for (std::size_t e = 0; e < last; ++e) {
        check_interrupt();
        if (!game.offer(support.edges[e], e)) return false;  // a dependent proper subset
    }
    // 2n' - 3 bars accepted make the whole support tight: the last is rejected.
    if (game.offer(support.edges[last], last)) return false;
    return game.digraph().closure().size() == nodes;
}

}  // namespace tarvel
