#include "reconstruction/centering.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "numeric/fault.hpp"
#include "numeric/large_buffer.hpp"
#include "numeric/vector_kernel.hpp"

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

// Row i's spread (see UpperSpread) from its distances and every mean from
// row i on, stored at [b * n + i] for each block b holding entries j > i.
TARVEL_VECTOR_KERNEL void spread_row(const double* __restrict dist_row, const double* __restrict row_mean,
                                     std::size_t i, std::size_t n, std::size_t width, double* __restrict low,
                                     double* __restrict high) {
    using lanes::Doubles;
    const double ri = row_mean[i];
    for (std::size_t b = (i + 1) / width; b * width < n; ++b) {
        Doubles least = Doubles{} + HUGE_VAL, greatest = Doubles{} - HUGE_VAL;
        const std::size_t from = std::max(b * width, i + 1), to = std::min(b * width + width, n);
        for (std::size_t j = from; j < to; j += lanes::kWidth) {
            Doubles before_mean;
            if (j + lanes::kWidth <= to) {
                const Doubles value = lanes::load<Doubles>(dist_row + j);
                before_mean = (value * value - ri) - lanes::load<Doubles>(row_mean + j);
            } else {
                before_mean = Doubles{} + NAN;  // lanes past the block: left out
                for (std::size_t l = 0; j + l < to; ++l)
                    before_mean[l] = (dist_row[j + l] * dist_row[j + l] - ri) - row_mean[j + l];
            }
            least = before_mean < least ? before_mean : least;
            greatest = before_mean > greatest ? before_mean : greatest;
        }
        double lo = least[0], hi = greatest[0];
        for (std::size_t l = 1; l < lanes::kWidth; ++l) {
            lo = least[l] < lo ? least[l] : lo;
            hi = greatest[l] > hi ? greatest[l] : hi;
        }
        low[b * n + i] = lo;
        high[b * n + i] = hi;
    }
}

// out[r] = max(|G(low[r])|, |G(high[r])|) for r < count, G(x) = (x + g) * -0.5
// the last steps of an entry; -1.0 where there is no number among them.
TARVEL_VECTOR_KERNEL void spread_maxima(const double* __restrict low, const double* __restrict high,
                                        double grand_mean, std::size_t count, double* __restrict out) {
    for (std::size_t r = 0; r < count; ++r) {
        const double at_low = std::fabs((low[r] + grand_mean) * -0.5);
        const double at_high = std::fabs((high[r] + grand_mean) * -0.5);
        const double larger = at_low > at_high || at_high != at_high ? at_low : at_high;
        out[r] = low[r] > high[r] || larger != larger ? -1.0 : larger;
    }
}

// How far ahead strided walks (one row apart) ask for rows.
constexpr std::size_t kPrefetchRows = 128;

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
        const Centring centring = centring_of(dist, g);
        center_in_place(g, centring.row_mean.data(), centring.grand_mean, n);
        return;
    }
    const Centring centring = centring_of(dist, nullptr);
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

bool CentredGram::block_maxima(std::size_t b, std::size_t width, std::size_t rows, double* out) const {
    const UpperSpread& spread = centring_->spread;
    if (spread.width == 0 || spread.width != width) return false;
    spread_maxima(spread.low.get() + b * n_, spread.high.get() + b * n_, centring_->grand_mean, rows, out);
    return true;
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

namespace {

// A centring pass: the row means, visited from the last row to the first
// in whole blocks of kSymmetryRows, then of kRowsPerPass, then one by one
// (the copy has just written the last rows, and a symmetry check reads
// the column side of rows visited just before). For a solver (`solver`
// given: the distances are row-major, n*n) each group of rows then has
// its spread gathered, once every later row has its mean, and each block
// its symmetry checked until a difference is found.
class CentringPass {
public:
    CentringPass(const MatrixView& dist, double* squares, const double* solver_dist, std::size_t width)
        : dist_(dist),
          n_(dist.rows),
          recip_(1.0 / static_cast<double>(dist.rows)),
          squares_(squares),
          solver_dist_(solver_dist),
          width_(width),
          row_mean_(dist.rows) {
        if (solver_dist_ == nullptr) return;
        spread_.width = width;
        const std::size_t blocks = (n_ + width - 1) / width;
        spread_.low = uninitialised_large(checked_product(blocks, n_));
        spread_.high = uninitialised_large(checked_product(blocks, n_));
        symmetric_ = true;
    }

    Centring run() && {
        const std::size_t in_blocks = n_ - n_ % kSymmetryRows;
        const std::size_t in_passes = in_blocks + (n_ - in_blocks) / kRowsPerPass * kRowsPerPass;
        for (std::size_t i = n_; i-- > in_passes;) {
            rows<1>(i);
            check(i, 1);
        }
        for (std::size_t i = in_passes; i > in_blocks;) {
            i -= kRowsPerPass;
            rows<kRowsPerPass>(i);
            check(i, kRowsPerPass);
        }
        for (std::size_t i = in_blocks; i > 0;) {
            i -= kSymmetryRows;
            for (std::size_t pass = i + kSymmetryRows; pass > i;) {
                pass -= kRowsPerPass;
                rows<kRowsPerPass>(pass);
            }
            check(i, kSymmetryRows);
        }
        double sum = -0.0;
        for (const double r : row_mean_) sum = sum + r;
        return Centring{std::move(row_mean_), recip_ * sum, symmetric_, std::move(spread_)};
    }

private:
    template <std::size_t Rows>
    void rows(std::size_t first) {
        square_row_block<Rows>(dist_, first, recip_, squares_, row_mean_.data());
        if (solver_dist_ == nullptr) return;
        for (std::size_t i = first; i < first + Rows; ++i)
            spread_row(solver_dist_ + i * n_, row_mean_.data(), i, n_, width_, spread_.low.get(), spread_.high.get());
    }

    void check(std::size_t first, std::size_t count) {
        if (symmetric_)
            symmetric_ = rows_match_columns(reinterpret_cast<const char*>(solver_dist_),
                                            static_cast<std::ptrdiff_t>(n_ * sizeof(double)), n_, first, count);
    }

    const MatrixView& dist_;
    std::size_t n_;
    double recip_;
    double* squares_;
    const double* solver_dist_;
    std::size_t width_;
    std::vector<double> row_mean_;
    bool symmetric_ = false;
    UpperSpread spread_;
};

}  // namespace

Centring centring_of(const MatrixView& dist, double* squares) {
    return CentringPass(dist, squares, nullptr, 0).run();
}

Centring centring_for_solver(const double* dist, std::size_t n, std::size_t width) {
    const MatrixView view = MatrixView::row_major(dist, n, n);
    return CentringPass(view, nullptr, dist, width).run();
}

}  // namespace tarvel
