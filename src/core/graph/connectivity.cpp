#include "graph/connectivity.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

#include "graph/graph.hpp"
#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

// Neighbours of each node: neighbour[start[x] .. start[x + 1]), each once.
struct Adjacency {
    std::vector<std::uint64_t> start, neighbour;

    Adjacency(std::uint64_t n, std::span<const Pair> edges) : start(checked_count(n, sizeof(std::uint64_t)) + 1, 0) {
        for (const Pair& edge : edges) {
            ++start[edge.i + 1];
            ++start[edge.j + 1];
        }
        std::partial_sum(start.begin(), start.end(), start.begin());
        neighbour.resize(start[n]);
        std::vector<std::uint64_t> cursor(start.begin(), start.end() - 1);
        for (const Pair& edge : edges) {
            neighbour[cursor[edge.i]++] = edge.j;
            neighbour[cursor[edge.j]++] = edge.i;
        }
        drop_repeats(n);
    }

    std::uint64_t degree(std::uint64_t x) const { return start[x + 1] - start[x]; }

private:
    // Keeps the first copy of each neighbour, in linear time: a neighbour
    // already listed for x carries the mark x.
    void drop_repeats(std::uint64_t n) {
        std::vector<std::uint64_t> listed_for(n, n);
        std::uint64_t kept = 0;
        std::uint64_t from = 0;
        for (std::uint64_t x = 0; x < n; ++x) {
            const std::uint64_t end = start[x + 1];
            start[x] = kept;
            for (std::uint64_t k = from; k < end; ++k) {
                const std::uint64_t y = neighbour[k];
                if (listed_for[y] == x) continue;
                listed_for[y] = x;
                neighbour[kept++] = y;  // kept never passes k
            }
            from = end;
        }
        start[n] = kept;
        neighbour.resize(kept);
    }
};

// A depth-first palm tree of a simple graph: every edge becomes a tree arc
// (parent to child) or a frond (descendant to ancestor). Nodes are named
// by numbers 1..n that put every node before its descendants, so the
// ancestors of a node compare like their depths; 0 names no node.
struct PalmTree {
    std::uint64_t n = 0;
    std::vector<std::uint64_t> parent, low1, low2, descendants;
    // The arcs leaving node v, in search order: target[first_arc[v] .. first_arc[v + 1]).
    std::vector<std::uint64_t> first_arc, target;

    // Repeats are dropped, so no frond doubles a tree arc.
    bool is_tree_arc(std::uint64_t from, std::uint64_t to) const { return parent[to] == from; }
};

// Lowpoints (Hopcroft and Tarjan): low1(v) is the lowest node reached from
// the subtree of v by at most one frond, v itself if none; low2(v) the
// lowest other than low1(v), again v itself if none.
void lower_by_frond(PalmTree& tree, std::uint64_t v, std::uint64_t to) {
    if (to < tree.low1[v]) {
        tree.low2[v] = tree.low1[v];
        tree.low1[v] = to;
    } else if (to > tree.low1[v]) {
        tree.low2[v] = std::min(tree.low2[v], to);
    }
}

void lower_by_child(PalmTree& tree, std::uint64_t v, std::uint64_t child) {
    tree.descendants[v] += tree.descendants[child];
    if (tree.low1[child] < tree.low1[v]) {
        tree.low2[v] = std::min(tree.low1[v], tree.low2[child]);
        tree.low1[v] = tree.low1[child];
    } else if (tree.low1[child] == tree.low1[v]) {
        tree.low2[v] = std::min(tree.low2[v], tree.low2[child]);
    } else {
        tree.low2[v] = std::min(tree.low2[v], tree.low1[child]);
    }
}

