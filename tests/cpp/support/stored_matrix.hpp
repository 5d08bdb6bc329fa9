// The production eigen-solver on any matrix given by its n*n row-major
// values, not only on the Gram matrices a reconstruction forms: how the
// tests reach every path of the solver (ties, NaN, asymmetric input, the
// budget) and compare it with the reference.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "reconstruction/jacobi.hpp"
#include "support/eigen_decomposition.hpp"

namespace tarvel {

class StoredMatrix {
public:
    StoredMatrix(const double* values, std::size_t n) : values_(values), n_(n) {}

    double at(std::size_t i, std::size_t j) const { return values_[i * n_ + j]; }
    const double* source_of(std::size_t i, std::size_t j) const { return values_ + i * n_ + j; }
    void row_part(std::size_t i, std::size_t from, std::size_t to, double* out) const {
        std::copy(values_ + i * n_ + from, values_ + i * n_ + to, out);
    }
    bool column(std::size_t, double*) const { return false; }  // gathered entry by entry
    bool block_maxima(std::size_t, std::size_t, std::size_t, double*) const { return false; }  // rows scanned

private:
    const double* values_;
    std::size_t n_;
};

// All eigenpairs of `a` (n*n row-major) by the production solver.
inline EigenDecomposition jacobi_eigen(const std::vector<double>& a, std::size_t n) {
    if (a.size() != n * n) throw std::invalid_argument("jacobi_eigen: a.size() != n * n");
    JacobiSolver solver(StoredMatrix(a.data(), n), n);
    solver.run();
    const std::vector<std::size_t> order = solver.descending_order();
    EigenDecomposition result;
    for (const std::size_t k : order) result.values.push_back(solver.diagonal(k));
    result.vectors.resize(n * n);
    solver.rotations().write_columns(order, n, result.vectors.data());
    return result;
}

}  // namespace tarvel
