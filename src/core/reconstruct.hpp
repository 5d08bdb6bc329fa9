// Classical multidimensional scaling: double centering, a Jacobi
// eigen-solver and Kruskal's stress-1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "matrix_view.hpp"

namespace tarvel {

// G = -1/2 H D^2 H as n*n row-major doubles; `dist` must be square.
std::vector<double> double_center(const MatrixView& dist);

struct EigenDecomposition {
    std::vector<double> values;   // n, descending
    std::vector<double> vectors;  // n*n row-major, column k belongs to values[k]
};

// All eigenpairs of a symmetric n*n row-major matrix, at most 500 rotations.
EigenDecomposition jacobi_eigen(const std::vector<double>& a, std::size_t n);

struct Reconstruction {
    std::vector<double> coords;       // n*d row-major
    double stress = 0.0;
    std::vector<double> eigenvalues;  // d leading eigenvalues
    bool is_isometric = false;
};

// `dist` is the private n*n row-major copy of the distances.
Reconstruction reconstruct_coords(const std::vector<double>& dist, std::size_t n, std::uint64_t d,
                                  double tol);

}  // namespace tarvel