// The palm tree of the search from node 0, nodes numbered in preorder.
// Nodes the search does not reach keep number 0 (in `number`).
PalmTree search_palm_tree(const Adjacency& graph, std::vector<std::uint64_t>& number) {
    const std::uint64_t n = graph.start.size() - 1;
    PalmTree tree;
    tree.n = n;
    for (auto* values : {&tree.parent, &tree.low1, &tree.low2, &tree.descendants}) values->assign(n + 1, 0);
    number.assign(n, 0);
    std::vector<Pair> arcs;
    arcs.reserve(graph.neighbour.size() / 2);
    std::uint64_t count = 0;
    auto enter = [&](std::uint64_t x, std::uint64_t parent) {
        const std::uint64_t v = number[x] = ++count;
        tree.parent[v] = parent;
        tree.low1[v] = tree.low2[v] = v;
        tree.descendants[v] = 1;
    };
    struct Frame {
        std::uint64_t node, next;  // the node's name in the graph, the place of its next neighbour
    };
    enter(0, 0);
    std::vector<Frame> stack{{0, graph.start[0]}};
    while (!stack.empty()) {
        check_interrupt();
        Frame& top = stack.back();
        const std::uint64_t v = number[top.node];
        if (top.next < graph.start[top.node + 1]) {
            const std::uint64_t y = graph.neighbour[top.next++];
            if (number[y] == 0) {
                enter(y, v);
                arcs.push_back({v, number[y]});
                stack.push_back({y, graph.start[y]});
            } else if (number[y] < v && number[y] != tree.parent[v]) {
                arcs.push_back({v, number[y]});
                lower_by_frond(tree, v, number[y]);
            }
            continue;
        }
        stack.pop_back();
        if (!stack.empty()) lower_by_child(tree, number[stack.back().node], v);
    }
    tree.first_arc.assign(n + 2, 0);
    for (const Pair& arc : arcs) ++tree.first_arc[arc.i + 1];
    std::partial_sum(tree.first_arc.begin(), tree.first_arc.end(), tree.first_arc.begin());
    tree.target.resize(arcs.size());
    std::vector<std::uint64_t> cursor(tree.first_arc.begin(), tree.first_arc.end() - 1);
    for (const Pair& arc : arcs) tree.target[cursor[arc.i]++] = arc.j;
    return tree;
}

// Connected, and no node whose removal disconnects: the root has one child
// and every other child reaches above its parent.
bool is_biconnected(const PalmTree& tree, std::uint64_t reached) {
    if (reached != tree.n) return false;
    std::uint64_t root_children = 0;
    for (std::uint64_t w = 2; w <= tree.n; ++w) {
        const std::uint64_t v = tree.parent[w];
        if (v == 1) ++root_children;
        else if (tree.low1[w] >= v) return false;
    }
    return root_children == 1;
}

// A separation pair {low1(w), v} cutting off the subtree of a child w of v
// that reaches nothing above v but low1(w), with nodes left outside it.
bool has_pair_cutting_off_a_subtree(const PalmTree& tree) {
    for (std::uint64_t w = 2; w <= tree.n; ++w) {
        const std::uint64_t v = tree.parent[w];
        if (tree.low1[w] < v && tree.low2[w] >= v && tree.descendants[w] + 2 < tree.n) return true;
    }
    return false;
}

