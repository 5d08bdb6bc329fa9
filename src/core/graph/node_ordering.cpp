#include "graph/node_ordering.hpp"

#include <algorithm>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

constexpr std::size_t kSmallPiece = 32;

class Dissection {
public:
    Dissection(std::uint64_t n, std::span<const Pair> edges) : start_(n + 1, 0), mark_(n, 0), seen_(n, 0), level_(n, 0) {
        for (const Pair& edge : edges) {
            ++start_[edge.i + 1];
            ++start_[edge.j + 1];
        }
        for (std::uint64_t v = 0; v < n; ++v) start_[v + 1] += start_[v];
        neighbour_.resize(checked_count(start_[n], sizeof(std::uint64_t)));
        std::vector<std::uint64_t> cursor(start_.begin(), start_.end() - 1);
        for (const Pair& edge : edges) {
            neighbour_[cursor[edge.i]++] = edge.j;
            neighbour_[cursor[edge.j]++] = edge.i;
        }
    }

    std::vector<std::uint64_t> order() {
        const std::uint64_t n = mark_.size();
        std::vector<std::uint64_t> connected;
        for (std::uint64_t v = 0; v < n; ++v) {
            if (degree(v) == 0) {
                order_.push_back(v);
            } else {
                connected.push_back(v);
            }
        }
        tasks_.push_back({false, std::move(connected)});
        while (!tasks_.empty()) {
            check_interrupt();
            Task task = std::move(tasks_.back());
            tasks_.pop_back();
            if (task.emit) {
                order_.insert(order_.end(), task.nodes.begin(), task.nodes.end());
            } else {
                split_into_pieces(task.nodes);
            }
        }
        return std::move(order_);
    }

private:
    struct Task {
        bool emit;  // append the nodes as they are; else order them
        std::vector<std::uint64_t> nodes;
    };

    std::uint64_t degree(std::uint64_t v) const { return start_[v + 1] - start_[v]; }
    std::span<const std::uint64_t> neighbours(std::uint64_t v) const {
        return {neighbour_.data() + start_[v], neighbour_.data() + start_[v + 1]};
    }

    // Breadth-first search from `root` over the nodes marked with `stamp`:
    // fills `visited` in search order and level_ per node.
    void search(std::uint64_t root, std::uint64_t stamp, std::vector<std::uint64_t>& visited) {
        const std::uint64_t seen_stamp = ++seen_stamp_;
        visited.clear();
        visited.push_back(root);
        seen_[root] = seen_stamp;
        level_[root] = 0;
        for (std::size_t head = 0; head < visited.size(); ++head) {
            const std::uint64_t v = visited[head];
            for (const std::uint64_t w : neighbours(v)) {
                if (mark_[w] != stamp || seen_[w] == seen_stamp) continue;
                seen_[w] = seen_stamp;
                level_[w] = level_[v] + 1;
                visited.push_back(w);
            }
        }
    }

    void emit_low_degree_first(std::vector<std::uint64_t> nodes) {
        std::sort(nodes.begin(), nodes.end(), [&](std::uint64_t a, std::uint64_t b) {
            return degree(a) != degree(b) ? degree(a) < degree(b) : a < b;
        });
        tasks_.push_back({true, std::move(nodes)});
    }

    // Queues the connected pieces of `nodes`, small ones ready to emit.
    void split_into_pieces(const std::vector<std::uint64_t>& nodes) {
        const std::uint64_t stamp = ++mark_stamp_;
        for (const std::uint64_t v : nodes) mark_[v] = stamp;
        std::vector<std::uint64_t> piece;
        for (const std::uint64_t v : nodes) {
            if (mark_[v] != stamp) continue;
            search(v, stamp, piece);
            const std::uint64_t claimed = ++mark_stamp_;
            for (const std::uint64_t w : piece) mark_[w] = claimed;
            if (piece.size() <= kSmallPiece) {
                emit_low_degree_first(piece);
            } else {
                dissect(piece, claimed);
            }
        }
    }

    // Cuts a connected piece (its nodes marked `stamp`) at a middle level.
    void dissect(std::vector<std::uint64_t> piece, std::uint64_t stamp) {
        std::vector<std::uint64_t> visited;
        search(piece.front(), stamp, visited);
        search(visited.back(), stamp, visited);
        const std::uint64_t levels = level_[visited.back()] + 1;
        if (levels <= 2) {
            emit_low_degree_first(std::move(piece));
            return;
        }
        // The cut level: the one holding the middle node of the search, kept
        // off both ends so that each side keeps a node.
        const std::uint64_t cut = std::clamp<std::uint64_t>(level_[visited[visited.size() / 2]], 1, levels - 2);
        std::vector<std::uint64_t> near, far, separator;
        for (const std::uint64_t v : visited) {
            if (level_[v] < cut) {
                near.push_back(v);
            } else if (level_[v] > cut) {
                far.push_back(v);
            } else {
                const auto onward = neighbours(v);
                const bool touches_far = std::any_of(onward.begin(), onward.end(), [&](std::uint64_t w) {
                    return mark_[w] == stamp && level_[w] == cut + 1;
                });
                (touches_far ? separator : near).push_back(v);
            }
        }
        tasks_.push_back({true, std::move(separator)});
        tasks_.push_back({false, std::move(far)});
        tasks_.push_back({false, std::move(near)});
    }

    std::vector<std::uint64_t> start_, neighbour_;
    std::vector<std::uint64_t> mark_, seen_, level_;
    std::uint64_t mark_stamp_ = 0, seen_stamp_ = 0;
    std::vector<Task> tasks_;
    std::vector<std::uint64_t> order_;
};

}  // namespace

std::vector<std::uint64_t> dissection_order(std::uint64_t n, std::span<const Pair> edges) {
    return Dissection(n, edges).order();
}

}  // namespace tarvel
