#include "reconstruction/reconstruct.hpp"

#include <cmath>
#include <cstring>

#include "reconstruction/centering.hpp"
#include "numeric/fault.hpp"
#include "reconstruction/jacobi.hpp"
#include "numeric/large_buffer.hpp"
#include "reconstruction/stress.hpp"

namespace tarvel {

namespace {

// Rows of a strided matrix copied side by side (see copy_rows).
constexpr std::size_t kRowsCopiedTogether = 8;

// out = dist row-major (n = dist.rows = dist.cols). Contiguous rows are
// copied whole; any other layout kRowsCopiedTogether rows at a time, so that a
// column-major input is read along its memory order.
void copy_rows(const MatrixView& dist, double* out) {
    const std::size_t n = dist.rows;
    if (dist.col_stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(out + i * n, dist.data + static_cast<std::ptrdiff_t>(i) * dist.row_stride, n * sizeof(double));
        return;
    }
    std::size_t first = 0;
    for (; first + kRowsCopiedTogether <= n; first += kRowsCopiedTogether)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t l = 0; l < kRowsCopiedTogether; ++l) out[(first + l) * n + j] = dist.at(first + l, j);
    for (; first < n; ++first)
        for (std::size_t j = 0; j < n; ++j) out[first * n + j] = dist.at(first, j);
}

}  // namespace

DistanceCopy::DistanceCopy(const MatrixView& dist) : n_(dist.rows) {
    require_equal(dist.rows, dist.cols, "DistanceCopy: dist.rows == dist.cols");
    values_ = uninitialised_large(checked_product(n_, n_));
    copy_rows(dist, values_.get());
}

Reconstruction reconstruct_coords(DistanceCopy&& dist, std::uint64_t d, double tol) {
    if (d != 2 && d != 3) raise_fault("Only d=2 and d=3 are supported");
    const std::size_t n = dist.size();
    if (n <= d) raise_fault("Need at least d+1 nodes to reconstruct in d dimensions");
    const std::size_t dims = static_cast<std::size_t>(d);

    // G is only the solver's starting matrix: the solver forms its entries
    // from the distances and the means as it reads them. The spread only
    // starts its pivot table.
    Centring centring = centring_for_solver(dist.data(), n, jacobi::kBlock);
    JacobiSolver solver(CentredGram(dist.data(), centring, n), n);
    centring.spread = UpperSpread{};
    solver.run();
    const std::vector<std::size_t> order = solver.descending_order();

    Reconstruction result;
    result.eigenvalues.resize(dims);
    for (std::size_t k = 0; k < dims; ++k) result.eigenvalues[k] = solver.diagonal(order[k]);

    // coords[i][k] = sqrt(lambda_k if lambda_k > 0 else 0) * E[i][k]; a NaN
    // eigenvalue is not positive either.
    result.coords.resize(n * dims);
    solver.rotations().write_columns(order, dims, result.coords.data());
    for (std::size_t k = 0; k < dims; ++k) {
        const double lambda = result.eigenvalues[k];
        const double scale = std::sqrt(lambda > 0.0 ? lambda : 0.0);
        for (std::size_t i = 0; i < n; ++i) result.coords[i * dims + k] = scale * result.coords[i * dims + k];
    }

    result.stress = kruskal_stress(dist.data(), result.coords.data(), n, dims);
    result.is_isometric = result.stress < tol;
    return result;
}

}  // namespace tarvel
