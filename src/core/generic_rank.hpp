// Generic rigidity of a graph in the plane and in space, decided exactly: the
// rank of the rigidity matrix at random integer positions, computed modulo a
// prime.
//
// The labels are those of the generic rigidity matroid with high
// probability. They are never too generous: a set of bars labelled 1 has rows
// independent modulo p at integer positions, hence independent over the
// rationals there, hence generically independent. A generically independent
// bar can be labelled 0 only when the positions hit a zero of a fixed
// non-zero polynomial of degree r (an r x r minor of the rigidity matrix,
// r = the rank reached): every coordinate is drawn uniformly from
// {0, ..., 2^60 - 1} and arithmetic is modulo p = 2^61 - 1, so by the
// Schwartz-Zippel lemma this happens with probability at most r / 2^60
// (at most 2.6e-15 for n = 1000 nodes in space, 2.6e-14 for n = 10^4).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"

namespace tarvel {

struct GenericRankResult {
    std::vector<std::uint8_t> labels;  // one per given edge, in order: 1 = its row raised the rank
    std::uint64_t rank = 0;            // number of 1 labels
};

// Greedy labels of the generic rigidity matroid in dimension d (2 or 3) for the
// edges in the given order (repeats allowed: a repeat is dependent), by exact
// elimination modulo a prime at random integer positions drawn from `seed`.
// Once the rank reaches rigid_rank(n, d) (core/graph.hpp) every remaining edge is
// labelled 0 without work. InvalidInput for d outside {2,3} or a bad edge
// (use check_edges from core/graph.hpp); "capacity overflow"/std::bad_alloc for absurd sizes.
GenericRankResult generic_rigidity_labels(std::uint64_t n, std::span<const Pair> edges,
                                          std::uint64_t d, std::uint64_t seed);

}  // namespace tarvel
