// Generic rigidity of any graph in the plane (d = 2) or in space (d = 3),
// with the work following its bars rather than its node count: the counts
// that settle a verdict come first, then the graph is reduced (nodes
// without bars dropped, bars at nodes of degree <= d peeled, components
// apart: see graph/reduction.hpp) and only what remains is decided, in
// the plane by the (2, 3) pebble game (Laman's theorem: exact), in space
// by the exact rank modulo a prime (graph/generic_rank.hpp) of each
// component, its nodes numbered within the component.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel {

struct GenericRigidity {
    std::vector<std::uint8_t> labels;  // greedy labels of the generic rigidity matroid, 1 = independent
    std::uint64_t rank = 0;            // the number of 1 labels
    std::uint64_t max_rank = 0;        // rigid_rank(n, d): the rank of a rigid graph on n nodes
    bool is_rigid() const { return rank == max_rank; }
};

// The labels of every bar in the given order. InvalidInput for d outside
// {2, 3} or a bad edge; "capacity overflow" when n*d does not fit 64 bits.
GenericRigidity generic_rigidity(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed);

// Verdicts, each returned as soon as a cheaper test settles it: fewer bars
// than rigid_rank(n, d), a node without bars, or an upper bound on the rank
// of the reduced graph below rigid_rank(n, d).
bool is_generically_rigid(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed);
bool is_generically_minimally_rigid(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d,
                                    std::uint64_t seed);

}  // namespace tarvel
