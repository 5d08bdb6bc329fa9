// Classical multidimensional scaling: double centering, a Jacobi
// eigen-solver and Kruskal's stress-1.
//
// Every result here is reproducible bit for bit: the floating-point operations
// run in one fixed order and grouping (no fused multiply-add, sums left to
// right), however the loops are arranged for speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "matrix_view.hpp"

namespace tarvel {

// G = -1/2 H D^2 H as n*n row-major doubles, n = dist.rows. Each caller
// reports a non-square `dist` in its own words first; here it is an internal
// fault. Row means stand in for column means, so an asymmetric input is
// centred by its row means on both sides.
std::vector<double> double_center(const MatrixView& dist);

struct EigenDecomposition {
    std::vector<double> values;   // n, descending
    std::vector<double> vectors;  // n*n row-major, column k belongs to values[k]
};

// All eigenpairs of a symmetric n*n row-major matrix by the classical Jacobi
// method (each rotation removes the largest off-diagonal entry), at most 500
// rotations; eigenvalues descending, equal ones in diagonal order.
// `a.size()` must be n*n, otherwise an internal fault.
EigenDecomposition jacobi_eigen(const std::vector<double>& a, std::size_t n);

struct Reconstruction {
    std::vector<double> coords;       // n*d row-major
    double stress = 0.0;
    std::vector<double> eigenvalues;  // d leading eigenvalues, unclamped
    bool is_isometric = false;
};

// Kruskal's stress-1 of `coords` (n*d row-major) against the upper triangle
// of `dist` (n*n row-major); 0.0 when the distances are all (nearly) zero.
double kruskal_stress(const std::vector<double>& dist, const std::vector<double>& coords, std::size_t n,
                      std::size_t d);

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

// Classical MDS of the copied distances. Internal faults: "Only d=2 and d=3
// are supported", then "Need at least d+1 nodes to reconstruct in d
// dimensions".
Reconstruction reconstruct_coords(DistanceCopy&& dist, std::uint64_t d, double tol);

// The same for an n*n row-major vector (copied first; `dist.size()` must be
// n*n, otherwise an internal fault after the two checks above).
Reconstruction reconstruct_coords(const std::vector<double>& dist, std::size_t n, std::uint64_t d,
                                  double tol);

}  // namespace tarvel
