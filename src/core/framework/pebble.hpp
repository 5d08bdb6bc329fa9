// The (2,3) pebble game on the complete graph in the plane.
//
// Every node owns two pebbles; an accepted bar is covered by one pebble of
// one of its ends and kept as an edge directed away from that end. A
// candidate bar is accepted when four pebbles can be gathered on its ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framework/node.hpp"

namespace tarvel {

enum class MoveKind : std::uint8_t { Taken, Gained, Reversed };

// One change to the game state, kept so that a rejected candidate can be
// taken back.
struct PebbleMove {
    MoveKind kind;
    std::size_t node;
    std::size_t to = 0;  // only for Reversed: the edge node -> to was turned round
    friend bool operator==(const PebbleMove&, const PebbleMove&) = default;
};

using PebbleCounts = std::vector<std::int32_t>;           // free pebbles per node
using OutEdgeLists = std::vector<std::vector<std::size_t>>;  // out_edges[x] holds w for x -> w
using MoveLog = std::vector<PebbleMove>;

// The nodes entered by one search. Emptying it is O(1) (a new generation),
// so the game can start every search with an empty set at no cost in n.
class VisitedSet {
public:
    explicit VisitedSet(std::size_t node_count) : generation_of_(node_count, 0) {}
    bool contains(std::size_t node) const { return generation_of_[node] == generation_; }
    void insert(std::size_t node) { generation_of_[node] = generation_; }
    void clear();

private:
    std::vector<std::uint32_t> generation_of_;
    std::uint32_t generation_ = 1;
};

class SearchStack;

// Depth-first search for a free pebble reachable from `node` through nodes
// not yet in `visited`. On success the pebble is taken, every edge of the
// path is reversed and the log gains Taken(x) then the Reversed records from
// x back to `node`; the freed pebble is not credited to `node` (the caller
// does that). On failure only `visited` has grown. Edges are tried in list
// order and the first success wins. The path lives on an explicit stack, so
// paths as long as the node count need no C stack; `stack` only lends its
// storage between calls.
bool find_pebble(std::size_t node, VisitedSet& visited, PebbleCounts& pebbles,
                 OutEdgeLists& out_edges, MoveLog& moves, SearchStack& stack);

// The path of a search: a node and the position, in its out-edge list, of the
// edge being tried, per level. Kept between searches only for its storage.
class SearchStack {
private:
    friend bool find_pebble(std::size_t, VisitedSet&, PebbleCounts&, OutEdgeLists&, MoveLog&, SearchStack&);
    struct Frame {
        std::size_t node;
        std::size_t edge;
    };
    std::vector<Frame> frames_;
};

// Takes back a move log, last record first. Counts and edge directions come
// back exactly; a reversed edge comes back at the end of its list. A
// Reversed record whose edge is not in the state is an internal fault.
void undo_moves(const MoveLog& moves, PebbleCounts& pebbles, OutEdgeLists& out_edges);

struct PebbleOutcome {
    std::vector<std::uint8_t> labels;  // one per candidate pair, (0,1), (0,2), ...
    std::vector<Pair> accepted_edges;  // the pairs labelled 1, in candidate order
};

// Plays the game over the candidate pairs of n nodes in lexicographic order.
// Memory beyond the labels is O(n): pairs are generated, not listed.
// "capacity overflow" (InternalFault) or std::bad_alloc when the labels
// cannot be held.
PebbleOutcome play_pebble_game(std::uint64_t n);

}  // namespace tarvel
