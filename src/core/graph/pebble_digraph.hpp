// The directed pebble state of a (k, l) pebble game on an edge list, with
// tight node sets condensed into bodies.
//
// Every node owns k pebbles. An accepted edge is covered by one pebble of
// one of its ends and kept as an arc directed away from that end, so a
// node's free pebbles and out-arcs add up to k: the out-arcs fit k slots
// and the free pebbles are counted, not stored. A pebble is brought to a
// node along a directed path from it to a node that holds one, and the
// path is reversed. The state stays valid, and every node that could reach
// a free pebble still can: nodes that reached the path now reach its
// start, which holds the pebble.
//
// A tight node set T (k|T| - l edges among its nodes) is rigid in the
// count: once it is known, the edges inside it no longer matter, only how
// it is held by the rest. It is condensed into a body: one element owning
// l pebbles, to which each of its nodes is pinned by k bars (arcs between
// the node and the body). The counts of every node set that holds T, or
// meets it in one node, are unchanged, so the game accepts exactly the
// same edges, while a search crosses the body in one step instead of
// wandering through T. Nodes stay elements of their own (they are the
// ends of later edges); bodies are merged when a larger tight set holds
// them.
//
// Searches are depth-first on an explicit stack, so paths as long as the
// node count need no C stack. Entering an element first looks at the heads
// of all its arcs for a free pebble, then at their heads: near pebbles are
// taken before any deeper path is tried, which keeps searches and reversed
// paths short.
//
// Storage is laid out for searches that jump across a large graph: every
// element is one fixed-size record of 32-bit words (its two search marks,
// then its arc slots: the arcs first, the free slots marked empty), so
// meeting an element costs one cache miss; a (2, 3) record is 32 bytes,
// aligned. An entered element's heads are prefetched together, and so are
// the heads of those the look-ahead may enter next. Arcs name accepted
// edges by their acceptance number; the edge list index is looked up only
// by readers of single edges (edge_of).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "numeric/interrupt.hpp"
#include "numeric/large_buffer.hpp"

namespace tarvel {

class PebbleDigraph {
public:
    // Elements 0 .. n-1 are the nodes, n, n+1, ... the bodies.
    struct Arc {
        std::uint32_t head;  // the element it points to (a merged body stands for its union)
        std::uint32_t edge;  // the acceptance number of its edge, kPinBar for a bar pinning a node to a body
    };
    static constexpr std::uint32_t kPinBar = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::uint32_t kNoArc = std::numeric_limits<std::uint32_t>::max();  // the head of an empty slot

    // What a search does with an element it meets along an arc.
    enum class Visit : std::uint8_t {
        Skip,        // do not enter it
        Enter,       // search on from it
        TakePebble,  // move one of its free pebbles to the start
        Stop,        // end the search: the start reaches something wanted
    };
    enum class SearchOutcome : std::uint8_t { Failed, MovedPebble, Stopped };

    // n nodes owning k free pebbles each, no arc, no body; bodies of a later
    // condense() own l. Storage is kept for reuse. CapacityOverflow when the
    // elements or the k n accepted edges would not fit 32-bit indices, or
    // the records not memory; std::bad_alloc when they cannot be held.
    void reset(std::uint64_t n, std::uint64_t k, std::uint64_t l);

    std::uint64_t node_count() const { return node_count_; }
    std::uint64_t element_count() const { return element_count_; }
    bool is_body(std::uint64_t element) const { return element >= node_count_; }
    std::uint64_t k() const { return k_; }
    std::uint64_t free_pebbles(std::uint64_t element) const { return capacity(element) - out_count(element); }
    // The arcs fill the first slots, so the last slot a pebble can cover tells.
    bool has_free_pebble(std::uint64_t element) const {
        const std::uint64_t slots = capacity(element);
        return slots > 0 && arcs_of(element)[slots - 1].head == kNoArc;
    }
    // The out-arcs of a node or of a body that is no part of a larger one.
    std::span<const Arc> out_arcs(std::uint64_t element);
    // The edge list index of the edge an arc covers (not a pin bar).
    std::uint64_t edge_of(const Arc& arc) const { return edge_index_[arc.edge]; }

