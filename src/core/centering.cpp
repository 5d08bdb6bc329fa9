#include "centering.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "fault.hpp"
#include "large_buffer.hpp"

namespace tarvel {

namespace {

// Rows squared and summed together; each row keeps its own left-to-right
// chain, the chains just run side by side.
constexpr std::size_t kRowsPerPass = 8;

// Stores the mean of the squares of each of rows [first, first + Rows) of
// `dist` (the sum from -0.0, left to right, times the reciprocal) and, if
// `d2` is given, the squares themselves.
template <std::size_t Rows>
void square_row_block(const MatrixView& dist, std::size_t first, double recip, double* d2, double* row_mean) {
    const std::size_t n = dist.rows;
    const char* row_start[Rows];
    double* out[Rows];
    double sum[Rows];
    for (std::size_t l = 0; l < Rows; ++l) {
        row_start[l] = dist.data + static_cast<std::ptrdiff_t>(first + l) * dist.row_stride;
        out[l] = d2 != nullptr ? d2 + (first + l) * n : nullptr;
        sum[l] = -0.0;
    }
    for (std::size_t j = 0; j < n; ++j) {
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(j) * dist.col_stride;
        for (std::size_t l = 0; l < Rows; ++l) {
            double value;
            std::memcpy(&value, row_start[l] + offset, sizeof value);
            const double square = value * value;
            if (d2 != nullptr) out[l][j] = square;
            sum[l] = sum[l] + square;
        }
    }
    for (std::size_t l = 0; l < Rows; ++l) row_mean[first + l] = sum[l] * recip;
}

// G[i][j] = (((D2[i][j] - r[i]) - r[j]) + g) * -0.5, in place over D2.
// Element-wise, so vectorising it changes no bit.
void center_in_place(double* __restrict g, const double* __restrict row_mean, double grand_mean, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        double* __restrict row = g + i * n;
        const double ri = row_mean[i];
        for (std::size_t j = 0; j < n; ++j) row[j] = (((row[j] - ri) - row_mean[j]) + grand_mean) * -0.5;
    }
}

// G's row i straight from the distances of row i (contiguous, possibly
// unaligned): the square is formed again exactly as in the mean pass, so
// the squares never need a matrix of their own.
void center_row(const char* __restrict dist_row, const double* __restrict row_mean, double ri, double grand_mean,
                std::size_t n, double* __restrict out) {
    for (std::size_t j = 0; j < n; ++j) {
        double value;
        std::memcpy(&value, dist_row + j * sizeof(double), sizeof value);
        out[j] = (((value * value - ri) - row_mean[j]) + grand_mean) * -0.5;
    }
}

// How far ahead strided walks (one row apart) ask for rows.
constexpr std::size_t kPrefetchRows = 32;

// Rows whose symmetry is checked together: their column side in a row of
// the matrix is then a few whole cache lines rather than one or two
// mostly unused ones, and their row side (n * 32 doubles) stays in L2.
constexpr std::size_t kSymmetryRows = 32;
constexpr std::size_t kCacheLine = 64;

// Whether rows [first, first + Rows) of the n*n row-major `dist` equal its
// columns bit for bit from the diagonal on: dist[i][j] and dist[j][i] for
// i in the block, j >= i. Run right after the block's rows were read, so
// that only the column side comes from memory, one short segment per row.
template <std::size_t Rows>
bool rows_match_columns(const char* dist, std::ptrdiff_t row_stride, std::size_t n, std::size_t first) {
    std::uint64_t differ = 0;
    for (std::size_t j = first; j < n; ++j) {
        const char* column_side = dist + static_cast<std::ptrdiff_t>(j) * row_stride;
        if (j + kPrefetchRows < n) {
            const char* ahead = column_side + static_cast<std::ptrdiff_t>(kPrefetchRows) * row_stride;
            for (std::size_t byte = 0; byte < Rows * sizeof(double); byte += kCacheLine)
                __builtin_prefetch(ahead + first * sizeof(double) + byte);
        }
        for (std::size_t l = 0; l < Rows; ++l) {
            std::uint64_t row_bits, column_bits;
            std::memcpy(&row_bits, dist + static_cast<std::ptrdiff_t>(first + l) * row_stride + j * sizeof(double),
                        sizeof row_bits);
            std::memcpy(&column_bits, column_side + (first + l) * sizeof(double), sizeof column_bits);
            differ |= row_bits ^ column_bits;
        }
    }
    return differ == 0;
}

// Double centering into g (n*n, n = dist.rows >= 1). Rows contiguous in
// memory are read twice (once for the means, once for G), which moves less
// memory than storing the squares and reading them back. Any other layout
// is squared into g first, so that it is walked in its awkward order once.
void double_center_into(const MatrixView& dist, double* g) {
    const std::size_t n = dist.rows;
    if (dist.col_stride != static_cast<std::ptrdiff_t>(sizeof(double))) {
        const Centring centring = centring_of(dist, g, false);
        center_in_place(g, centring.row_mean.data(), centring.grand_mean, n);
        return;
    }
    const Centring centring = centring_of(dist, nullptr, false);
    for (std::size_t i = 0; i < n; ++i) {
        const char* dist_row = dist.data + static_cast<std::ptrdiff_t>(i) * dist.row_stride;
        center_row(dist_row, centring.row_mean.data(), centring.row_mean[i], centring.grand_mean, n, g + i * n);
    }
}

}  // namespace

std::vector<double> double_center(const MatrixView& dist) {
    // A non-square view would write past the n*n result.
    require_equal(dist.rows, dist.cols, "double_center: dist.rows == dist.cols");
    // The result doubles as the scratch matrix of squared distances.
    std::vector<double> g = zeroed_large(checked_product(dist.rows, dist.rows));
    if (dist.rows > 0) double_center_into(dist, g.data());
    return g;
}

Centring centring_of(const MatrixView& dist, double* squares, bool check_symmetry) {
    const std::size_t n = dist.rows;
    const double recip = 1.0 / static_cast<double>(n);

    std::vector<double> row_mean(n);
    bool symmetric = check_symmetry && dist.col_stride == static_cast<std::ptrdiff_t>(sizeof(double));
    std::size_t i = 0;
    for (; i + kSymmetryRows <= n; i += kSymmetryRows) {
        for (std::size_t block = i; block < i + kSymmetryRows; block += kRowsPerPass)
            square_row_block<kRowsPerPass>(dist, block, recip, squares, row_mean.data());
        if (symmetric) symmetric = rows_match_columns<kSymmetryRows>(dist.data, dist.row_stride, n, i);
    }
    for (; i + kRowsPerPass <= n; i += kRowsPerPass) {
        square_row_block<kRowsPerPass>(dist, i, recip, squares, row_mean.data());
        if (symmetric) symmetric = rows_match_columns<kRowsPerPass>(dist.data, dist.row_stride, n, i);
    }
    for (; i < n; ++i) {
        square_row_block<1>(dist, i, recip, squares, row_mean.data());
        if (symmetric) symmetric = rows_match_columns<1>(dist.data, dist.row_stride, n, i);
    }

    double sum = -0.0;
    for (const double r : row_mean) sum = sum + r;
    return Centring{std::move(row_mean), recip * sum, symmetric};
}

}  // namespace tarvel
