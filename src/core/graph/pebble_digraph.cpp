#include "graph/pebble_digraph.hpp"

#include <algorithm>
#include <utility>

#include "numeric/fault.hpp"

namespace tarvel {

void PebbleDigraph::reset(std::uint64_t n, std::uint64_t k, std::uint64_t l) {
    const std::size_t nodes = checked_count(n, sizeof(std::vector<std::uint64_t>));
    node_count_ = n;
    k_ = k;
    l_ = l;
    node_slots_.resize(checked_count(checked_product(n, k), sizeof(Arc)));
    body_slots_.clear();
    merged_into_.clear();
    out_count_.assign(nodes, 0);
    entered_in_.assign(nodes, 0);
    closed_in_.assign(nodes, 0);
    met_in_.assign(nodes, 0);
    bodies_of_.resize(nodes);
    for (std::vector<std::uint64_t>& bodies : bodies_of_) bodies.clear();
    search_stamp_ = gather_stamp_ = meet_stamp_ = 0;
}

std::uint64_t PebbleDigraph::outermost(std::uint64_t element) {
    if (!is_body(element)) return element;
    auto parent = [&](std::uint64_t body) -> std::uint64_t& { return merged_into_[body - node_count_]; };
    std::uint64_t top = element;
    while (parent(top) != top) top = parent(top);
    while (parent(element) != top) element = std::exchange(parent(element), top);  // path compression
    return top;
}

std::uint64_t PebbleDigraph::head_of(std::uint64_t element, std::uint64_t slot) {
    Arc& arc = arcs_of(element)[slot];
    arc.head = outermost(arc.head);  // bodies merged since are looked up once
    return arc.head;
}

std::span<const PebbleDigraph::Arc> PebbleDigraph::out_arcs(std::uint64_t element) {
    for (std::uint64_t slot = 0; slot < out_count_[element]; ++slot) head_of(element, slot);
    return {arcs_of(element), static_cast<std::size_t>(out_count_[element])};
}

void PebbleDigraph::cover(std::uint64_t tail, std::uint64_t head, std::uint64_t edge) {
    if (free_pebbles(tail) == 0) raise_fault("pebble game: an edge was covered from a node without a free pebble");
    arcs_of(tail)[out_count_[tail]++] = Arc{head, edge};
}

void PebbleDigraph::enter(std::uint64_t element) {
    entered_in_[element] = search_stamp_;
    visited_.push_back(element);
}

// The stack holds the path start -> ... -> top, each frame at the slot of
// its arc on the path, and `holder` follows top. Every arc is taken out
// first (swapped past its element's last slot) and put back reversed
// afterwards, so no element ever holds more arcs than it has pebbles; each
// element is on the path once, so taking one arc out moves no other path arc.
void PebbleDigraph::reverse_stack_path_to(std::uint64_t holder) {
    last_holder_ = holder;
    for (const Frame& frame : stack_) {
        Arc* arcs = arcs_of(frame.element);
        std::swap(arcs[frame.slot], arcs[out_count_[frame.element] - 1]);
        --out_count_[frame.element];
    }
    // Last frame first: the reversed arc of frame f lands in frame f+1's
    // free slot, where f+1's own taken arc waited until it was read.
    std::uint64_t tail = holder;
    for (auto frame = stack_.rbegin(); frame != stack_.rend(); ++frame) {
        const Arc taken = arcs_of(frame->element)[out_count_[frame->element]];
        arcs_of(tail)[out_count_[tail]++] = Arc{frame->element, taken.edge};
        tail = frame->element;
    }
    stack_.clear();
}

bool PebbleDigraph::pull_pebble(std::uint64_t start, std::uint64_t u, std::uint64_t v) {
    const SearchOutcome outcome = search(start, [&](std::uint64_t element) {
        if (closed_off(element)) return Visit::Skip;
        if (element != u && element != v && free_pebbles(element) > 0) return Visit::TakePebble;
        return Visit::Enter;  // the ends' own pebbles stay, but paths may run through them
    });
    gather_work_ += visited_.size();
    if (outcome == SearchOutcome::MovedPebble) return true;
    // Nothing reachable from here holds a pebble, and later moves reverse
    // paths that avoid these elements: they stay without pebbles for this gather.
    for (const std::uint64_t element : visited_) {
        closed_in_[element] = gather_stamp_;
        closure_.push_back(element);
    }
    return false;
}

std::uint64_t PebbleDigraph::gather(std::uint64_t u, std::uint64_t v, std::uint64_t wanted) {
    ++gather_stamp_;
    gather_work_ = 0;
    closure_.clear();
    for (;;) {
        const std::uint64_t held = free_pebbles(u) + free_pebbles(v);
        if (held >= wanted) return held;
        if (free_pebbles(u) < k_ && !closed_off(u) && pull_pebble(u, u, v)) continue;
        if (free_pebbles(v) < k_ && !closed_off(v) && pull_pebble(v, u, v)) continue;
        // Short: an end that was never searched from holds k pebbles and
        // so has no out-arc; it belongs to the closure all the same.
        for (const std::uint64_t end : {u, v}) {
            if (!closed_off(end)) {
                closed_in_[end] = gather_stamp_;
                closure_.push_back(end);
            }
        }
        return held;
    }
}

std::uint64_t PebbleDigraph::new_body() {
    const std::uint64_t body = element_count();
    body_slots_.resize(body_slots_.size() + l_);
    merged_into_.push_back(body);
    out_count_.push_back(0);
    entered_in_.push_back(0);
    closed_in_.push_back(0);
    met_in_.push_back(0);
    return body;
}

void PebbleDigraph::pin(std::uint64_t node, std::uint64_t body) {
    std::vector<std::uint64_t>& bodies = bodies_of_[node];
    std::erase_if(bodies, [&](std::uint64_t listed) { return outermost(listed) == body; });
    bodies.push_back(body);
    out_count_[node] = 0;
    for (std::uint64_t bar = 0; bar < k_; ++bar) arcs_of(node)[out_count_[node]++] = Arc{body, kPinBar};
}

// The closure is closed under out-arcs, so every arc of its elements stays
// inside it and is dropped, and its only free pebbles are the l held by
// the gather's ends: the new body owns them, and every node of the closure
// spends its k pebbles on the bars that pin it.
void PebbleDigraph::condense_closure() {
    const std::uint64_t body = new_body();
    for (const std::uint64_t element : closure_) {
        if (is_body(element)) {
            merged_into_[element - node_count_] = body;
            out_count_[element] = 0;
        }
    }
    for (const std::uint64_t element : closure_) {
        if (!is_body(element)) pin(element, body);
    }
    closure_.clear();
}

std::span<const std::uint64_t> PebbleDigraph::bodies_of(std::uint64_t node) {
    std::vector<std::uint64_t>& bodies = bodies_of_[node];
    for (std::uint64_t& body : bodies) body = outermost(body);
    if (bodies.size() > 1) {
        std::sort(bodies.begin(), bodies.end());
        bodies.erase(std::unique(bodies.begin(), bodies.end()), bodies.end());
    }
    return bodies;
}

bool PebbleDigraph::share_body(std::uint64_t u, std::uint64_t v) {
    if (bodies_of_[u].empty() || bodies_of_[v].empty()) return false;
    ++meet_stamp_;
    for (const std::uint64_t body : bodies_of(u)) met_in_[body] = meet_stamp_;
    for (const std::uint64_t body : bodies_of(v)) {
        if (met_in_[body] == meet_stamp_) return true;
    }
    return false;
}

}  // namespace tarvel