    // Covers `edge` = (tail, head), two nodes, with a free pebble of `tail`;
    // InternalFault when tail has none.
    void cover(std::uint64_t tail, std::uint64_t head, std::uint64_t edge);

    // Depth-first search from `start` along out-arcs, each element entered
    // at most once; `classify(element)` decides about every element met
    // that this search has not entered yet (never `start` itself). On
    // TakePebble the path is reversed and `start` gains the pebble.
    // visited() lists the elements entered, `start` first.
    template <class Classify>
    SearchOutcome search(std::uint64_t start, Classify&& classify);
    std::span<const std::uint32_t> visited() const { return visited_; }

    // Brings free pebbles onto the two nodes u != v until they hold `wanted`
    // together (at most k each) or no more can be reached, and returns the
    // number they hold. When it falls short, closure() lists u, v and every
    // element reachable from them: a tight set whose only free pebbles are
    // those of u and v.
    std::uint64_t gather(std::uint64_t u, std::uint64_t v, std::uint64_t wanted);
    std::span<const std::uint32_t> closure() const { return closure_; }
    // Elements the searches of the last gather entered, and the last node
    // that held a pebble they took.
    std::uint64_t gather_work() const { return gather_work_; }
    std::uint64_t last_pebble_holder() const { return last_holder_; }

    // Condenses the closure of the last gather that fell short into one
    // body: its bodies merge, its nodes are pinned to the new body, which
    // takes over the l free pebbles.
    void condense_closure();

    // True when u and v are pinned to one body: the edge (u, v) lies in a
    // tight set.
    bool share_body(std::uint64_t u, std::uint64_t v);

private:
    // A record: one header cell {entered stamp, closed stamp}, then `slots_`
    // arc cells.
    static constexpr std::uint64_t kMarks = 1;
    struct Frame {
        std::uint32_t element;
        std::uint32_t slot;  // the out-arc being tried
    };
    enum class Stamp : std::uint8_t { Entered, Closed, Met };

    void reserve_records(std::uint64_t elements);
    Arc* record(std::uint64_t element) { return records_.data() + element * stride_; }
    const Arc* record(std::uint64_t element) const { return records_.data() + element * stride_; }
    Arc* arcs_of(std::uint64_t element) { return record(element) + kMarks; }
    const Arc* arcs_of(std::uint64_t element) const { return record(element) + kMarks; }
    std::uint32_t out_count(std::uint64_t element) const {
        const Arc* arcs = arcs_of(element);
        std::uint32_t count = 0;
        while (count < slots_ && arcs[count].head != kNoArc) ++count;
        return count;
    }
    void add_arc(std::uint64_t tail, Arc arc) { arcs_of(tail)[out_count(tail)] = arc; }
    Arc take_arc(std::uint64_t tail, std::uint64_t slot);
    void clear_arcs(std::uint64_t element);
    std::uint32_t& mark(std::uint64_t element, Stamp which);
    std::uint32_t next_stamp(Stamp which);
    void prefetch_heads(std::uint64_t element) const;

    std::uint64_t capacity(std::uint64_t element) const { return is_body(element) ? l_ : k_; }
    std::uint64_t outermost(std::uint64_t element);
    std::uint64_t head_of(std::uint64_t element, std::uint64_t slot);
    void enter(std::uint64_t element);
    bool entered(std::uint64_t element) const { return record(element)[0].head == search_stamp_; }
    void reverse_stack_path_to(std::uint64_t holder);
    bool pull_pebble(std::uint64_t start, std::uint64_t u, std::uint64_t v);
    bool closed_off(std::uint64_t element) const { return record(element)[0].edge == gather_stamp_; }
    std::uint64_t new_body();
    void pin(std::uint64_t node, std::uint64_t body);
    std::span<const std::uint32_t> bodies_of(std::uint64_t node);  // each once

