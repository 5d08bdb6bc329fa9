#include "graph/pebble_digraph.hpp"

#include <algorithm>
#include <utility>

#include "numeric/fault.hpp"
#include "numeric/large_buffer.hpp"

namespace tarvel {

namespace {

constexpr std::uint64_t kIndexLimit = PebbleDigraph::kPinBar;  // 32-bit indices, the top value reserved

// Counts past 32-bit indices are refused as addressing overflows: their
// records would not fit this machine's memory anyway.
void require_index_room(std::uint64_t count) {
    if (count >= kIndexLimit) raise_capacity_overflow();
}

}  // namespace

void PebbleDigraph::reset(std::uint64_t n, std::uint64_t k, std::uint64_t l) {
    require_index_room(n);
    require_index_room(checked_product(k, n));  // the most edges a sparse set holds
    node_count_ = n;
    element_count_ = n;
    k_ = k;
    l_ = l;
    slots_ = std::max(k, l);
    stride_ = kMarks + slots_;
    element_count_ = 0;  // nothing to keep when the records grow
    reserve_records(n + n / 8);  // room for the bodies of a typical game
    element_count_ = n;
    for (std::uint64_t element = 0; element < n; ++element) {
        mark(element, Stamp::Entered) = mark(element, Stamp::Closed) = 0;
        clear_arcs(element);
    }
    edge_index_.clear();
    merged_into_.clear();
    met_in_.clear();
    bodies_of_.resize(checked_count(n, sizeof(std::vector<std::uint32_t>)));
    for (std::vector<std::uint32_t>& bodies : bodies_of_) bodies.clear();
    search_stamp_ = gather_stamp_ = meet_stamp_ = 0;
}

// Searches jump across all records at random: working memory is aligned
// (a record never straddles two cache lines when its size divides 64) and
// on huge pages, which miss the TLB far less often.
void PebbleDigraph::reserve_records(std::uint64_t elements) {
    const std::size_t cells = checked_count(checked_product(elements, stride_), sizeof(Arc));
    if (cells <= records_.size()) return;
    WorkingArray<Arc> larger(std::max<std::uint64_t>(cells, checked_product(records_.size(), 2)));
    std::copy(records_.data(), records_.data() + element_count_ * stride_, larger.data());
    records_ = std::move(larger);
}

std::uint32_t& PebbleDigraph::mark(std::uint64_t element, Stamp which) {
    switch (which) {
        case Stamp::Entered: return record(element)[0].head;
        case Stamp::Closed: return record(element)[0].edge;
        case Stamp::Met: break;
    }
    return met_in_[element - node_count_];
}

// Stamps tell this search's marks from older ones; when one wraps around,
// the old marks are cleared so that none is taken for a new one.
std::uint32_t PebbleDigraph::next_stamp(Stamp which) {
    std::uint32_t& stamp = which == Stamp::Entered ? search_stamp_ : which == Stamp::Closed ? gather_stamp_ : meet_stamp_;
    if (++stamp == 0) {
        if (which == Stamp::Met) {
            std::fill(met_in_.begin(), met_in_.end(), 0);
        } else {
            for (std::uint64_t element = 0; element < element_count_; ++element) mark(element, which) = 0;
        }
        stamp = 1;
    }
    return stamp;
}

void PebbleDigraph::prefetch_heads(std::uint64_t element) const {
    const Arc* arcs = arcs_of(element);
    for (std::uint64_t slot = 0; slot < slots_ && arcs[slot].head != kNoArc; ++slot) {
        __builtin_prefetch(record(arcs[slot].head));
    }
}

PebbleDigraph::Arc PebbleDigraph::take_arc(std::uint64_t tail, std::uint64_t slot) {
    Arc* arcs = arcs_of(tail);
    const std::uint64_t last = out_count(tail) - 1;
    const Arc taken = arcs[slot];
    arcs[slot] = arcs[last];
    arcs[last] = Arc{kNoArc, 0};
    return taken;
}

void PebbleDigraph::clear_arcs(std::uint64_t element) {
    std::fill(arcs_of(element), arcs_of(element) + slots_, Arc{kNoArc, 0});
}

std::uint64_t PebbleDigraph::outermost(std::uint64_t element) {
    if (!is_body(element)) return element;
    auto parent = [&](std::uint64_t body) -> std::uint32_t& { return merged_into_[body - node_count_]; };
    std::uint64_t top = element;
    while (parent(top) != top) top = parent(top);
    while (parent(element) != top) element = std::exchange(parent(element), static_cast<std::uint32_t>(top));  // path compression
    return top;
}

std::uint64_t PebbleDigraph::head_of(std::uint64_t element, std::uint64_t slot) {
    Arc& arc = arcs_of(element)[slot];
    if (is_body(arc.head)) arc.head = static_cast<std::uint32_t>(outermost(arc.head));  // bodies merged since are looked up once
    return arc.head;
}

std::span<const PebbleDigraph::Arc> PebbleDigraph::out_arcs(std::uint64_t element) {
    for (std::uint64_t slot = 0; slot < out_count(element); ++slot) head_of(element, slot);
    return {arcs_of(element), static_cast<std::size_t>(out_count(element))};
}

void PebbleDigraph::cover(std::uint64_t tail, std::uint64_t head, std::uint64_t edge) {
    if (free_pebbles(tail) == 0) raise_fault("pebble game: an edge was covered from a node without a free pebble");
    const auto number = static_cast<std::uint32_t>(edge_index_.size());  // < k n by the sparsity count
    edge_index_.push_back(edge);
    add_arc(tail, Arc{static_cast<std::uint32_t>(head), number});
}

void PebbleDigraph::enter(std::uint64_t element) {
    mark(element, Stamp::Entered) = search_stamp_;
    visited_.push_back(static_cast<std::uint32_t>(element));
    prefetch_heads(element);
}

// The stack holds the path start -> ... -> top, each frame at the slot of
// its arc on the path, and `holder` follows top. Every arc is taken out
// first and put back reversed afterwards, so no element ever holds more
// arcs than it has pebbles; each element is on the path once, so taking
// one arc out moves no other path arc.
void PebbleDigraph::reverse_stack_path_to(std::uint64_t holder) {
    last_holder_ = holder;
    path_edges_.clear();
    for (const Frame& frame : stack_) path_edges_.push_back(take_arc(frame.element, frame.slot).edge);
    std::uint64_t tail = holder;
    for (std::size_t f = stack_.size(); f-- > 0;) {
        add_arc(tail, Arc{stack_[f].element, path_edges_[f]});
        tail = stack_[f].element;
    }
    stack_.clear();
}

bool PebbleDigraph::pull_pebble(std::uint64_t start, std::uint64_t u, std::uint64_t v) {
    const SearchOutcome outcome = search(start, [&](std::uint64_t element) {
        if (closed_off(element)) return Visit::Skip;
        if (element != u && element != v && has_free_pebble(element)) return Visit::TakePebble;
        return Visit::Enter;  // the ends' own pebbles stay, but paths may run through them
    });
    gather_work_ += visited_.size();
    if (outcome == SearchOutcome::MovedPebble) return true;
    // Nothing reachable from here holds a pebble, and later moves reverse
    // paths that avoid these elements: they stay without pebbles for this gather.
    for (const std::uint32_t element : visited_) {
        mark(element, Stamp::Closed) = gather_stamp_;
        closure_.push_back(element);
    }
    return false;
}

std::uint64_t PebbleDigraph::gather(std::uint64_t u, std::uint64_t v, std::uint64_t wanted) {
    next_stamp(Stamp::Closed);
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
                mark(end, Stamp::Closed) = gather_stamp_;
                closure_.push_back(static_cast<std::uint32_t>(end));
            }
        }
        return held;
    }
}

