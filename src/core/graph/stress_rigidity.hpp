// Rigidity questions answered by equilibrium stresses of a generic
// framework (graph/generic_framework): global rigidity by the rank of a
// stress matrix, the bars that lie in circuits of the generic rigidity
// matroid, and fundamental circuits. Exact modulo p = 2^61 - 1 at random
// integer positions; the error bounds are stated per function.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"

namespace tarvel {

// Generic global rigidity in dimension d (2 or 3). Below d + 2 nodes: the
// complete graphs are. From d + 2 nodes on: a random equilibrium stress of
// the distinct bars at random positions has a stress matrix of rank
// n - d - 1 (Connelly 2005; Gortler, Healy and Thurston 2010). The stress
// weights are rational functions of the positions, of degree at most
// r + 1 = d n + 1 after clearing denominators, so an (n-d-1)-minor of the
// stress matrix is a polynomial of degree at most (n-d-1)(d n + 1) in the
// positions and weights; by Schwartz-Zippel a wrong answer has
// probability at most about d n^2 / 2^60 (below 3e-10 at n = 10^4 in space),
// assuming, as for generic labels, that the polynomials do not vanish
// identically modulo p. O(elimination of the rigidity matrix + elimination
// of the n x n stress matrix), both sparse in the dissection order.
bool is_globally_rigid_by_stress(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d,
                                 std::uint64_t seed);

struct CircuitBars {
    std::vector<std::uint8_t> in_circuit;  // per bar: 1 when some circuit holds it
    std::uint64_t rank = 0;
};

// The bars on which a random equilibrium stress is non-zero: exactly the
// bars in some circuit (a bar in a circuit gets weight 0 with probability
// 1/p, with the positions' failure as for generic labels). One elimination,
// rows in the column order of their later ends, and one backward pass.
CircuitBars generic_circuit_bars(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d,
                                 std::uint64_t seed);

// The fundamental circuit of bar `bar` with respect to the greedy basis of
// the bars before it: the bars (indices, ascending, `bar` included) where
// the unique stress on that basis and `bar` is non-zero; empty when `bar` is
// independent of the bars before it. InvalidInput for bar >= edges.size().
std::vector<std::uint64_t> generic_fundamental_circuit(std::uint64_t n, std::span<const Pair> edges,
                                                       std::uint64_t bar, std::uint64_t d, std::uint64_t seed);

}  // namespace tarvel
