#include "graph/bitset_pebble_game.hpp"

#include <bit>

#include "graph/graph.hpp"
#include "numeric/fault.hpp"

namespace tarvel {

namespace {

constexpr std::uint64_t kPebbles = 2;  // k
constexpr std::uint64_t kTight = 3;    // l

std::uint64_t bit(std::uint64_t node) { return std::uint64_t{1} << node; }

std::uint64_t all_nodes(std::uint64_t n) { return n == 64 ? ~std::uint64_t{0} : bit(n) - 1; }

}  // namespace

void BitsetPebbleGame::play(std::uint64_t n, std::span<const Pair> edges, PebbleGameResult& result) {
    if (!fits(n)) raise_fault("the bit-set pebble game takes at most 64 nodes");
    check_edges(n, edges);
    reset(n);
    const std::uint64_t tight_count = n >= 2 ? kPebbles * n - kTight : 0;
    result.labels.assign(edges.size(), 0);
    std::uint64_t accepted = 0;
    for (std::size_t e = 0; e < edges.size() && accepted < tight_count; ++e) {
        const auto [u, v] = edges[e];
        if (gather(u, v, kTight + 1) <= kTight) continue;
        add_arc(u, v);  // both ends hold two pebbles: either covers it
        --free_[u];
        result.labels[e] = 1;
        ++accepted;
    }
    result.accepted = accepted;
    const std::uint64_t all = kPebbles * n;
    result.dof = all > kTight + accepted ? all - kTight - accepted : 0;
    result.is_rigid = result.dof == 0;
    result.is_minimally_rigid = result.is_rigid && accepted == edges.size();
    find_components(edges, result, result.components);
}

void BitsetPebbleGame::reset(std::uint64_t n) {
    n_ = n;
    for (std::uint64_t v = 0; v < n; ++v) {
        free_[v] = kPebbles;
        arc_count_[v] = 0;
    }
}

// Moves free pebbles to u and v (never taking theirs) until they hold
// `wanted` together or no more can come; returns how many they hold.
std::uint64_t BitsetPebbleGame::gather(std::uint64_t u, std::uint64_t v, std::uint64_t wanted) {
    const NodeSet pinned = bit(u) | bit(v);
    while (free_[u] < kPebbles && free_[u] + free_[v] < wanted && pull_pebble(u, pinned)) {
    }
    while (free_[v] < kPebbles && free_[u] + free_[v] < wanted && pull_pebble(v, pinned)) {
    }
    return free_[u] + free_[v];
}

// A free pebble found along arcs from `to`, avoiding the pinned nodes, is
// brought to it by reversing the path; false when none is reachable.
bool BitsetPebbleGame::pull_pebble(std::uint64_t to, NodeSet pinned) {
    NodeSet seen = pinned | bit(to);
    std::uint8_t queue[kMaxNodes];
    std::uint64_t first = 0, last = 0;
    queue[last++] = static_cast<std::uint8_t>(to);
    while (first < last) {
        const std::uint64_t x = queue[first++];
        for (std::uint64_t a = 0; a < arc_count_[x]; ++a) {
            const std::uint64_t y = head_[x][a];
            if ((seen & bit(y)) != 0) continue;
            seen |= bit(y);
            parent_[y] = static_cast<std::uint8_t>(x);
            if (free_[y] > 0) {
                reverse_path(to, y);
                return true;
            }
            queue[last++] = static_cast<std::uint8_t>(y);
        }
    }
    return false;
}

// The arcs of the search tree's path from `from` to `to` reversed: `to`
// spends a free pebble on its new arc, `from` gets one back.
void BitsetPebbleGame::reverse_path(std::uint64_t from, std::uint64_t to) {
    --free_[to];
    for (std::uint64_t node = to; node != from;) {
        const std::uint64_t previous = parent_[node];
        remove_arc(previous, node);
        add_arc(node, previous);
        node = previous;
    }
    ++free_[from];
}

void BitsetPebbleGame::add_arc(std::uint64_t tail, std::uint64_t head) {
    head_[tail][arc_count_[tail]++] = static_cast<std::uint8_t>(head);
}

void BitsetPebbleGame::remove_arc(std::uint64_t tail, std::uint64_t head) {
    std::uint8_t* heads = head_[tail];
    const std::uint64_t a = heads[0] == head ? 0 : 1;
    heads[a] = heads[--arc_count_[tail]];
}

void BitsetPebbleGame::find_components(std::span<const Pair> edges, const PebbleGameResult& played,
                                       RigidComponents& out) {
    out.offsets.assign(1, 0);
    out.nodes.clear();
    out.edge_component.assign(edges.size(), -1);
    const NodeSet all = all_nodes(n_);
    for (std::size_t e = 0; e < edges.size(); ++e) {
        if (played.labels[e] != 1 || out.edge_component[e] >= 0) continue;
        const auto [u, v] = edges[e];
        if (gather(u, v, kTight) != kTight) raise_fault("an accepted edge's ends gather other than three pebbles");
        const NodeSet component = all & ~reaching_free_pebble(bit(u) | bit(v));
        const auto number = static_cast<std::int64_t>(out.count());
        for (NodeSet rest = component; rest != 0; rest &= rest - 1) {
            out.nodes.push_back(static_cast<std::uint64_t>(std::countr_zero(rest)));
        }
        out.offsets.push_back(out.nodes.size());
        // Two components share at most one node, so no other holds these edges.
        for (std::size_t f = e; f < edges.size(); ++f) {
            if ((component & bit(edges[f].i)) != 0 && (component & bit(edges[f].j)) != 0) {
                out.edge_component[f] = number;
            }
        }
    }
}

// The nodes from which arcs lead to a node outside `excluded` with a free pebble.
BitsetPebbleGame::NodeSet BitsetPebbleGame::reaching_free_pebble(NodeSet excluded) const {
    NodeSet predecessors[kMaxNodes] = {};
    NodeSet reached = 0;
    for (std::uint64_t x = 0; x < n_; ++x) {
        for (std::uint64_t a = 0; a < arc_count_[x]; ++a) predecessors[head_[x][a]] |= bit(x);
        if (free_[x] > 0 && (excluded & bit(x)) == 0) reached |= bit(x);
    }
    for (NodeSet frontier = reached; frontier != 0;) {
        const auto x = static_cast<std::uint64_t>(std::countr_zero(frontier));
        frontier &= frontier - 1;
        const NodeSet fresh = predecessors[x] & ~reached;
        reached |= fresh;
        frontier |= fresh;
    }
    return reached;
}

}  // namespace tarvel
