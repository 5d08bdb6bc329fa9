#include "numeric/householder_rank.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"

// On x86-64 an AVX2 clone of each kernel is chosen at load time where the
// CPU has it. Both clones compute the same values: the vectors run across
// the rows of a block, and every sum keeps its order.
#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__clang__)
#define TARVEL_QR_KERNEL __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define TARVEL_QR_KERNEL
#endif

namespace tarvel {

namespace {

constexpr std::uint64_t kLanesPerRow = HouseholderRankTest::kBlockRows;
constexpr std::uint64_t kGroup = HouseholderRankTest::kGroupSize;
static_assert(kLanesPerRow == 16 && kGroup % 2 == 0, "the kernels hold a block's 16 values in four vectors");

typedef double Lanes __attribute__((vector_size(32), aligned(8), may_alias));
constexpr std::uint64_t kVectors = kLanesPerRow / 4;

// Coordinates a pass of the product kernel takes at once: the block's and
// V's share (2 x 16 KiB) stay in the first-level cache while every pair of
// reflections passes over them.
constexpr std::uint64_t kChunk = 128;

// products[j][i] += sum over coordinates p (in order) of v[p][j] * x[p][i],
// for reflections j < size and the block's 16 rows i.
TARVEL_QR_KERNEL void add_products(double* __restrict products, const double* __restrict v,
                                   const double* __restrict x, std::uint64_t coordinates, std::uint64_t size) {
    for (std::uint64_t begin = 0; begin < coordinates; begin += kChunk) {
        const std::uint64_t end = std::min(coordinates, begin + kChunk);
        for (std::uint64_t j = 0; j < size; j += 2) {
            Lanes* first = reinterpret_cast<Lanes*>(products + j * kLanesPerRow);
            Lanes* second = reinterpret_cast<Lanes*>(products + (j + 1) * kLanesPerRow);
            Lanes a[kVectors], b[kVectors];
            for (std::uint64_t q = 0; q < kVectors; ++q) {
                a[q] = first[q];
                b[q] = second[q];
            }
            for (std::uint64_t p = begin; p < end; ++p) {
                const Lanes* row = reinterpret_cast<const Lanes*>(x + p * kLanesPerRow);
                const double first_factor = v[p * kGroup + j], second_factor = v[p * kGroup + j + 1];
                const Lanes fa = {first_factor, first_factor, first_factor, first_factor};
                const Lanes fb = {second_factor, second_factor, second_factor, second_factor};
                for (std::uint64_t q = 0; q < kVectors; ++q) {
                    a[q] = a[q] + row[q] * fa;
                    b[q] = b[q] + row[q] * fb;
                }
            }
            for (std::uint64_t q = 0; q < kVectors; ++q) {
                first[q] = a[q];
                second[q] = b[q];
            }
        }
    }
}

// x[p][i] -= sum over j < size (in order) of v[p][j] * products[j][i].
TARVEL_QR_KERNEL void subtract_products(double* __restrict x, const double* __restrict v,
                                        const double* __restrict products, std::uint64_t coordinates,
                                        std::uint64_t size) {
    for (std::uint64_t p = 0; p < coordinates; ++p) {
        Lanes* row = reinterpret_cast<Lanes*>(x + p * kLanesPerRow);
        Lanes r[kVectors];
        for (std::uint64_t q = 0; q < kVectors; ++q) r[q] = row[q];
        for (std::uint64_t j = 0; j < size; ++j) {
            const double factor = v[p * kGroup + j];
            const Lanes f = {factor, factor, factor, factor};
            const Lanes* w = reinterpret_cast<const Lanes*>(products + j * kLanesPerRow);
            for (std::uint64_t q = 0; q < kVectors; ++q) r[q] = r[q] - w[q] * f;
        }
        for (std::uint64_t q = 0; q < kVectors; ++q) row[q] = r[q];
    }
}

// Reflects the block's rows by I - tau v v^T over `coordinates` values;
// `keep` zeroes the multipliers of rows already decided, which stay as
// they are.
TARVEL_QR_KERNEL void reflect_rows(double* __restrict x, const double* __restrict v, double tau,
                                   std::uint64_t coordinates, const double* __restrict keep) {
    Lanes dot[kVectors] = {};
    for (std::uint64_t p = 0; p < coordinates; ++p) {
        const Lanes* row = reinterpret_cast<const Lanes*>(x + p * kLanesPerRow);
        const Lanes f = {v[p], v[p], v[p], v[p]};
        for (std::uint64_t q = 0; q < kVectors; ++q) dot[q] = dot[q] + row[q] * f;
    }
    const Lanes* mask = reinterpret_cast<const Lanes*>(keep);
    const Lanes scale = {tau, tau, tau, tau};
    for (std::uint64_t q = 0; q < kVectors; ++q) dot[q] = dot[q] * scale * mask[q];
    for (std::uint64_t p = 0; p < coordinates; ++p) {
        Lanes* row = reinterpret_cast<Lanes*>(x + p * kLanesPerRow);
        const Lanes f = {v[p], v[p], v[p], v[p]};
        for (std::uint64_t q = 0; q < kVectors; ++q) row[q] = row[q] - dot[q] * f;
    }
}

}  // namespace

double HouseholderRankTest::storage_bytes(std::uint64_t ncols, std::uint64_t rank) {
    const double columns = static_cast<double>(ncols), rows = static_cast<double>(rank);
    // Group g of kGroupSize reflections holds (ncols - its start) rows of kGroupSize values.
    const double reflections = columns * rows - rows * rows / 2.0 + columns * static_cast<double>(kGroupSize);
    return sizeof(double) * (reflections + columns * static_cast<double>(kBlockRows));
}

void HouseholderRankTest::reset(std::uint64_t ncols, double tol) {
    ncols_ = ncols;
    tol_ = tol;
    rank_ = 0;
    groups_used_ = 0;
}

void HouseholderRankTest::offer_rows(std::span<const RowEntry> rows, std::uint64_t width, std::uint64_t stop_rank,
                                     std::span<std::uint8_t> labels) {
    const std::uint64_t count = labels.size();
    require_equal(rows.size(), count * width, "a row is `width` entries");
    std::fill(labels.begin(), labels.end(), std::uint8_t{0});
    for (std::uint64_t first = 0; first < count && rank_ < stop_rank; first += kBlockRows) {
        const std::uint64_t block = std::min(kBlockRows, count - first);
        load_block(rows.subspan(first * width, block * width), width, block);
        for (std::uint64_t g = 0; g < groups_used_; ++g) {
            apply_group(groups_[g]);
            check_interrupt();
        }
        for (std::uint64_t i = 0; i < block && rank_ < stop_rank; ++i) {
            if (usable_[i] != 0 && accept_column(i, block)) labels[first + i] = 1;
        }
        check_interrupt();
    }
}

// The block's rows, each scaled to norm 1, coordinate after coordinate.
void HouseholderRankTest::load_block(std::span<const RowEntry> rows, std::uint64_t width, std::uint64_t count) {
    block_.assign(checked_product(ncols_, kBlockRows), 0.0);
    for (std::uint64_t i = 0; i < kBlockRows; ++i) usable_[i] = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::span<const RowEntry> row = rows.subspan(i * width, width);
        double largest = 0.0;
        for (const RowEntry& entry : row) {
            if (entry.column >= ncols_) {
                raise_fault("Row entry column " + std::to_string(entry.column) + " out of range for ncols " +
                            std::to_string(ncols_));
            }
            largest = std::max(largest, std::fabs(entry.value));
        }
        if (!(largest > 0.0) || !std::isfinite(largest)) continue;  // NaN fails the first test
        double squares = 0.0;
        for (const RowEntry& entry : row) squares += (entry.value / largest) * (entry.value / largest);
        const double norm = largest * std::sqrt(squares);
        for (const RowEntry& entry : row) block_[entry.column * kBlockRows + i] = entry.value / norm;
        usable_[i] = 1;
    }
}

