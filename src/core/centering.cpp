#include "centering.hpp"

#include <cstdint>
#include <cstring>
#include <utility>

#include "fault.hpp"
#include "large_buffer.hpp"
#include "vector_kernel.hpp"

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

// G's row i, columns [from, to), straight from the distances of row i
// (contiguous, possibly unaligned) into out[0 .. to - from): the square is
// formed again exactly as in the mean pass, so the squares never need a
// matrix of their own.
TARVEL_VECTOR_KERNEL void center_row(const char* __restrict dist_row, const double* __restrict row_mean, double ri,
                                     double grand_mean, std::size_t from, std::size_t to, double* __restrict out) {
    for (std::size_t j = from; j < to; ++j) {
        double value;
        std::memcpy(&value, dist_row + j * sizeof(double), sizeof value);
        out[j - from] = (((value * value - ri) - row_mean[j]) + grand_mean) * -0.5;
    }
}

// G's column j from the distances of row j, which equal those of column j:
// G[k][j] subtracts r[k] before r[j].
TARVEL_VECTOR_KERNEL void center_column(const double* __restrict dist_row, const double* __restrict row_mean,
                                        double rj, double grand_mean, std::size_t n, double* __restrict out) {
    for (std::size_t k = 0; k < n; ++k)
        out[k] = (((dist_row[k] * dist_row[k] - row_mean[k]) - rj) + grand_mean) * -0.5;
}

// How far ahead strided walks (one row apart) ask for rows.
constexpr std::size_t kPrefetchRows = 32;

// Rows whose symmetry is checked together: their column side in a row of
// the matrix is then a few whole cache lines rather than one or two
// mostly unused ones, and their row side (n * 32 doubles) stays in L2.
constexpr std::size_t kSymmetryRows = 32;
constexpr std::size_t kCacheLine = 64;

// Tiles of 4x4 entries, compared as raw bits.
using TileRow = lanes::Words;
constexpr std::size_t kTile = lanes::kWidth;

// The 4x4 tile whose rows are r0 .. r3, transposed in place.
TARVEL_LANE_HELPER void transpose(TileRow& r0, TileRow& r1, TileRow& r2, TileRow& r3) {
    const TileRow even01 = __builtin_shuffle(r0, r1, TileRow{0, 4, 2, 6});
    const TileRow odd01 = __builtin_shuffle(r0, r1, TileRow{1, 5, 3, 7});
    const TileRow even23 = __builtin_shuffle(r2, r3, TileRow{0, 4, 2, 6});
    const TileRow odd23 = __builtin_shuffle(r2, r3, TileRow{1, 5, 3, 7});
    r0 = __builtin_shuffle(even01, even23, TileRow{0, 1, 4, 5});
    r1 = __builtin_shuffle(odd01, odd23, TileRow{0, 1, 4, 5});
    r2 = __builtin_shuffle(even01, even23, TileRow{2, 3, 6, 7});
    r3 = __builtin_shuffle(odd01, odd23, TileRow{2, 3, 6, 7});
}

