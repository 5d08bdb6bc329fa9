// Python results built from the core's records.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/node.hpp"
#include "bindings/common/ref.hpp"

namespace tarvel::py {

Ref to_python_int(std::uint64_t value);
Ref to_python_bool(bool value);
Ref to_python_float(double value);

// One shared 2-tuple per candidate pair of an n-node graph. A batch lists
// the same pairs in graph after graph: sharing the (immutable) tuples saves
// most of the objects it would otherwise allocate and the collector would
// have to scan.
class EdgeTuples {
public:
    explicit EdgeTuples(std::uint64_t n_nodes);
    Ref tuple_for(const Pair& edge);

private:
    std::uint64_t n_nodes_;
    std::vector<Ref> cache_;  // by candidate position; empty when too large to keep
};

// [(i, j), ...] of Python ints, taking the tuples from `shared` when given.
Ref edge_list(std::span<const Pair> edges, EdgeTuples* shared = nullptr);

// Inserts `value` under `key`; keys keep their insertion order.
void set_item(const Ref& dict, const char* key, Ref value);

struct SimulationOutcome {
    std::uint64_t n_nodes;
    std::uint64_t d;
    std::vector<Pair> accepted_edges;
    std::vector<std::uint8_t> labels;
    std::vector<double> distance_matrix;  // n_nodes x n_nodes, row-major
    std::uint64_t final_rank;
    std::uint64_t max_rank;
};

// The result dictionary of a simulation. Takes the buffers over: the label
// and distance buffers become the arrays' memory without a copy.
Ref make_result_dict(SimulationOutcome&& outcome, EdgeTuples* shared = nullptr);

}  // namespace tarvel::py
