#include "graph/reduction.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "graph/graph.hpp"
#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

// Renumbers through a table of n entries: linear, for n of the order of m.
void compact_by_table(std::uint64_t n, std::span<const Pair> edges, CompactGraph& out) {
    std::vector<std::uint64_t> number(checked_count(n, sizeof(std::uint64_t)), 0);
    for (const Pair& edge : edges) number[edge.i] = number[edge.j] = 1;
    for (std::uint64_t v = 0; v < n; ++v) {
        if (number[v] == 0) continue;
        number[v] = out.nodes.size();
        out.nodes.push_back(v);
    }
    for (std::size_t k = 0; k < edges.size(); ++k) out.edges[k] = Pair{number[edges[k].i], number[edges[k].j]};
}

// Renumbers through the sorted ends: no storage per node, for n far above m.
void compact_by_sorting(std::span<const Pair> edges, CompactGraph& out) {
    reserve_checked(out.nodes, checked_product(edges.size(), 2));
    for (const Pair& edge : edges) {
        out.nodes.push_back(edge.i);
        out.nodes.push_back(edge.j);
    }
    std::sort(out.nodes.begin(), out.nodes.end());
    out.nodes.erase(std::unique(out.nodes.begin(), out.nodes.end()), out.nodes.end());
    out.nodes.shrink_to_fit();
    const auto number = [&](std::uint64_t v) {
        return static_cast<std::uint64_t>(std::lower_bound(out.nodes.begin(), out.nodes.end(), v) - out.nodes.begin());
    };
    for (std::size_t k = 0; k < edges.size(); ++k) out.edges[k] = Pair{number(edges[k].i), number(edges[k].j)};
}

// The distinct node pairs of the bars: pair_of[bar], and per pair its first bar.
struct DistinctPairs {
    std::vector<Pair> pairs;  // i < j
    std::vector<std::uint64_t> first_bar;
    std::vector<std::uint64_t> pair_of;
};

DistinctPairs distinct_pairs(std::span<const Pair> edges) {
    const auto key = [&](std::uint64_t bar) {
        const Pair& e = edges[bar];
        return e.i < e.j ? e : Pair{e.j, e.i};
    };
    std::vector<std::uint64_t> order(checked_count(edges.size(), sizeof(std::uint64_t)));
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    std::sort(order.begin(), order.end(), [&](std::uint64_t a, std::uint64_t b) {
        const Pair ka = key(a), kb = key(b);
        if (ka.i != kb.i) return ka.i < kb.i;
        return ka.j != kb.j ? ka.j < kb.j : a < b;
    });
    DistinctPairs out;
    out.pair_of.resize(edges.size());
    for (std::size_t place = 0; place < order.size(); ++place) {
        const std::uint64_t bar = order[place];
        if (place == 0 || !(key(bar) == key(order[place - 1]))) {
            out.pairs.push_back(key(bar));
            out.first_bar.push_back(bar);  // the smallest place of its group
        }
        out.pair_of[bar] = out.pairs.size() - 1;
    }
    return out;
}

// Pairs incident to each node: incident[start[v] .. start[v + 1]).
struct Incidence {
    std::vector<std::uint64_t> start, incident;

    Incidence(std::uint64_t nodes, std::span<const Pair> pairs) : start(nodes + 1, 0), incident(2 * pairs.size()) {
        for (const Pair& p : pairs) {
            ++start[p.i + 1];
            ++start[p.j + 1];
        }
        std::partial_sum(start.begin(), start.end(), start.begin());
        std::vector<std::uint64_t> cursor(start.begin(), start.end() - 1);
        for (std::size_t p = 0; p < pairs.size(); ++p) {
            incident[cursor[pairs[p].i]++] = p;
            incident[cursor[pairs[p].j]++] = p;
        }
    }
    std::uint64_t degree(std::uint64_t v) const { return start[v + 1] - start[v]; }
};

// Per pair: 1 when peeled. Nodes of degree <= d go, with their pairs, until none is left.
std::vector<std::uint8_t> peel(std::uint64_t nodes, std::span<const Pair> pairs, std::uint64_t d) {
    const Incidence incidence(nodes, pairs);
    std::vector<std::uint64_t> degree(nodes);
    std::vector<std::uint64_t> queue;
    for (std::uint64_t v = 0; v < nodes; ++v) {
        degree[v] = incidence.degree(v);
        if (degree[v] <= d) queue.push_back(v);
    }
    std::vector<std::uint8_t> peeled(pairs.size(), 0);
    // A node enters the queue once, when its degree first drops to d.
    for (std::size_t next = 0; next < queue.size(); ++next) {
        check_interrupt();
        const std::uint64_t v = queue[next];
        for (std::uint64_t k = incidence.start[v]; k < incidence.start[v + 1]; ++k) {
            const std::uint64_t p = incidence.incident[k];
            if (peeled[p]) continue;
            peeled[p] = 1;
            const std::uint64_t other = pairs[p].i == v ? pairs[p].j : pairs[p].i;
            if (degree[other]-- == d + 1) queue.push_back(other);
        }
    }
    return peeled;
}

