// A row of the rigidity matrix given by its non-zeros: what a bar's row
// builder produces and what the rank checker takes.
#pragma once

#include <cstdint>

namespace tarvel {

// One non-zero of a row given sparsely; every other column is 0.0.
struct RowEntry {
    std::uint64_t column;
    double value;
};

}  // namespace tarvel