// Orders every arc list by phi: a tree arc v -> w by 3 low1(w), plus 2 when
// low2(w) >= v; a frond v -> w by 3 w + 1. The first child of a node then
// reaches lowest, the order the search for separation pairs relies on.
void order_arcs(PalmTree& tree) {
    const std::uint64_t n = tree.n;
    auto phi = [&](std::uint64_t from, std::uint64_t to) {
        if (!tree.is_tree_arc(from, to)) return 3 * to + 1;
        return 3 * tree.low1[to] + (tree.low2[to] < from ? 0 : 2);
    };
    std::vector<std::uint64_t> bucket_start(3 * n + 4, 0);
    for (std::uint64_t v = 1; v <= n; ++v) {
        for (std::uint64_t k = tree.first_arc[v]; k < tree.first_arc[v + 1]; ++k) ++bucket_start[phi(v, tree.target[k]) + 1];
    }
    std::partial_sum(bucket_start.begin(), bucket_start.end(), bucket_start.begin());
    std::vector<Pair> by_phi(tree.target.size());
    for (std::uint64_t v = 1; v <= n; ++v) {
        for (std::uint64_t k = tree.first_arc[v]; k < tree.first_arc[v + 1]; ++k) {
            by_phi[bucket_start[phi(v, tree.target[k])]++] = {v, tree.target[k]};
        }
    }
    std::vector<std::uint64_t> cursor(tree.first_arc.begin(), tree.first_arc.end() - 1);
    for (const Pair& arc : by_phi) tree.target[cursor[arc.i]++] = arc.j;  // stable: each list in phi order
}

// Renames the nodes by the order the search over ordered arc lists leaves
// them, counting down from n (the root becomes 1): a subtree holds the
// consecutive numbers w .. w + descendants(w) - 1, and a node's first child
// the highest of them. Returns high(v), the first node (in search order)
// whose frond ends at v, 0 if none.
std::vector<std::uint64_t> renumber_by_ordered_search(PalmTree& tree) {
    const std::uint64_t n = tree.n;
    std::vector<std::uint64_t> name(n + 1, 0), first_frond_from(n + 1, 0);
    struct Frame {
        std::uint64_t node, next;
    };
    std::uint64_t count = n;
    std::vector<Frame> stack{{1, tree.first_arc[1]}};
    while (!stack.empty()) {
        check_interrupt();
        Frame& top = stack.back();
        const std::uint64_t v = top.node;
        if (top.next < tree.first_arc[v + 1]) {
            const std::uint64_t w = tree.target[top.next++];
            if (tree.is_tree_arc(v, w)) {
                stack.push_back({w, tree.first_arc[w]});
            } else if (first_frond_from[w] == 0) {
                first_frond_from[w] = v;
            }
            continue;
        }
        name[v] = count--;
        stack.pop_back();
    }
    PalmTree renamed;
    renamed.n = n;
    for (auto* values : {&renamed.parent, &renamed.low1, &renamed.low2, &renamed.descendants}) values->assign(n + 1, 0);
    renamed.first_arc.assign(n + 2, 0);
    std::vector<std::uint64_t> high(n + 1, 0);
    for (std::uint64_t v = 1; v <= n; ++v) {
        const std::uint64_t u = name[v];
        renamed.parent[u] = name[tree.parent[v]];  // name[0] = 0: the root keeps no parent
        renamed.low1[u] = name[tree.low1[v]];
        renamed.low2[u] = name[tree.low2[v]];
        renamed.descendants[u] = tree.descendants[v];
        renamed.first_arc[u + 1] = tree.first_arc[v + 1] - tree.first_arc[v];
        high[u] = name[first_frond_from[v]];
    }
    std::partial_sum(renamed.first_arc.begin(), renamed.first_arc.end(), renamed.first_arc.begin());
    renamed.target.resize(tree.target.size());
    for (std::uint64_t v = 1; v <= n; ++v) {
        std::uint64_t k = renamed.first_arc[name[v]];
        for (std::uint64_t j = tree.first_arc[v]; j < tree.first_arc[v + 1]; ++j) renamed.target[k++] = name[tree.target[j]];
    }
    tree = std::move(renamed);
    return high;
}

// Hopcroft and Tarjan's path search for the other kind of separation pair
// {a, b}, a an ancestor of b, which cuts off the nodes between them on a
// path of first children together with what hangs there. Candidate pairs
// wait on a stack as triples (h, a, b), h the highest node of the part they
// would cut off; paths and fronds that reach past them discard them.
class PathSearch {
public:
    PathSearch(const PalmTree& tree, const std::vector<std::uint64_t>& high) : tree_(tree), high_(high) {}

