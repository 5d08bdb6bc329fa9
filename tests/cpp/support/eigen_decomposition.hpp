// All eigenpairs of an n*n matrix, as the tests compare them.
#pragma once

#include <vector>

namespace tarvel {

struct EigenDecomposition {
    std::vector<double> values;   // n, descending
    std::vector<double> vectors;  // n*n row-major, column k belongs to values[k]
};

}  // namespace tarvel
