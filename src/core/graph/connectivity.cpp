#include "graph/connectivity.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

#include "numeric/fault.hpp"
#include "graph/graph.hpp"
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
    void drop_repeats(std::uint64_t n) {
        std::uint64_t kept = 0;
        std::uint64_t from = 0;
        for (std::uint64_t x = 0; x < n; ++x) {
            const auto first = neighbour.begin() + static_cast<std::ptrdiff_t>(from);
            const auto last = neighbour.begin() + static_cast<std::ptrdiff_t>(start[x + 1]);
            std::sort(first, last);
            const auto distinct_end = std::unique(first, last);
            from = start[x + 1];
            start[x] = kept;
            for (auto it = first; it != distinct_end; ++it) neighbour[kept++] = *it;  // kept never passes it
        }
        start[n] = kept;
        neighbour.resize(kept);
    }
};

// Tarjan's lowpoint search of G - removed from one node: true when it
// reaches every other node and meets no articulation point.
class BiconnectivityTest {
public:
    explicit BiconnectivityTest(const Adjacency& graph)
        : graph_(graph), order_(graph.start.size() - 1), low_(order_.size()), parent_(order_.size()) {}

    bool biconnected_without(std::uint64_t removed) {
        const std::uint64_t n = order_.size();
        std::fill(order_.begin(), order_.end(), 0);
        const std::uint64_t root = removed == 0 ? 1 : 0;
        std::uint64_t time = 0;
        std::uint64_t root_children = 0;
        order_[root] = low_[root] = ++time;
        stack_.assign(1, Frame{root, graph_.start[root]});
        while (!stack_.empty()) {
            check_interrupt();
            Frame& top = stack_.back();
            const std::uint64_t node = top.node;
            if (top.next < graph_.start[node + 1]) {
                const std::uint64_t next = graph_.neighbour[top.next++];
                if (next == removed) continue;
                if (order_[next] == 0) {
                    parent_[next] = node;
                    order_[next] = low_[next] = ++time;
                    if (node == root) ++root_children;
                    stack_.push_back(Frame{next, graph_.start[next]});
                } else if (next != parent_[node]) {
                    low_[node] = std::min(low_[node], order_[next]);
                }
                continue;
            }
            stack_.pop_back();
            if (stack_.empty()) break;
            const std::uint64_t above = stack_.back().node;
            low_[above] = std::min(low_[above], low_[node]);
            if (above != root && low_[node] >= order_[above]) return false;  // `above` cuts `node` off
        }
        return root_children <= 1 && time == n - 1;
    }

private:
    struct Frame {
        std::uint64_t node;
        std::uint64_t next;  // place of the next neighbour to try
    };

    const Adjacency& graph_;
    std::vector<std::uint64_t> order_, low_, parent_;
    std::vector<Frame> stack_;
};

}  // namespace

bool is_three_connected(std::uint64_t n, std::span<const Pair> edges) {
    check_edges(n, edges);
    if (n <= 3) return false;
    const Adjacency graph(n, edges);
    for (std::uint64_t x = 0; x < n; ++x) {
        if (graph.degree(x) < 3) return false;  // its neighbours cut it off
    }
    BiconnectivityTest test(graph);
    for (std::uint64_t removed = 0; removed < n; ++removed) {
        if (!test.biconnected_without(removed)) return false;
    }
    return true;
}

}  // namespace tarvel
