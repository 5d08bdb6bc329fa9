#include "graph/plane_circuit.hpp"

#include <algorithm>
#include <vector>

#include "graph/kl_pebble_game.hpp"
#include "graph/reduction.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

// Each node's place in a minimum-degree peeling: repeatedly the node with
// the fewest bars to nodes not yet peeled (bucket queue, O(n + m);
// Batagelj and Zaversnik's core ordering).
std::vector<std::uint64_t> peeling_places(const CompactGraph& graph) {
    const std::uint64_t n = graph.node_count();
    std::vector<std::uint64_t> degree(n, 0), start(n + 1, 0);
    for (const Pair& bar : graph.edges) {
        ++degree[bar.i];
        ++degree[bar.j];
    }
    for (std::uint64_t v = 0; v < n; ++v) start[v + 1] = start[v] + degree[v];
    std::vector<std::uint64_t> neighbour(start[n]), cursor(start.begin(), start.end() - 1);
    for (const Pair& bar : graph.edges) {
        neighbour[cursor[bar.i]++] = bar.j;
        neighbour[cursor[bar.j]++] = bar.i;
    }
    // Nodes sorted by degree, with where each degree's run begins.
    const std::uint64_t most = n ? *std::max_element(degree.begin(), degree.end()) : 0;
    std::vector<std::uint64_t> run(most + 2, 0), order(n), place(n);
    for (std::uint64_t v = 0; v < n; ++v) ++run[degree[v] + 1];
    for (std::uint64_t d = 0; d <= most; ++d) run[d + 1] += run[d];
    {
        std::vector<std::uint64_t> next(run.begin(), run.end() - 1);
        for (std::uint64_t v = 0; v < n; ++v) {
            place[v] = next[degree[v]]++;
            order[place[v]] = v;
        }
    }
    for (std::uint64_t at = 0; at < n; ++at) {
        const std::uint64_t v = order[at];
        for (std::uint64_t s = start[v]; s < start[v + 1]; ++s) {
            const std::uint64_t w = neighbour[s];
            if (place[w] <= at || degree[w] <= degree[v]) continue;
            // w moves to the front of its degree's run, and the run to the right by one.
            const std::uint64_t front = std::max(run[degree[w]], at + 1), swapped = order[front];
            std::swap(order[place[w]], order[front]);
            std::swap(place[w], place[swapped]);
            ++run[degree[w]];
            --degree[w];
        }
    }
    return place;
}

// The bars by the peeling place of their first-peeled end, stably.
std::vector<Pair> in_peeling_order(const CompactGraph& graph) {
    const std::vector<std::uint64_t> place = peeling_places(graph);
    const std::uint64_t n = graph.node_count();
    std::vector<std::uint64_t> start(n + 1, 0);
    const auto key = [&](const Pair& bar) { return std::min(place[bar.i], place[bar.j]); };
    for (const Pair& bar : graph.edges) ++start[key(bar) + 1];
    for (std::uint64_t p = 0; p < n; ++p) start[p + 1] += start[p];
    std::vector<Pair> ordered(graph.edges.size());
    for (const Pair& bar : graph.edges) ordered[start[key(bar)]++] = bar;
    return ordered;
}

}  // namespace

bool is_circuit_in_plane(std::uint64_t n, std::span<const Pair> edges) {
    const CompactGraph support = compact_graph(n, edges);  // checks the edges
    const std::uint64_t nodes = support.node_count();
    if (edges.empty() || edges.size() != 2 * nodes - 2) return false;
    // Any order decides it; bars of sparsely held nodes first keep the
    // searches short (about half the work of the given order on circuits
    // grown by 1-extensions).
    const std::vector<Pair> bars = in_peeling_order(support);
    KLPebbleGame game;
    game.start_uncondensed(nodes, 2, 3);
    const std::size_t last = bars.size() - 1;
    for (std::size_t e = 0; e < last; ++e) {
        check_interrupt();
        if (!game.offer(bars[e], e)) return false;  // a dependent proper subset
    }
    // 2n' - 3 bars accepted make the whole support tight: the last is rejected.
    if (game.offer(bars[last], last)) return false;
    return game.digraph().closure().size() == nodes;
}

}  // namespace tarvel