// Whether rows [first, first + rows) of the n*n `dist` (contiguous rows
// `row_stride` bytes apart) equal its columns bit for bit from the diagonal
// on: dist[i][j] and dist[j][i] for i in the block, j >= first. Run right
// after the block's rows were read, so that only the column side comes from
// memory, a few whole cache lines per row. Tiles of 4x4 are compared with
// their mirror image transposed in registers: loading a column entry by
// entry would cost a load per value from a row of its own.
TARVEL_VECTOR_KERNEL bool rows_match_columns(const char* dist, std::ptrdiff_t row_stride, std::size_t n,
                                             std::size_t first, std::size_t rows) {
    const auto row = [&](std::size_t i) { return dist + static_cast<std::ptrdiff_t>(i) * row_stride; };
    const auto tile_row = [&](std::size_t i, std::size_t column) {
        return lanes::load<TileRow>(row(i) + column * sizeof(double));
    };
    const std::size_t tiled_rows = rows - rows % kTile;
    TileRow differ = {0, 0, 0, 0};
    std::size_t j = first;
    for (; j + kTile <= n; j += kTile) {
        if (j + kPrefetchRows + kTile <= n)
            for (std::size_t ahead = j + kPrefetchRows; ahead < j + kPrefetchRows + kTile; ++ahead)
                for (std::size_t byte = 0; byte < rows * sizeof(double); byte += kCacheLine)
                    __builtin_prefetch(row(ahead) + first * sizeof(double) + byte);
        for (std::size_t i = first; i < first + tiled_rows; i += kTile) {
            // The mirror tile: rows j .. j+3 at columns i .. i+3.
            TileRow m0 = tile_row(j, i), m1 = tile_row(j + 1, i), m2 = tile_row(j + 2, i), m3 = tile_row(j + 3, i);
            transpose(m0, m1, m2, m3);
            differ |= (tile_row(i, j) ^ m0) | (tile_row(i + 1, j) ^ m1) | (tile_row(i + 2, j) ^ m2) |
                      (tile_row(i + 3, j) ^ m3);
        }
    }
    std::uint64_t rest = differ[0] | differ[1] | differ[2] | differ[3];
    // The columns past the last whole tile, and the rows of no whole tile.
    const auto compare = [&](std::size_t i, std::size_t k) {
        std::uint64_t row_bits, column_bits;
        std::memcpy(&row_bits, row(i) + k * sizeof(double), sizeof row_bits);
        std::memcpy(&column_bits, row(k) + i * sizeof(double), sizeof column_bits);
        rest |= row_bits ^ column_bits;
    };
    for (std::size_t i = first; i < first + rows; ++i)
        for (std::size_t k = i < first + tiled_rows ? j : first; k < n; ++k) compare(i, k);
    return rest == 0;
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
        center_row(dist_row, centring.row_mean.data(), centring.row_mean[i], centring.grand_mean, 0, n, g + i * n);
    }
}

}  // namespace

void CentredGram::row_part(std::size_t i, std::size_t from, std::size_t to, double* out) const {
    const double* row_mean = centring_->row_mean.data();
    center_row(reinterpret_cast<const char*>(dist_ + i * n_), row_mean, row_mean[i], centring_->grand_mean, from, to,
               out);
}

bool CentredGram::column(std::size_t j, double* out) const {
    if (!centring_->symmetric) return false;
    const double* row_mean = centring_->row_mean.data();
    center_column(dist_ + j * n_, row_mean, row_mean[j], centring_->grand_mean, n_, out);  // D[j][k] == D[k][j]
    return true;
}

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
    // Rows in whole blocks of kSymmetryRows, then of kRowsPerPass, then one
    // by one; visited from the last row to the first. The rows just read
    // (the copy's last ones, then those of the block before) are then still
    // in cache when the symmetry check reads their column side.
    const std::size_t in_blocks = n - n % kSymmetryRows;
    const std::size_t in_passes = in_blocks + (n - in_blocks) / kRowsPerPass * kRowsPerPass;
    for (std::size_t i = n; i-- > in_passes;) {
        square_row_block<1>(dist, i, recip, squares, row_mean.data());
        if (symmetric) symmetric = rows_match_columns(dist.data, dist.row_stride, n, i, 1);
    }
    for (std::size_t i = in_passes; i > in_blocks;) {
        i -= kRowsPerPass;
        square_row_block<kRowsPerPass>(dist, i, recip, squares, row_mean.data());
        if (symmetric) symmetric = rows_match_columns(dist.data, dist.row_stride, n, i, kRowsPerPass);
    }
    for (std::size_t i = in_blocks; i > 0;) {
        i -= kSymmetryRows;
        for (std::size_t block = i; block < i + kSymmetryRows; block += kRowsPerPass)
            square_row_block<kRowsPerPass>(dist, block, recip, squares, row_mean.data());
        if (symmetric) symmetric = rows_match_columns(dist.data, dist.row_stride, n, i, kSymmetryRows);
    }

    double sum = -0.0;
    for (const double r : row_mean) sum = sum + r;
    return Centring{std::move(row_mean), recip * sum, symmetric};
}

}  // namespace tarvel
