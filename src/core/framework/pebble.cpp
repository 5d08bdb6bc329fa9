#include "framework/pebble.hpp"

#include <algorithm>
#include <string>

#include "numeric/fault.hpp"

namespace tarvel {

void VisitedSet::clear() {
    if (++generation_ == 0) {  // wrapped: old marks could alias the new generation
        std::fill(generation_of_.begin(), generation_of_.end(), 0);
        generation_ = 1;
    }
}

namespace {

void require_node(std::size_t node, std::size_t node_count) {
    if (node >= node_count) {
        raise_fault("pebble node " + std::to_string(node) + " out of range for " +
                    std::to_string(node_count) + " nodes");
    }
}

bool take_pebble(std::size_t node, PebbleCounts& pebbles, MoveLog& moves) {
    if (pebbles[node] <= 0) return false;
    --pebbles[node];
    moves.push_back({MoveKind::Taken, node});
    return true;
}

// Turns x -> w, the entry at `position` of x's list, into w -> x.
void reverse_edge(std::size_t x, std::size_t position, OutEdgeLists& out_edges, MoveLog& moves) {
    std::vector<std::size_t>& edges = out_edges[x];
    const std::size_t w = edges[position];
    edges.erase(edges.begin() + static_cast<std::ptrdiff_t>(position));
    out_edges[w].push_back(x);
    moves.push_back({MoveKind::Reversed, x, w});
}

}  // namespace

bool find_pebble(std::size_t node, VisitedSet& visited, PebbleCounts& pebbles,
                 OutEdgeLists& out_edges, MoveLog& moves, SearchStack& stack) {
    const std::size_t node_count = pebbles.size();
    require_equal(out_edges.size(), node_count, "one out-edge list per pebble count");
    require_node(node, node_count);
    if (visited.contains(node)) return false;
    visited.insert(node);
    if (take_pebble(node, pebbles, moves)) return true;

    // Each frame is one level of the depth-first descent; `edge` is the
    // entry of its list being tried. Failed subtrees change nothing but
    // `visited`, so the stored positions stay valid until the unwind.
    std::vector<SearchStack::Frame>& path = stack.frames_;
    path.clear();
    path.push_back({node, 0});
    while (!path.empty()) {
        SearchStack::Frame& top = path.back();
        const std::vector<std::size_t>& edges = out_edges[top.node];
        if (top.edge == edges.size()) {  // no pebble behind any edge of this node
            path.pop_back();
            if (!path.empty()) ++path.back().edge;
            continue;
        }
        const std::size_t next = edges[top.edge];
        require_node(next, node_count);
        if (visited.contains(next)) {
            ++top.edge;
            continue;
        }
        visited.insert(next);
        if (take_pebble(next, pebbles, moves)) {
            // Innermost edge first, as the returns of a recursive search would.
            for (auto frame = path.rbegin(); frame != path.rend(); ++frame) {
                reverse_edge(frame->node, frame->edge, out_edges, moves);
            }
            path.clear();
            return true;
        }
        path.push_back({next, 0});
    }
    return false;
}

void undo_moves(const MoveLog& moves, PebbleCounts& pebbles, OutEdgeLists& out_edges) {
    for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
        switch (move->kind) {
            case MoveKind::Taken:
                ++pebbles[move->node];
                break;
            case MoveKind::Gained:
                --pebbles[move->node];
                break;
            case MoveKind::Reversed: {
                // The search turned node -> to into to -> node; turn it back.
                std::vector<std::size_t>& edges = out_edges[move->to];
                const auto entry = std::find(edges.begin(), edges.end(), move->node);
                // Re-adding an edge that is not there would corrupt the state.
                if (entry == edges.end()) raise_fault("undo of a pebble move missing from the game state");
                edges.erase(entry);
                out_edges[move->node].push_back(move->to);
                break;
            }
        }
    }
}

namespace {

// The game state of one call and the gathering of pebbles for a candidate.
class PebbleGame {
public:
    explicit PebbleGame(std::size_t node_count)
        : pebbles_(node_count, 2), out_edges_(node_count), visited_(node_count) {}

    // Accepts (u, v), u < v, when four pebbles can be gathered on its ends;
    // otherwise every change made while gathering is taken back.
    bool offer(std::size_t u, std::size_t v) {
        moves_.clear();
        gather(u, v);
        if (pebbles_[u] + pebbles_[v] > 3) {
            --pebbles_[v];  // a pebble of the higher-numbered end covers the bar
            out_edges_[v].push_back(u);
            return true;
        }
        undo_moves(moves_, pebbles_, out_edges_);
        return false;
    }

private:
    void gather(std::size_t u, std::size_t v) {
        for (;;) {
            std::int32_t pu = pebbles_[u];
            std::int32_t pv = pebbles_[v];
            if (pu + pv > 3) return;
            // Held at 0 so that no search takes or stops at the ends' own pebbles.
            pebbles_[u] = 0;
            pebbles_[v] = 0;
            bool found = false;
            if (pu <= 1 && search_from(u)) {
                ++pu;
                found = true;
            } else if (search_from(v)) {
                ++pv;
                found = true;
            }
            pebbles_[u] = pu;
            pebbles_[v] = pv;
            if (!found) return;
        }
    }

