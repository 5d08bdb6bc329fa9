#include "graph/low_degree_peeling.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

struct Incident {
    std::uint64_t neighbour;
    std::uint64_t edge;
};

// Each node's incident edges in the given order: incident[start[v] ..
// start[v + 1]). Neighbours are told apart by stamps in `seen`, one per
// node and pass, so no list is sorted.
struct Adjacency {
    std::vector<std::uint64_t> start;
    std::vector<Incident> incident;
    std::vector<std::uint64_t> seen;

    Adjacency(std::uint64_t n, std::span<const Pair> edges)
        : start(checked_count(n + 1, sizeof(std::uint64_t)), 0),
          incident(checked_count(checked_product(edges.size(), 2), sizeof(Incident))) {
        for (const Pair& edge : edges) {
            ++start[edge.i + 1];
            ++start[edge.j + 1];
        }
        std::partial_sum(start.begin(), start.end(), start.begin());
        std::vector<std::uint64_t> cursor(start.begin(), start.end() - 1);
        for (std::size_t e = 0; e < edges.size(); ++e) {
            incident[cursor[edges[e].i]++] = {edges[e].j, e};
            incident[cursor[edges[e].j]++] = {edges[e].i, e};
        }
        seen.assign(n, 0);
    }

    // Counting: stamps 1 .. n; taking off: n + 1 .. 2n.
    std::uint64_t distinct_neighbours(std::uint64_t v) {
        std::uint64_t count = 0;
        for (std::uint64_t place = start[v]; place < start[v + 1]; ++place) {
            std::uint64_t& last = seen[incident[place].neighbour];
            count += last != v + 1;
            last = v + 1;
        }
        return count;
    }
    // True for the first (in the given order) of the edges from v to this neighbour.
    bool first_copy(std::uint64_t v, std::uint64_t neighbour) {
        const std::uint64_t stamp = start.size() + v;
        return std::exchange(seen[neighbour], stamp) != stamp;
    }
};

// Takes node v off: the first copy of each edge to a neighbour still there
// is accepted, later copies rejected, and the neighbours lose v.
void take_off(Adjacency& adjacency, std::uint64_t v, std::uint64_t k, std::vector<std::uint8_t>& removed,
              std::vector<std::uint64_t>& distinct, std::vector<std::uint64_t>& queue, LowDegreePeeling& out) {
    removed[v] = 1;
    for (std::uint64_t place = adjacency.start[v]; place < adjacency.start[v + 1]; ++place) {
        const Incident& at = adjacency.incident[place];
        if (removed[at.neighbour]) continue;
        const bool first_copy = adjacency.first_copy(v, at.neighbour);
        out.fate[at.edge] = first_copy ? 1 : 0;
        if (!first_copy) continue;
        out.neighbours.push_back(at.neighbour);
        // A node falls to k neighbours once; those at k or below were queued from the start.
        if (distinct[at.neighbour]-- == k + 1) queue.push_back(at.neighbour);
    }
    out.neighbour_offsets.push_back(out.neighbours.size());
}

void keep_core(std::uint64_t n, std::span<const Pair> edges, std::span<const std::uint8_t> removed,
               LowDegreePeeling& out) {
    std::vector<std::uint64_t> number(n, 0);
    for (std::uint64_t v = 0; v < n; ++v) {
        if (removed[v]) continue;
        number[v] = out.core_nodes.size();
        out.core_nodes.push_back(v);
    }
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (out.fate[e] != LowDegreePeeling::kCoreEdge) continue;
        out.core_edges.push_back({number[edges[e].i], number[edges[e].j]});
        out.core_edge_places.push_back(e);
    }
}

// The component holding both ends of `edge`, from per-node lists in
// increasing order (at most one does); -1 when none.
std::int64_t component_holding(const std::vector<std::vector<std::uint64_t>>& components_of, const Pair& edge) {
    const std::vector<std::uint64_t>* of_u = &components_of[edge.i];
    const std::vector<std::uint64_t>* of_v = &components_of[edge.j];
    if (of_u->size() > of_v->size()) std::swap(of_u, of_v);
    for (const std::uint64_t c : *of_u) {
        if (std::binary_search(of_v->begin(), of_v->end(), c)) return static_cast<std::int64_t>(c);
    }
    return -1;
}

// The component holding every one of `nodes` (at least two), or -1.
std::int64_t common_component(const std::vector<std::vector<std::uint64_t>>& components_of,
                              std::span<const std::uint64_t> nodes) {
    const auto shortest = std::min_element(nodes.begin(), nodes.end(), [&](std::uint64_t a, std::uint64_t b) {
        return components_of[a].size() < components_of[b].size();
    });
    for (const std::uint64_t c : components_of[*shortest]) {
        const bool everywhere = std::all_of(nodes.begin(), nodes.end(), [&](std::uint64_t node) {
            return std::binary_search(components_of[node].begin(), components_of[node].end(), c);
        });
        if (everywhere) return static_cast<std::int64_t>(c);
    }
    return -1;
}

}  // namespace

