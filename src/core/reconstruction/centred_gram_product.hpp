// The product of the Gram matrix of a distance matrix with a block of
// vectors, Y = B X with B = -1/2 H (D∘D) H and H = I - (1/n) 11^T, without
// forming B: classical MDS needs only a few leading eigenvectors of B, and
// an eigen-solver that only multiplies by B reads the n*n distances once
// per product and needs no n*n memory of its own.
#pragma once

#include <cstddef>

namespace tarvel {

// `dist` is n*n row-major; `block` and `product` are n*width row-major
// (width >= 1) and must not overlap. Entries of D are squared as read.
void centred_gram_product(const double* dist, std::size_t n, const double* block, std::size_t width,
                          double* product);

}  // namespace tarvel
