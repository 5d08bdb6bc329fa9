// Kruskal's stress-1: how far the distances of reconstructed points are from
// the distances they were made from.
#pragma once

#include <cstddef>

namespace tarvel {

// sqrt(sum (delta - delta_hat)^2 / sum delta^2) over the pairs i < j, row by
// row, with delta the given distance dist[i][j] (the upper triangle of the
// n*n row-major `dist`; the lower one is never read) and delta_hat the
// distance of points i and j of `coords` (n*d row-major, d >= 1); 0.0 when
// the distances are all (nearly) zero.
double kruskal_stress(const double* dist, const double* coords, std::size_t n, std::size_t d);

}  // namespace tarvel