bool peeling_suits(std::uint64_t k, std::uint64_t l) { return k >= 2 && l == 2 * k - 1; }

bool has_low_degree_node(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k) {
    std::vector<std::uint64_t> degree(checked_count(n, sizeof(std::uint64_t)), 0);
    for (const Pair& edge : edges) {
        ++degree[edge.i];
        ++degree[edge.j];
    }
    return std::any_of(degree.begin(), degree.end(), [&](std::uint64_t d) { return d <= k; });
}

LowDegreePeeling peel_low_degree(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k) {
    LowDegreePeeling out;
    out.fate.assign(checked_count(edges.size(), 1), LowDegreePeeling::kCoreEdge);
    std::vector<std::uint8_t> removed(checked_count(n, 1), 0);
    {
        Adjacency adjacency(n, edges);
        std::vector<std::uint64_t> distinct(n);
        std::vector<std::uint64_t> queue;
        for (std::uint64_t v = 0; v < n; ++v) {
            distinct[v] = adjacency.distinct_neighbours(v);
            if (distinct[v] <= k) queue.push_back(v);
        }
        for (std::size_t next = 0; next < queue.size(); ++next) {
            if (next % 4096 == 0) check_interrupt();
            take_off(adjacency, queue[next], k, removed, distinct, queue, out);
        }
        out.order = std::move(queue);
    }
    keep_core(n, edges, removed, out);
    return out;
}

void restore_peeled_components(std::uint64_t n, std::span<const Pair> edges, std::span<const std::uint8_t> labels,
                               std::uint64_t k, const LowDegreePeeling& peeling,
                               const RigidComponents& core_components, RigidComponents& out) {
    require_equal(labels.size(), edges.size(), "one label per edge");
    // Per node, the components holding it, in increasing order: new ones
    // get the next number, and a node's own list starts when it comes back.
    std::vector<std::vector<std::uint64_t>> components_of(checked_count(n, sizeof(std::vector<std::uint64_t>)));
    std::uint64_t count = core_components.count();
    for (std::uint64_t c = 0; c < count; ++c) {
        for (std::uint64_t place = core_components.offsets[c]; place < core_components.offsets[c + 1]; ++place) {
            components_of[peeling.core_nodes[core_components.nodes[place]]].push_back(c);
        }
    }
    for (std::size_t p = peeling.order.size(); p-- > 0;) {
        if (p % 4096 == 0) check_interrupt();
        const std::uint64_t v = peeling.order[p];
        const std::span<const std::uint64_t> around(peeling.neighbours.data() + peeling.neighbour_offsets[p],
                                                    peeling.neighbour_offsets[p + 1] - peeling.neighbour_offsets[p]);
        const std::int64_t joined = around.size() == k ? common_component(components_of, around) : -1;
        if (joined >= 0) {
            components_of[v].push_back(static_cast<std::uint64_t>(joined));
            continue;
        }
        for (const std::uint64_t w : around) {
            components_of[v].push_back(count);
            components_of[w].push_back(count++);
        }
    }

    // Numbered by their first accepted edge, as the game finds them.
    constexpr std::int64_t kUnnumbered = -1;
    std::vector<std::int64_t> number(count, kUnnumbered);
    std::int64_t numbered = 0;
    out.edge_component.assign(edges.size(), -1);
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (e % 65536 == 0) check_interrupt();
        const std::int64_t c = component_holding(components_of, edges[e]);
        out.edge_component[e] = c;
        if (c >= 0 && labels[e] == 1 && number[static_cast<std::size_t>(c)] == kUnnumbered) {
            number[static_cast<std::size_t>(c)] = numbered++;
        }
    }
    if (static_cast<std::uint64_t>(numbered) != count) raise_fault("peeled game: a component without an accepted edge");
    for (std::int64_t& c : out.edge_component) {
        if (c >= 0) c = number[static_cast<std::size_t>(c)];
    }
    // Nodes in increasing order, each appended to its components in turn.
    out.offsets.assign(count + 1, 0);
    for (const std::vector<std::uint64_t>& held : components_of) {
        for (const std::uint64_t c : held) ++out.offsets[static_cast<std::size_t>(number[c]) + 1];
    }
    std::partial_sum(out.offsets.begin(), out.offsets.end(), out.offsets.begin());
    out.nodes.resize(out.offsets.back());
    std::vector<std::uint64_t> cursor(out.offsets.begin(), out.offsets.end() - 1);
    for (std::uint64_t v = 0; v < n; ++v) {
        for (const std::uint64_t c : components_of[v]) out.nodes[cursor[static_cast<std::size_t>(number[c])]++] = v;
    }
}

}  // namespace tarvel
