// Double centering: the Gram matrix G = -1/2 H D^2 H of a distance matrix D,
// H = I - (1/n) 11^T, with means formed as the reciprocal of n times sums
// taken left to right from -0.0. Row means stand in for column means, so an
// asymmetric input is centred by its row means on both sides.
#pragma once

#include <cstddef>
#include <vector>

#include "matrix_view.hpp"

namespace tarvel {

// G as n*n row-major doubles, n = dist.rows. Each caller reports a
// non-square `dist` in its own words first; here it is an internal fault.
std::vector<double> double_center(const MatrixView& dist);

// The means a centring used, enough to form any entry of G again bit for
// bit, and whether the distances were found bitwise symmetric (only looked
// for on request).
struct Centring {
    std::vector<double> row_mean;
    double grand_mean = 0.0;
    bool symmetric = false;
};

// The means of the squared distances (n = dist.rows >= 1); `squares`, if
// given (n*n), receives the squares themselves. With `check_symmetry`, also
// whether contiguous rows are bitwise symmetric.
Centring centring_of(const MatrixView& dist, double* squares, bool check_symmetry);

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

private:
    const double* dist_;
    const Centring* centring_;
    std::size_t n_;
};

}  // namespace tarvel