    std::uint64_t node_count_ = 0, element_count_ = 0, k_ = 0, l_ = 0, slots_ = 0, stride_ = 0;
    WorkingArray<Arc> records_;               // element * stride_ ..: marks, then arcs; room for more bodies
    std::vector<std::uint64_t> edge_index_;   // per acceptance number: the edge list index
    std::vector<std::uint32_t> merged_into_;  // per body: itself, or the body it was merged into
    std::vector<std::uint32_t> met_in_;       // per body: the stamp of the last share_body that met it
    std::vector<std::vector<std::uint32_t>> bodies_of_;  // per node: the bodies it was pinned to
    std::uint32_t search_stamp_ = 0, gather_stamp_ = 0, meet_stamp_ = 0;
    std::uint64_t gather_work_ = 0, last_holder_ = 0;
    std::vector<Frame> stack_;
    std::vector<std::uint32_t> path_edges_;  // the acceptance numbers along a path being reversed
    std::vector<std::uint32_t> visited_;
    std::vector<std::uint32_t> closure_;
};

template <class Classify>
PebbleDigraph::SearchOutcome PebbleDigraph::search(std::uint64_t start, Classify&& classify) {
    next_stamp(Stamp::Entered);
    visited_.clear();
    stack_.clear();
    // Entering an element looks at the heads of all its arcs first (their
    // records are fetched together): a pebble one arc away ends the search
    // before any deeper path is tried. Meanwhile the heads of the heads it
    // may enter next are fetched.
    const auto enter_and_look_ahead = [&](std::uint64_t element) -> std::optional<SearchOutcome> {
        enter(element);
        stack_.push_back({static_cast<std::uint32_t>(element), 0});
        const std::uint32_t count = out_count(element);
        for (std::uint32_t slot = 0; slot < count; ++slot) {
            const std::uint64_t ahead = head_of(element, slot);
            if (entered(ahead)) continue;
            const Visit verdict = classify(ahead);
            if (verdict == Visit::Enter) {
                prefetch_heads(ahead);
            } else if (verdict == Visit::TakePebble) {
                stack_.back().slot = slot;
                reverse_stack_path_to(ahead);
                return SearchOutcome::MovedPebble;
            } else if (verdict == Visit::Stop) {
                return SearchOutcome::Stopped;
            }
        }
        // Then two arcs ahead (those records are on their way): a pebble
        // behind a head the search may enter is taken through that head.
        for (std::uint32_t slot = 0; slot < count; ++slot) {
            const std::uint64_t ahead = head_of(element, slot);
            if (entered(ahead) || classify(ahead) != Visit::Enter) continue;
            const std::uint32_t behind_count = out_count(ahead);
            for (std::uint32_t behind_slot = 0; behind_slot < behind_count; ++behind_slot) {
                const std::uint64_t behind = head_of(ahead, behind_slot);
                if (entered(behind) || classify(behind) != Visit::TakePebble) continue;
                stack_.back().slot = slot;
                enter(ahead);
                stack_.push_back({static_cast<std::uint32_t>(ahead), behind_slot});
                reverse_stack_path_to(behind);
                return SearchOutcome::MovedPebble;
            }
        }
        return std::nullopt;
    };
    if (const auto outcome = enter_and_look_ahead(start)) return *outcome;
    while (!stack_.empty()) {
        check_interrupt();
        Frame& top = stack_.back();
        if (top.slot == out_count(top.element)) {  // nothing behind any arc of this element
            stack_.pop_back();
            if (!stack_.empty()) ++stack_.back().slot;
            continue;
        }
        const std::uint64_t next = head_of(top.element, top.slot);
        if (entered(next) || classify(next) != Visit::Enter) {  // pebbles and stops were taken when looking ahead
            ++top.slot;
            continue;
        }
        if (const auto outcome = enter_and_look_ahead(next)) return *outcome;
    }
    return SearchOutcome::Failed;
}

}  // namespace tarvel
