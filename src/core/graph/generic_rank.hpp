// Generic rigidity of a graph in the plane and in space, decided exactly: the
// rank of the rigidity matrix at random integer positions, computed modulo a
// prime.
//
// How sure the labels are. They are those of the generic rigidity matroid
// with high probability, and never too generous: the bars labelled 1 have
// rows independent modulo p at integer positions, hence independent over the
// rationals there, hence at generic positions. The opposite error, a
// generically independent bar labelled 0, needs the positions to be a zero of
// one non-zero polynomial of degree r, a minor of the rigidity matrix of the
// r bars that generic positions would accept. Every coordinate is drawn
// uniformly from {0, ..., 2^60 - 1} and the arithmetic is exact modulo the
// prime p = 2^61 - 1, so by the Schwartz-Zippel lemma some label is wrong
// with probability at most r / 2^60 <= d*n / 2^60: below 3e-15 for n = 1000
// nodes in space, below 3e-14 for n = 10^4. The lemma applies modulo p when
// that minor has an integer coefficient that is not a multiple of p: always
// in the plane (Laman's count decides generic independence over every field),
// assumed in space.
//
// Positions: coordinate `axis` of node v is
// splitmix64(splitmix64(splitmix64(seed) ^ v) ^ axis) >> 4, so the same
// edges and seed give the same labels on every machine.
//
// One trial with one large prime, because the work is sparse: the rows go
// through the sparse elimination of graph/generic_framework, whose columns
// follow a nested dissection of the graph. A prime below 2^26, whose
// products can be summed in 64 bits without reduction, made one elimination
// 2.1 times faster but needs three independent trials to reach 1e-12 at
// n = 1000 and four at n = 10^4.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"

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
