// Python results built from the core's records.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/ref.hpp"
#include "framework/node.hpp"
#include "framework/simulation.hpp"

namespace tarvel::py {


// One shared 2-tuple per candidate pair of an n-node graph. A batch lists
// the same pairs in graph after graph: sharing the (immutable) tuples saves
// most of the objects it would otherwise allocate and the collector would
// have to scan.
class EdgeTuples {
public:
    explicit EdgeTuples(std::uint64_t n_nodes);
    // The tuple of `pair`, the candidate at `position` in candidate order.
    Ref tuple_for(const Pair& pair, std::uint64_t position);

private:
    std::vector<Ref> cache_;  // by candidate position; empty when too large to keep
};

// [(i, j), ...] of Python ints.
Ref edge_list(std::span<const Pair> edges);


// The result dictionary of a simulation, its accepted edges the candidate
// pairs labelled 1 (tuples from `shared` when given). Takes the buffers
// over: the label and distance buffers become the arrays' memory without a
// copy.
Ref make_result_dict(SimulationResult&& result, EdgeTuples* shared = nullptr);

}  // namespace tarvel::py