// The block's rows reflected by the group's reflections, in their order:
// x -= V (T^T (V^T x)) over the coordinates from the group's start.
void HouseholderRankTest::apply_group(Group& group) {
    if (group.size == 0) return;
    form_t(group);
    const std::uint64_t coordinates = ncols_ - group.start;
    const std::uint64_t size = group.size + group.size % 2;  // the product kernel takes pairs; V's spare column is zero
    double* x = block_.data() + group.start * kBlockRows;
    products_.assign(kGroup * kBlockRows, 0.0);
    add_products(products_.data(), group.v.data(), x, coordinates, size);
    // products = T^T products, row j from rows l <= j: from the last row up.
    for (std::uint64_t j = group.size; j-- > 0;) {
        double* target = products_.data() + j * kBlockRows;
        double sums[kBlockRows];
        for (std::uint64_t i = 0; i < kBlockRows; ++i) sums[i] = 0.0;
        for (std::uint64_t l = 0; l <= j; ++l) {
            const double t = group.t[l * kGroup + j];
            const double* source = products_.data() + l * kBlockRows;
            for (std::uint64_t i = 0; i < kBlockRows; ++i) sums[i] = sums[i] + t * source[i];
        }
        std::copy(sums, sums + kBlockRows, target);
    }
    subtract_products(x, group.v.data(), products_.data(), coordinates, group.size);
}

