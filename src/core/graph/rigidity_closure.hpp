// The closure of a graph in the generic rigidity matroid and its rigid
// components, in the plane and in space, from random infinitesimal motions
// of a generic framework (graph/generic_framework).
//
// A pair of nodes ij is implied when every infinitesimal motion u keeps its
// length to first order: (p_i - p_j) . (u_i - u_j) = 0, i.e. the bar ij
// would be redundant. Two random motions (uniform over the motion space)
// decide each pair; a pair that is not implied passes both with
// probability 1/p^2.
//
// Rigid components: the maximal node sets X of at least two nodes whose
// pairs are all implied; that is, the framework induced on X, with the
// bars the whole graph implies, is rigid. Two share at most d - 1 nodes
// (a joint in the plane, a hinge in space): sets sharing d nodes in general
// position are rigid together. Hence, for an implied pair ij, the nodes
// implied with both i and j fall apart into cliques with no implied pair
// between them, one per component through ij; each component is reported
// once, from its two smallest nodes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"
#include "graph/rigid_components.hpp"

namespace tarvel {

class ImpliedPairs {
public:
    explicit ImpliedPairs(std::uint64_t n);

    std::uint64_t size() const { return n_; }
    bool implied(std::uint64_t i, std::uint64_t j) const { return (row(i)[j >> 6] >> (j & 63)) & 1; }
    void set(std::uint64_t i, std::uint64_t j);
    std::span<const std::uint64_t> row(std::uint64_t i) const { return {bits_.data() + i * words_, words_}; }
    std::uint64_t words() const { return words_; }

private:
    std::uint64_t n_, words_;
    std::vector<std::uint64_t> bits_;  // n x n bits, symmetric, zero diagonal
};

// The implied pairs of the graph in dimension d (2 or 3). O(elimination +
// n^2) time, n^2 / 8 bytes.
ImpliedPairs implied_pairs(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed);

// The rigid components as defined above, in increasing order of their node
// lists; edge_component gives per edge the first component holding both
// ends. O(n^2 (1 + hinges per pair) / 64) beyond implied_pairs.
RigidComponents components_of_closure(const ImpliedPairs& pairs, std::span<const Pair> edges);

}  // namespace tarvel
