#include "graph/rigid_components.hpp"

#include <algorithm>
#include <numeric>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

void make_whole_graph_the_component(std::uint64_t n, RigidComponents& out) {
    out.nodes.resize(n);
    std::iota(out.nodes.begin(), out.nodes.end(), std::uint64_t{0});
    out.offsets.push_back(n);
    std::fill(out.edge_component.begin(), out.edge_component.end(), 0);
}

}  // namespace

void RigidComponentFinder::find(PebbleDigraph& digraph, std::uint64_t l, std::span<const Pair> edges,
                                std::span<const std::uint8_t> labels, RigidComponents& out) {
    const std::uint64_t n = digraph.node_count();
    require_equal(labels.size(), edges.size(), "one label per edge");
    out.offsets.assign(1, 0);
    out.nodes.clear();
    out.edge_component.assign(edges.size(), -1);

    const auto accepted = static_cast<std::uint64_t>(std::count(labels.begin(), labels.end(), 1));
    if (l > 0 && accepted > 0 && accepted == checked_product(digraph.k(), n) - l) {
        make_whole_graph_the_component(n, out);  // tight, hence connected
        return;
    }

    index_elements(digraph);
    components_of_.resize(n);
    for (std::vector<std::uint64_t>& components : components_of_) components.clear();
    for (std::size_t e = 0; e < edges.size(); ++e) {
        check_interrupt();
        if (labels[e] != 1 || component_holding(edges[e]) >= 0) continue;
        if (digraph.gather(edges[e].i, edges[e].j, l + 1) > l) continue;  // no tight set holds both ends
        ++stamp_;
        members_.clear();
        grow_component(digraph, digraph.closure());
        record_component(digraph, out);
    }
    if (l == 0) split_into_connected_pieces(edges, labels, out);
    for (std::size_t e = 0; e < edges.size(); ++e) out.edge_component[e] = component_holding(edges[e]);
}

// With l = 0 tight sets need not be connected (any union of tight sets is
// tight), so the grown sets are cut into the pieces their accepted edges
// connect; each piece spans k n' edges of its own. Pieces are renumbered
// by their first accepted edge.
void RigidComponentFinder::split_into_connected_pieces(std::span<const Pair> edges,
                                                       std::span<const std::uint8_t> labels, RigidComponents& out) {
    const std::uint64_t n = components_of_.size();
    std::vector<std::uint64_t> parent(n);
    std::iota(parent.begin(), parent.end(), std::uint64_t{0});
    auto root = [&](std::uint64_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (labels[e] == 1 && component_holding(edges[e]) >= 0) parent[root(edges[e].i)] = root(edges[e].j);
    }
    std::vector<std::int64_t> piece_of_root(n, -1);
    std::vector<std::vector<std::uint64_t>> pieces;
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (labels[e] != 1 || component_holding(edges[e]) < 0) continue;
        std::int64_t& piece = piece_of_root[root(edges[e].i)];
        if (piece < 0) {
            piece = static_cast<std::int64_t>(pieces.size());
            pieces.emplace_back();
        }
    }
    for (std::uint64_t node = 0; node < n; ++node) {
        const std::int64_t piece = piece_of_root[root(node)];
        if (piece >= 0) pieces[static_cast<std::size_t>(piece)].push_back(node);
    }
    out.offsets.assign(1, 0);
    out.nodes.clear();
    for (std::vector<std::uint64_t>& components : components_of_) components.clear();
    for (std::size_t c = 0; c < pieces.size(); ++c) {
        out.nodes.insert(out.nodes.end(), pieces[c].begin(), pieces[c].end());
        out.offsets.push_back(out.nodes.size());
        for (const std::uint64_t node : pieces[c]) components_of_[node].push_back(c);
    }
}

void RigidComponentFinder::index_elements(PebbleDigraph& digraph) {
    const std::uint64_t elements = digraph.element_count();
    neighbour_start_.assign(elements + 1, 0);
    for (std::uint64_t x = 0; x < elements; ++x) {
        for (const PebbleDigraph::Arc& arc : digraph.out_arcs(x)) {
            ++neighbour_start_[x + 1];
            ++neighbour_start_[arc.head + 1];
        }
    }
    std::partial_sum(neighbour_start_.begin(), neighbour_start_.end(), neighbour_start_.begin());
    neighbour_.resize(neighbour_start_[elements]);
    cursor_.assign(neighbour_start_.begin(), neighbour_start_.end() - 1);
    for (std::uint64_t x = 0; x < elements; ++x) {
        for (const PebbleDigraph::Arc& arc : digraph.out_arcs(x)) {
            neighbour_[cursor_[x]++] = arc.head;
            neighbour_[cursor_[arc.head]++] = x;
        }
    }
    inside_in_.assign(elements, 0);
    outside_in_.assign(elements, 0);
    stamp_ = 0;
}

void RigidComponentFinder::add_to_component(std::uint64_t element) {
    inside_in_[element] = stamp_;
    members_.push_back(element);
}

// The seeds (the ends of an edge with l pebbles on them, and all they
// reach) are inside. The largest tight set holding them is connected, so
// it is reached through arcs from inside.
void RigidComponentFinder::grow_component(PebbleDigraph& digraph, std::span<const std::uint32_t> seeds) {
    for (const std::uint32_t seed : seeds) add_to_component(seed);
    for (std::size_t m = 0; m < members_.size(); ++m) {
        const std::uint64_t element = members_[m];
        for (std::uint64_t a = neighbour_start_[element]; a < neighbour_start_[element + 1]; ++a) {
            const std::uint64_t neighbour = neighbour_[a];
            if (inside(neighbour) || outside(neighbour) || reaches_free_pebble(digraph, neighbour)) continue;
            for (const std::uint32_t reached : digraph.visited()) add_to_component(reached);
        }
    }
}

bool RigidComponentFinder::reaches_free_pebble(PebbleDigraph& digraph, std::uint64_t element) {
    if (!digraph.has_free_pebble(element)) {
        using Visit = PebbleDigraph::Visit;
        const auto outcome = digraph.search(element, [&](std::uint64_t next) {
            if (inside(next)) return Visit::Skip;
            if (outside(next)) return Visit::Stop;
            return digraph.has_free_pebble(next) ? Visit::TakePebble : Visit::Enter;
        });
        // A failed search entered only elements that reach no free pebble.
        if (outcome == PebbleDigraph::SearchOutcome::Failed) return false;
    }
    outside_in_[element] = stamp_;
    return true;
}

void RigidComponentFinder::record_component(const PebbleDigraph& digraph, RigidComponents& out) {
    const std::uint64_t number = out.count();
    std::erase_if(members_, [&](std::uint64_t element) { return digraph.is_body(element); });
    std::sort(members_.begin(), members_.end());
    out.nodes.insert(out.nodes.end(), members_.begin(), members_.end());
    out.offsets.push_back(out.nodes.size());
    for (const std::uint64_t node : members_) components_of_[node].push_back(number);
}

// Two components share at most one node, so at most one holds both ends:
// the one both ends' lists name. Each list is in increasing order (as the
// components were found), so the shorter one is looked up in the longer.
std::int64_t RigidComponentFinder::component_holding(const Pair& edge) const {
    const std::vector<std::uint64_t>* of_u = &components_of_[edge.i];
    const std::vector<std::uint64_t>* of_v = &components_of_[edge.j];
    if (of_u->size() > of_v->size()) std::swap(of_u, of_v);
    for (const std::uint64_t c : *of_u) {
        if (std::binary_search(of_v->begin(), of_v->end(), c)) return static_cast<std::int64_t>(c);
    }
    return -1;
}

}  // namespace tarvel