std::uint64_t PebbleDigraph::new_body() {
    const std::uint64_t body = element_count_;
    require_index_room(body + 1);
    reserve_records(body + 1);
    mark(body, Stamp::Entered) = mark(body, Stamp::Closed) = 0;
    clear_arcs(body);
    merged_into_.push_back(static_cast<std::uint32_t>(body));
    met_in_.push_back(0);
    ++element_count_;
    return body;
}

void PebbleDigraph::pin(std::uint64_t node, std::uint64_t body) {
    std::vector<std::uint32_t>& bodies = bodies_of_[node];
    std::erase_if(bodies, [&](std::uint32_t listed) { return outermost(listed) == body; });
    bodies.push_back(static_cast<std::uint32_t>(body));
    clear_arcs(node);
    std::fill(arcs_of(node), arcs_of(node) + k_, Arc{static_cast<std::uint32_t>(body), kPinBar});
}

// The closure is closed under out-arcs, so every arc of its elements stays
// inside it and is dropped, and its only free pebbles are the l held by
// the gather's ends: the new body owns them, and every node of the closure
// spends its k pebbles on the bars that pin it.
void PebbleDigraph::condense_closure() {
    const std::uint64_t body = new_body();
    for (const std::uint32_t element : closure_) {
        if (is_body(element)) {
            merged_into_[element - node_count_] = static_cast<std::uint32_t>(body);
            clear_arcs(element);
        }
    }
    for (const std::uint32_t element : closure_) {
        if (!is_body(element)) pin(element, body);
    }
    closure_.clear();
}

std::span<const std::uint32_t> PebbleDigraph::bodies_of(std::uint64_t node) {
    std::vector<std::uint32_t>& bodies = bodies_of_[node];
    for (std::uint32_t& body : bodies) body = static_cast<std::uint32_t>(outermost(body));
    if (bodies.size() > 1) {
        std::sort(bodies.begin(), bodies.end());
        bodies.erase(std::unique(bodies.begin(), bodies.end()), bodies.end());
    }
    return bodies;
}

bool PebbleDigraph::share_body(std::uint64_t u, std::uint64_t v) {
    if (bodies_of_[u].empty() || bodies_of_[v].empty()) return false;
    const std::uint32_t stamp = next_stamp(Stamp::Met);
    for (const std::uint32_t body : bodies_of(u)) mark(body, Stamp::Met) = stamp;
    for (const std::uint32_t body : bodies_of(v)) {
        if (mark(body, Stamp::Met) == stamp) return true;
    }
    return false;
}

}  // namespace tarvel
