// Classical multidimensional scaling: coordinates of n nodes in d = 2 or 3
// dimensions from their distances, by double centering (centering), the
// Jacobi eigen-solver (jacobi) and Kruskal's stress-1 (stress).
//
// Every result here is reproducible bit for bit: the floating-point operations
// run in one fixed order and grouping (no fused multiply-add, sums left to
// right), however the loops are arranged for speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "numeric/matrix_view.hpp"

namespace tarvel {

struct Reconstruction {
    std::vector<double> coords;       // n*d row-major
    double stress = 0.0;
    std::vector<double> eigenvalues;  // d leading eigenvalues, unclamped
    bool is_isometric = false;
};

// The private row-major copy of an n*n distance matrix that
// reconstruct_coords works on. Making it only reads the view (so it can run
// while the caller still guards the source); all numeric work happens later,
// on the copy alone. A non-square view is an internal fault: callers report
// it in their own words first.
class DistanceCopy {
public:
    explicit DistanceCopy(const MatrixView& dist);

    std::size_t size() const { return n_; }  // n
    const double* data() const { return values_.get(); }

private:
    std::size_t n_;
    std::unique_ptr<double[]> values_;  // huge-page backed, no zero fill
};

// Classical MDS of the copied distances: the d leading eigenpairs of their
// Gram matrix, coordinates sqrt(max(lambda, 0)) times the eigenvectors, the
// stress of those against the distances and whether it is below `tol`.
// Internal faults: "Only d=2 and d=3 are supported", then "Need at least d+1
// nodes to reconstruct in d dimensions".
Reconstruction reconstruct_coords(DistanceCopy&& dist, std::uint64_t d, double tol);

}  // namespace tarvel