    bool search_from(std::size_t end) {
        visited_.clear();
        if (!find_pebble(end, visited_, pebbles_, out_edges_, moves_, stack_)) return false;
        moves_.push_back({MoveKind::Gained, end});
        return true;
    }

    PebbleCounts pebbles_;
    OutEdgeLists out_edges_;
    VisitedSet visited_;
    SearchStack stack_;
    MoveLog moves_;
};

// A node set known to span exactly 2k - 3 accepted bars, k its size.
//
// The game accepts a bar exactly when the accepted bars stay (2,3)-sparse
// (no k >= 2 nodes span more than 2k - 3), whatever the orientation or list
// order of a valid pebble state. So a tight set stays tight, and a candidate
// with both ends in it would make 2k - 2 bars there: the game would reject
// it and take back its moves, leaving every count and direction as it was.
// Skipping its searches therefore leaves a valid state with the same
// accepted bars, and every later decision is the same.
//
// The block starts as the two ends of the first accepted bar (k = 2, one
// bar) and takes in any node with two accepted bars into it (k + 1 nodes,
// 2k - 3 + 2 bars). In lexicographic order it holds every node once the
// bars (1, j) are in, so all later candidates are settled without a search.
class RigidBlock {
public:
    explicit RigidBlock(std::size_t node_count)
        : member_(node_count, 0), bars_into_block_(node_count, 0), neighbours_(node_count) {}

    bool holds(std::size_t u, std::size_t v) const { return member_[u] && member_[v]; }
    bool holds_every_node() const { return size_ == member_.size(); }

    void add_bar(std::size_t u, std::size_t v) {
        neighbours_[u].push_back(v);
        neighbours_[v].push_back(u);
        if (size_ == 0) {
            take_in(u);
            take_in(v);
        } else if (member_[u] && !member_[v]) {
            count_bar_into_block(v);
        } else if (member_[v] && !member_[u]) {
            count_bar_into_block(u);
        }
    }

private:
    void count_bar_into_block(std::size_t node) {
        if (++bars_into_block_[node] == 2) take_in(node);
    }

    // Joining can give outside neighbours their second bar into the block,
    // so joins cascade; a work list keeps the cascade off the C stack.
    void take_in(std::size_t node) {
        pending_.push_back(node);
        while (!pending_.empty()) {
            const std::size_t joining = pending_.back();
            pending_.pop_back();
            if (member_[joining]) continue;
            member_[joining] = 1;
            ++size_;
            for (const std::size_t neighbour : neighbours_[joining]) {
                if (!member_[neighbour] && ++bars_into_block_[neighbour] == 2) {
                    pending_.push_back(neighbour);
                }
            }
        }
    }

    std::vector<std::uint8_t> member_;
    std::vector<std::size_t> bars_into_block_;  // for nodes outside the block
    std::vector<std::vector<std::size_t>> neighbours_;  // along accepted bars
    std::vector<std::size_t> pending_;
    std::size_t size_ = 0;
};

}  // namespace

PebbleOutcome play_pebble_game(std::uint64_t n) {
    PebbleOutcome outcome;
    // The labels come first: an absurd n fails here, before any other work.
    const std::uint64_t candidate_count = pair_count(n);
    reserve_checked(outcome.labels, candidate_count);
    const std::size_t node_count = checked_count(n, sizeof(OutEdgeLists::value_type));
    if (node_count >= 2) reserve_checked(outcome.accepted_edges, 2 * n - 3);  // the most a sparse set holds

    PebbleGame game(node_count);
    RigidBlock block(node_count);
    // Candidates (u, v) are generated in lexicographic order, never listed.
    for (std::size_t u = 0; u < node_count; ++u) {
        for (std::size_t v = u + 1; v < node_count; ++v) {
            if (block.holds_every_node()) {  // every remaining candidate is redundant
                outcome.labels.resize(candidate_count, 0);
                return outcome;
            }
            const bool accepted = !block.holds(u, v) && game.offer(u, v);
            outcome.labels.push_back(accepted ? 1 : 0);
            if (accepted) {
                outcome.accepted_edges.push_back(Pair{u, v});
                block.add_bar(u, v);
            }
        }
    }
    return outcome;
}

}  // namespace tarvel
