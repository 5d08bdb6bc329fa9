// Python results built from the core's records.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/node.hpp"
#include "ref.hpp"

namespace tarvel::py {

Ref to_python_int(std::uint64_t value);
Ref to_python_bool(bool value);
Ref to_python_float(double value);

// [(i, j), ...] of Python ints.
Ref edge_list(std::span<const Pair> edges);

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
Ref make_result_dict(SimulationOutcome&& outcome);

}  // namespace tarvel::py
