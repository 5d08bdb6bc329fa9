// Double centering: the Gram matrix G = -1/2 H D^2 H of a distance matrix D,
// H = I - (1/n) 11^T, with means formed as the reciprocal of n times sums
// taken left to right from -0.0. Row means stand in for column means, so an
// asymmetric input is centred by its row means on both sides.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "numeric/matrix_view.hpp"

namespace tarvel {

// G as n*n row-major doubles, n = dist.rows. Each caller reports a
// non-square `dist` in its own words first; here it is an internal fault.
std::vector<double> double_center(const MatrixView& dist);

// How far the Gram matrix's upper triangle spreads within blocks of
// columns, gathered while the distances are centred. For row i and each
// block b of `width` columns holding some of its entries j > i: the least
// and the greatest (D^2[i][j] - r[i]) - r[j], the entry before the grand
// mean is added and the sum halved, NaN left out (a block of NaN only has
// low > high). Those last two steps are monotone, so the largest |G[i][j]|
// of a block is that of its low or of its high end.
struct UpperSpread {
    std::size_t width = 0;                // columns per block; 0 if not gathered
    std::unique_ptr<double[]> low, high;  // [b * n + i]
};

// The means a centring used, enough to form any entry of G again bit for
// bit; for a reconstruction's solver also whether the distances are
// bitwise symmetric and the spread of G's upper triangle.
struct Centring {
    std::vector<double> row_mean;
    double grand_mean = 0.0;
    bool symmetric = false;
    UpperSpread spread;
};

// The means of the squared distances (n = dist.rows >= 1); `squares`, if
// given (n*n), receives the squares themselves.
Centring centring_of(const MatrixView& dist, double* squares);

// The centring a reconstruction's solver starts from: the means of the n*n
// row-major `dist` (n >= 1), whether it is bitwise symmetric, and the
// spread of G's upper triangle by blocks of `width` columns, all in one
// pass over the distances.
Centring centring_for_solver(const double* dist, std::size_t n, std::size_t width);

// The Gram matrix of an n*n row-major distance matrix, formed entry by entry
// from the distances and the means of their centring, so that it never takes
// n*n doubles of its own (the same operations as double centering, so the
// same bits). A reconstruction's eigen-solver starts from it; only ever read.
class CentredGram {
public:
    CentredGram(const double* dist, const Centring& centring, std::size_t n)
        : dist_(dist), centring_(&centring), n_(n) {}

    double at(std::size_t i, std::size_t j) const {
        const double value = dist_[i * n_ + j];
        const double* row_mean = centring_->row_mean.data();
        return (((value * value - row_mean[i]) - row_mean[j]) + centring_->grand_mean) * -0.5;
    }

    // Where at(i, j) reads from, to fetch it ahead.
    const double* source_of(std::size_t i, std::size_t j) const { return dist_ + i * n_ + j; }

    // out[j - from] = at(i, j) for from <= j < to.
    void row_part(std::size_t i, std::size_t from, std::size_t to, double* out) const;

    // Column j into out[0 .. n), if it can be formed along a row: G of
    // bitwise symmetric distances, whose column j comes from row j of the
    // distances (G itself is not symmetric bit for bit: r[i] and r[j] are
    // subtracted in the other order). False otherwise.
    bool column(std::size_t j, double* out) const;

    // out[i] = the largest |G[i][j]| over the columns j > i of block b
    // (`width` columns) for i < rows, -1.0 if all of them are NaN, from the
    // spread alone; false (and nothing written) if the spread was not
    // gathered for blocks of that width.
    bool block_maxima(std::size_t b, std::size_t width, std::size_t rows, double* out) const;

private:
    const double* dist_;
    const Centring* centring_;
    std::size_t n_;
};

}  // namespace tarvel