// Row `column` of the block, already reflected by every accepted row before
// it, is independent when its part past the first `rank` coordinates is
// longer than tol. Then that part becomes a new reflection, which the later
// rows of the block receive at once.
bool HouseholderRankTest::accept_column(std::uint64_t column, std::uint64_t count) {
    const std::uint64_t coordinates = ncols_ - rank_;
    if (coordinates == 0) return false;
    const double* x = block_.data() + rank_ * kBlockRows + column;
    const double alpha = x[0];
    double tail = 0.0;  // the row has norm 1: no overflow to fear
    for (std::uint64_t p = 1; p < coordinates; ++p) tail += x[p * kBlockRows] * x[p * kBlockRows];
    const double length = std::sqrt(alpha * alpha + tail);
    if (!(length > tol_)) return false;

    // H = I - tau v v^T with v[0] = 1 maps the part to beta e_0.
    const double beta = -std::copysign(length, alpha);
    const double tau = (beta - alpha) / beta;
    const double scale = 1.0 / (alpha - beta);
    reflector_.resize(coordinates);
    reflector_[0] = 1.0;
    for (std::uint64_t p = 1; p < coordinates; ++p) reflector_[p] = x[p * kBlockRows] * scale;

    if (column + 1 < count) {
        double keep[kBlockRows];
        for (std::uint64_t i = 0; i < kBlockRows; ++i) keep[i] = i > column && i < count ? 1.0 : 0.0;
        reflect_rows(block_.data() + rank_ * kBlockRows, reflector_.data(), tau, coordinates, keep);
    }
    add_to_group(open_group(), reflector_.data(), tau);
    ++rank_;
    return true;
}

HouseholderRankTest::Group& HouseholderRankTest::open_group() {
    if (groups_used_ > 0 && groups_[groups_used_ - 1].size < kGroup) return groups_[groups_used_ - 1];
    if (groups_.size() == groups_used_) groups_.emplace_back();
    Group& group = groups_[groups_used_++];
    group.start = rank_;
    group.size = 0;
    group.t_columns = 0;
    group.v.assign(checked_product(ncols_ - rank_, kGroup), 0.0);
    group.t.assign(kGroup * kGroup, 0.0);
    return group;
}

// Appends reflection v (coordinates rank .. ncols-1) with T[c][c] = tau; the
// rest of its column of T waits until a later block needs the group
// (form_t), which a component's last group seldom is.
void HouseholderRankTest::add_to_group(Group& group, const double* v, double tau) {
    const std::uint64_t c = group.size, offset = rank_ - group.start, coordinates = ncols_ - rank_;
    double* stored = group.v.data() + offset * kGroup;
    for (std::uint64_t p = 0; p < coordinates; ++p) stored[p * kGroup + c] = v[p];
    group.t[c * kGroup + c] = tau;
    group.size = c + 1;
}

// The columns of T not yet formed: T[0..c)[c] = -tau_c T[0..c)[0..c) (V^T v_c)
// for reflection c, whose v starts at the group's row c.
void HouseholderRankTest::form_t(Group& group) const {
    for (std::uint64_t c = group.t_columns; c < group.size; ++c) {
        const std::uint64_t coordinates = ncols_ - group.start - c;
        const double* stored = group.v.data() + c * kGroup;
        double overlaps[kGroup] = {};
        for (std::uint64_t p = 0; p < coordinates; ++p) {
            const double v = stored[p * kGroup + c];
            for (std::uint64_t l = 0; l < c; ++l) overlaps[l] += stored[p * kGroup + l] * v;
        }
        const double tau = group.t[c * kGroup + c];
        for (std::uint64_t l = 0; l < c; ++l) {
            double sum = 0.0;
            for (std::uint64_t k = l; k < c; ++k) sum += group.t[l * kGroup + k] * overlaps[k];
            group.t[l * kGroup + c] = -tau * sum;
        }
    }
    group.t_columns = group.size;
}

}  // namespace tarvel