std::uint64_t root_of(std::vector<std::uint64_t>& parent, std::uint64_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
}

// Components of the pairs that remain, numbered by their first bar in the given order.
void split_into_components(const DistinctPairs& distinct, std::span<const std::uint8_t> peeled_pair,
                           std::uint64_t nodes, GraphReduction& out) {
    std::vector<std::uint64_t> parent(nodes);
    std::iota(parent.begin(), parent.end(), std::uint64_t{0});
    std::vector<std::uint8_t> kept_node(nodes, 0);
    for (std::size_t p = 0; p < distinct.pairs.size(); ++p) {
        if (peeled_pair[p]) continue;
        const Pair& pair = distinct.pairs[p];
        kept_node[pair.i] = kept_node[pair.j] = 1;
        const std::uint64_t a = root_of(parent, pair.i), b = root_of(parent, pair.j);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
    std::vector<std::uint64_t> number(nodes, kNone);  // per root
    const std::size_t m = distinct.pair_of.size();
    out.component.assign(m, kPeeled);
    std::vector<std::uint64_t> sizes;
    for (std::size_t bar = 0; bar < m; ++bar) {
        const std::uint64_t p = distinct.pair_of[bar];
        if (peeled_pair[p]) continue;
        const std::uint64_t root = root_of(parent, distinct.pairs[p].i);
        if (number[root] == kNone) {
            number[root] = sizes.size();
            sizes.push_back(0);
        }
        out.component[bar] = number[root];
        ++sizes[number[root]];
    }
    out.component_nodes.assign(sizes.size(), 0);
    for (std::uint64_t v = 0; v < nodes; ++v) {
        if (kept_node[v]) ++out.component_nodes[number[root_of(parent, v)]];
    }
    out.component_offsets.assign(sizes.size() + 1, 0);
    std::partial_sum(sizes.begin(), sizes.end(), out.component_offsets.begin() + 1);
    out.component_bars.resize(out.component_offsets.back());
    std::vector<std::uint64_t> cursor(out.component_offsets.begin(), out.component_offsets.end() - 1);
    for (std::size_t bar = 0; bar < m; ++bar) {
        if (out.component[bar] != kPeeled) out.component_bars[cursor[out.component[bar]]++] = bar;
    }
}

}  // namespace

CompactGraph compact_graph(std::uint64_t n, std::span<const Pair> edges) {
    check_edges(n, edges);
    CompactGraph out;
    out.edges.resize(checked_count(edges.size(), sizeof(Pair)));
    if (n / 4 <= edges.size()) {
        compact_by_table(n, edges, out);
    } else {
        compact_by_sorting(edges, out);
    }
    return out;
}

GraphReduction reduce_graph(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d) {
    return reduce_graph(compact_graph(n, edges), d);
}

GraphReduction reduce_graph(CompactGraph graph, std::uint64_t d) {
    GraphReduction out;
    out.graph = std::move(graph);
    const std::size_t m = out.graph.edges.size();
    const std::uint64_t nodes = out.graph.node_count();
    const DistinctPairs distinct = distinct_pairs(out.graph.edges);
    const std::vector<std::uint8_t> peeled_pair = peel(nodes, distinct.pairs, d);

    out.peeled.assign(m, 0);
    for (std::size_t p = 0; p < distinct.pairs.size(); ++p) {
        if (peeled_pair[p]) out.peeled[distinct.first_bar[p]] = 1;
    }
    out.peeled_count = static_cast<std::uint64_t>(std::count(peeled_pair.begin(), peeled_pair.end(), 1));
    split_into_components(distinct, peeled_pair, nodes, out);
    return out;
}

CompactGraph subgraph(std::uint64_t n, std::span<const Pair> edges, std::span<const std::uint64_t> bars) {
    std::vector<Pair> chosen;
    reserve_checked(chosen, bars.size());
    for (const std::uint64_t bar : bars) chosen.push_back(edges[bar]);
    return compact_graph(n, chosen);
}

}  // namespace tarvel