    bool finds_pair() {
        struct Frame {
            std::uint64_t node, next;
        };
        std::vector<Frame> stack{{1, tree_.first_arc[1]}};
        while (!stack.empty()) {
            check_interrupt();
            Frame& top = stack.back();
            const std::uint64_t v = top.node;
            if (top.next < tree_.first_arc[v + 1]) {
                const std::uint64_t k = top.next++;
                const std::uint64_t w = tree_.target[k];
                const bool tree_arc = tree_.is_tree_arc(v, w);
                if (starts_path(v, k)) {
                    if (tree_arc) {
                        open_path(tree_.low1[w], w + tree_.descendants[w] - 1, v, true);
                        triples_.push_back(end_of_path);
                    } else {
                        open_path(w, v, v, false);
                    }
                }
                if (tree_arc) stack.push_back({w, tree_.first_arc[w]});
                continue;
            }
            stack.pop_back();
            if (stack.empty()) break;
            if (returns_to_pair(stack.back().node, stack.back().next - 1)) return true;
        }
        return false;
    }

private:
    struct Triple {
        std::uint64_t h, a, b;
    };
    static constexpr Triple end_of_path{0, 0, 0};

    // Every arc but the first of a node's list begins a new path.
    bool starts_path(std::uint64_t v, std::uint64_t arc) const { return v == 1 || arc != tree_.first_arc[v]; }

    bool top_is_triple() const { return !triples_.empty() && triples_.back().a != 0; }

    // A path that reaches `lowest` discards the candidates above it and
    // offers the pair {lowest, b}, with b from the last one discarded.
    void open_path(std::uint64_t lowest, std::uint64_t highest, std::uint64_t b, bool by_tree_arc) {
        std::uint64_t h = 0;
        std::uint64_t last_b = 0;
        bool discarded = false;
        while (top_is_triple() && triples_.back().a > lowest) {
            h = std::max(h, triples_.back().h);
            last_b = triples_.back().b;
            triples_.pop_back();
            discarded = true;
        }
        if (!discarded) triples_.push_back({highest, lowest, b});
        else triples_.push_back({by_tree_arc ? std::max(h, highest) : h, lowest, last_b});
    }

    // Back at v from the tree arc `arc`: a candidate {v, b} still standing,
    // b not a child of v, is a separation pair.
    bool returns_to_pair(std::uint64_t v, std::uint64_t arc) {
        while (v != 1 && top_is_triple() && triples_.back().a == v) {
            if (tree_.parent[triples_.back().b] != v) return true;
            triples_.pop_back();
        }
        if (starts_path(v, arc)) {
            while (top_is_triple()) triples_.pop_back();
            triples_.pop_back();  // the path's end marker
        }
        while (top_is_triple() && triples_.back().a != v && triples_.back().b != v && high_[v] > triples_.back().h) {
            triples_.pop_back();
        }
        return false;
    }

    const PalmTree& tree_;
    const std::vector<std::uint64_t>& high_;
    std::vector<Triple> triples_;
};

}  // namespace

bool is_three_connected(std::uint64_t n, std::span<const Pair> edges) {
    check_edges(n, edges);
    if (n <= 3) return false;
    const Adjacency graph(n, edges);
    for (std::uint64_t x = 0; x < n; ++x) {
        if (graph.degree(x) < 3) return false;  // its neighbours cut it off
    }
    std::vector<std::uint64_t> number;
    PalmTree tree = search_palm_tree(graph, number);
    const auto reached = static_cast<std::uint64_t>(std::count_if(number.begin(), number.end(), [](std::uint64_t v) { return v != 0; }));
    if (!is_biconnected(tree, reached) || has_pair_cutting_off_a_subtree(tree)) return false;
    order_arcs(tree);
    const std::vector<std::uint64_t> high = renumber_by_ordered_search(tree);
    return !PathSearch(tree, high).finds_pair();
}

}  // namespace tarvel
