// The node pairs inside rigid components, listed: in the plane these are
// exactly the pairs whose bar the graph implies (its closure in the
// generic rigidity matroid), since a pair is implied exactly when some
// rigid component holds both nodes.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/rigid_components.hpp"

namespace tarvel {

// Every pair (i, j), i < j, of nodes that share a component, each once,
// flat as i0, j0, i1, j1, ... in increasing order. Components whose node
// lists are ascending and that share at most one node with each other (as
// the plane's do) are merged without a sort of the whole output: O(N log N
// + pairs) time for component lists of total length N, beyond the rows
// where components meet; MemoryRefused when the pairs would take more than
// `byte_limit` bytes.
std::vector<std::int64_t> pairs_within_components(const RigidComponents& components, double byte_limit);

}  // namespace tarvel
