#include "numeric/single_block_rank.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "numeric/fault.hpp"

namespace tarvel {

namespace {

using Row = double[SingleBlockRankTest::kMaxColumns];

// Row i scaled to norm 1 into `dense` (zeroed first); false for a row of
// zero or non-finite norm, which is dependent.
bool load_row(std::span<const RowEntry> row, std::uint64_t ncols, Row& dense) {
    std::fill(dense, dense + ncols, 0.0);
    double largest = 0.0;
    for (const RowEntry& entry : row) {
        if (entry.column >= ncols) {
            raise_fault("Row entry column " + std::to_string(entry.column) + " out of range for ncols " +
                        std::to_string(ncols));
        }
        largest = std::max(largest, std::fabs(entry.value));
    }
    if (!(largest > 0.0) || !std::isfinite(largest)) return false;  // NaN fails the first test
    double squares = 0.0;
    for (const RowEntry& entry : row) squares += (entry.value / largest) * (entry.value / largest);
    const double norm = largest * std::sqrt(squares);
    for (const RowEntry& entry : row) dense[entry.column] = entry.value / norm;
    return true;
}

// x <- (I - tau v v^T) x over the coordinates from `first`, v[first] = 1.
void reflect(Row& x, const Row& v, double tau, std::uint64_t first, std::uint64_t ncols) {
    double dot = 0.0;
    for (std::uint64_t p = first; p < ncols; ++p) dot = dot + x[p] * v[p];
    dot = dot * tau;
    for (std::uint64_t p = first; p < ncols; ++p) x[p] = x[p] - dot * v[p];
}

}  // namespace

std::uint64_t SingleBlockRankTest::offer_rows(std::span<const RowEntry> rows, std::uint64_t width,
                                              std::uint64_t ncols, double tol, std::uint64_t stop_rank,
                                              std::span<std::uint8_t> labels) {
    const std::uint64_t count = labels.size();
    require_equal(rows.size(), count * width, "a row is `width` entries");
    if (!fits(count, ncols)) raise_fault("rows do not fit one block of the single-block rank test");
    std::fill(labels.begin(), labels.end(), std::uint8_t{0});
    Row block[kMaxRows];
    bool usable[kMaxRows];
    for (std::uint64_t i = 0; i < count; ++i) usable[i] = load_row(rows.subspan(i * width, width), ncols, block[i]);

    std::uint64_t rank = 0;
    Row reflector;
    for (std::uint64_t i = 0; i < count && rank < stop_rank && rank < ncols; ++i) {
        if (!usable[i]) continue;
        const Row& x = block[i];
        const double alpha = x[rank];
        double tail = 0.0;  // the row has norm 1: no overflow to fear
        for (std::uint64_t p = rank + 1; p < ncols; ++p) tail += x[p] * x[p];
        const double length = std::sqrt(alpha * alpha + tail);
        if (!(length > tol)) continue;
        // H = I - tau v v^T with v[rank] = 1 maps the part to beta e_rank.
        const double beta = -std::copysign(length, alpha);
        const double tau = (beta - alpha) / beta;
        const double scale = 1.0 / (alpha - beta);
        reflector[rank] = 1.0;
        for (std::uint64_t p = rank + 1; p < ncols; ++p) reflector[p] = x[p] * scale;
        for (std::uint64_t later = i + 1; later < count; ++later) {
            if (usable[later]) reflect(block[later], reflector, tau, rank, ncols);
        }
        labels[i] = 1;
        ++rank;
    }
    return rank;
}

}  // namespace tarvel
