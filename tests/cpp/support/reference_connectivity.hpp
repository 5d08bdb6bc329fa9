// Reference 3-connectivity for the tests: G is 3-connected when it has more
// than three nodes and every G - v is connected without articulation point.
// Each G - v is searched with Tarjan's lowpoints, O(n (n + m)) in all, on an
// explicit stack, so it checks graphs of some thousands of nodes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <span>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel::reference {

// Neighbours of each node, each once: neighbour[start[x] .. start[x + 1]).
struct SimpleAdjacency {
    std::vector<std::uint64_t> start, neighbour;

    SimpleAdjacency(std::uint64_t n, std::span<const Pair> edges) : start(n + 1, 0) {
        std::vector<std::vector<std::uint64_t>> lists(n);
        for (const Pair& edge : edges) {
            lists[edge.i].push_back(edge.j);
            lists[edge.j].push_back(edge.i);
        }
        for (std::uint64_t x = 0; x < n; ++x) {
            std::sort(lists[x].begin(), lists[x].end());
            lists[x].erase(std::unique(lists[x].begin(), lists[x].end()), lists[x].end());
            neighbour.insert(neighbour.end(), lists[x].begin(), lists[x].end());
            start[x + 1] = neighbour.size();
        }
    }
};

// True when G - removed is connected and has no articulation point.
inline bool biconnected_without(const SimpleAdjacency& graph, std::uint64_t removed) {
    const std::uint64_t n = graph.start.size() - 1;
    std::vector<std::uint64_t> order(n, 0), low(n), parent(n);
    struct Frame {
        std::uint64_t node, next;
    };
    const std::uint64_t root = removed == 0 ? 1 : 0;
    std::uint64_t time = 0, root_children = 0;
    order[root] = low[root] = ++time;
    std::vector<Frame> stack{{root, graph.start[root]}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        const std::uint64_t node = top.node;
        if (top.next < graph.start[node + 1]) {
            const std::uint64_t next = graph.neighbour[top.next++];
            if (next == removed) continue;
            if (order[next] == 0) {
                parent[next] = node;
                order[next] = low[next] = ++time;
                root_children += node == root;
                stack.push_back({next, graph.start[next]});
            } else if (next != parent[node]) {
                low[node] = std::min(low[node], order[next]);
            }
            continue;
        }
        stack.pop_back();
        if (stack.empty()) break;
        const std::uint64_t above = stack.back().node;
        low[above] = std::min(low[above], low[node]);
        if (above != root && low[node] >= order[above]) return false;
    }
    return root_children <= 1 && time == n - 1;
}

inline bool is_three_connected_by_node_removal(std::uint64_t n, std::span<const Pair> edges) {
    if (n <= 3) return false;
    const SimpleAdjacency graph(n, edges);
    for (std::uint64_t x = 0; x < n; ++x) {
        if (!biconnected_without(graph, x)) return false;
    }
    return true;
}

// Removes every pair of nodes and checks that the rest is connected.
inline bool is_three_connected_by_pair_removal(std::uint64_t n, std::span<const Pair> edges) {
    if (n <= 3) return false;
    for (std::uint64_t a = 0; a < n; ++a) {
        for (std::uint64_t b = a + 1; b < n; ++b) {
            std::vector<std::uint64_t> root(n);
            std::iota(root.begin(), root.end(), std::uint64_t{0});
            auto find = [&](std::uint64_t x) {
                while (root[x] != x) x = root[x] = root[root[x]];
                return x;
            };
            for (const Pair& e : edges) {
                if (e.i != a && e.i != b && e.j != a && e.j != b) root[find(e.i)] = find(e.j);
            }
            std::uint64_t parts = 0;
            for (std::uint64_t x = 0; x < n; ++x) parts += x != a && x != b && find(x) == x;
            if (parts != 1) return false;
        }
    }
    return true;
}

}  // namespace tarvel::reference
