#include "reconstruct.hpp"

#include <math.h>  // sincos

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "fault.hpp"

namespace tarvel {

namespace {

// ---------------------------------------------------------------------------
// Buffers

// Large buffers ask for transparent huge pages before they are first
// touched: on fresh memory the page faults of an O(n^2) pass otherwise cost
// more than its arithmetic, and the solver's walks down a column would miss
// the TLB on every row. Only a hint: if the kernel declines, nothing changes.
void advise_huge_pages([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

std::vector<double> zeroed_large(std::uint64_t count) {
    std::vector<double> buffer;
    reserve_checked(buffer, count);
    advise_huge_pages(buffer.data(), buffer.capacity() * sizeof(double));
    buffer.resize(static_cast<std::size_t>(count), 0.0);
    return buffer;
}

// Scratch that is written before it is read: no zero fill.
template <class T = double>
std::unique_ptr<T[]> uninitialised_large(std::uint64_t count) {
    static_assert(std::is_trivially_default_constructible_v<T>);
    const std::size_t size = checked_count(count, sizeof(T));
    std::unique_ptr<T[]> buffer(new T[size]);
    advise_huge_pages(buffer.get(), size * sizeof(T));
    return buffer;
}

// ---------------------------------------------------------------------------
// Double centering

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

// The means a centring used, enough to form any entry of G again bit for
// bit, and whether the distances were found bitwise symmetric (only looked
// for on request).
struct Centring {
    std::vector<double> row_mean;
    double grand_mean = 0.0;
    bool symmetric = false;
};

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

// The matrix the solver starts from, only ever read: a caller's row-major
// matrix as it is, or the Gram matrix of a distance matrix, formed entry by
// entry from the distances so that it never takes n*n doubles of its own
// (the same operations as double centering, so the same bits).
class StartingMatrix {
public:
    static StartingMatrix stored(const double* a, std::size_t n) { return StartingMatrix(a, nullptr, n); }
    static StartingMatrix centred(const double* dist, const Centring& centring, std::size_t n) {
        return StartingMatrix(dist, &centring, n);
    }

    double at(std::size_t i, std::size_t j) const {
        const double value = values_[i * n_ + j];
        if (centring_ == nullptr) return value;
        const double* row_mean = centring_->row_mean.data();
        return (((value * value - row_mean[i]) - row_mean[j]) + centring_->grand_mean) * -0.5;
    }

    // Where at(i, j) reads from, to fetch it ahead.
    const double* source_of(std::size_t i, std::size_t j) const { return values_ + i * n_ + j; }

    // out[j - from] = at(i, j) for from <= j < to.
    void row_part(std::size_t i, std::size_t from, std::size_t to, double* __restrict out) const {
        const double* __restrict values = values_ + i * n_;
        if (centring_ == nullptr) {
            std::copy(values + from, values + to, out);
            return;
        }
        const double* __restrict row_mean = centring_->row_mean.data();
        const double ri = row_mean[i];
        const double grand_mean = centring_->grand_mean;
        for (std::size_t j = from; j < to; ++j)
            out[j - from] = (((values[j] * values[j] - ri) - row_mean[j]) + grand_mean) * -0.5;
    }

    // Column j into out[0 .. n), if it can be formed along a row: G of
    // bitwise symmetric distances, whose column j comes from row j of the
    // distances (G itself is not symmetric bit for bit: r[i] and r[j] are
    // subtracted in the other order). False otherwise.
    bool column(std::size_t j, double* __restrict out) const {
        if (centring_ == nullptr || !centring_->symmetric) return false;
        const double* __restrict dist_row = values_ + j * n_;  // D[j][k] == D[k][j]
        const double* __restrict row_mean = centring_->row_mean.data();
        const double rj = row_mean[j];
        const double grand_mean = centring_->grand_mean;
        for (std::size_t k = 0; k < n_; ++k)
            out[k] = (((dist_row[k] * dist_row[k] - row_mean[k]) - rj) + grand_mean) * -0.5;
        return true;
    }

private:
    StartingMatrix(const double* values, const Centring* centring, std::size_t n)
        : values_(values), centring_(centring), n_(n) {}

    const double* values_;
    const Centring* centring_;  // null: values_ are the entries themselves
    std::size_t n_;
};

// How far ahead the gather of a column asks for rows.
constexpr std::size_t kGatherAhead = 32;

// The solver's working matrix W without any n*n storage of its own. A
// rotation on (p, q) writes row and column p alike (and q's), so it stores
// only rows p and q, in rows of their own, and stamps both; column p is then
// read from row p. W[i][j] is therefore row j's entry i if j was rotated
// after i (stamp[j] > stamp[i]), otherwise row i's entry j, where the row of
// a never-rotated index (stamp 0) is the starting matrix's. (The two rows of
// one rotation hold the same value for each other.)
class WorkingMatrix {
public:
    WorkingMatrix(StartingMatrix start, std::size_t n, std::size_t max_rows)
        : start_(start),
          n_(n),
          stamp_(n, 0),
          row_(n, nullptr),
          // Only the rows handed out are ever touched, so only they cost pages.
          pool_(uninitialised_large(checked_product(std::min(n, max_rows), n))) {}

    double entry(std::size_t i, std::size_t j) const {
        if (stamp_[j] > stamp_[i]) return row_[j][i];
        return stamp_[i] > 0 ? row_[i][j] : start_.at(i, j);
    }

    // out[j - from] = W[i][j] for from <= j < to.
    void row_part(std::size_t i, std::size_t from, std::size_t to, double* out) const {
        if (stamp_[i] > 0)
            std::copy(row_[i] + from, row_[i] + to, out);
        else
            start_.row_part(i, from, to, out);
        // Only rows rotated after row i can hold its entries: none right
        // after row i's own rotation, nor before the first rotation.
        if (stamp_[i] == latest_stamp_) return;
        for (std::size_t j = from; j < to; ++j)
            if (stamp_[j] > stamp_[i]) out[j - from] = row_[j][i];
    }

    // Column j of W into out[0 .. n).
    void column(std::size_t j, double* out) const {
        if (stamp_[j] > 0) {
            // Row j, except where a row rotated since holds the entry.
            std::memcpy(out, row_[j], n_ * sizeof(double));
            for (auto k = by_recency_.rbegin(); k != by_recency_.rend() && stamp_[*k] > stamp_[j]; ++k)
                out[*k] = row_[*k][j];
            return;
        }
        if (start_.column(j, out)) {
            for (const std::size_t k : by_recency_) out[k] = row_[k][j];
            return;
        }
        // One row apart: fetch ahead so that the loads overlap.
        for (std::size_t k = 0; k < n_; ++k) {
            if (k + kGatherAhead < n_) {
                const std::size_t ahead = k + kGatherAhead;
                __builtin_prefetch(stamp_[ahead] > 0 ? row_[ahead] + j : start_.source_of(ahead, j));
            }
            out[k] = stamp_[k] > 0 ? row_[k][j] : start_.at(k, j);
        }
    }

    // Storage for the new row i of a rotation; read as W only after
    // mark_rotated.
    double* row_for_rotation(std::size_t i) {
        if (row_[i] == nullptr) row_[i] = pool_.get() + (rows_used_++) * n_;
        return row_[i];
    }

    // Rows p and q now hold rotation number `stamp` (from 1).
    void mark_rotated(std::size_t p, std::size_t q, std::size_t stamp) {
        std::erase_if(by_recency_, [p, q](std::size_t k) { return k == p || k == q; });
        by_recency_.push_back(p);
        by_recency_.push_back(q);
        stamp_[p] = stamp;
        stamp_[q] = stamp;
        latest_stamp_ = stamp;
    }

private:
    StartingMatrix start_;
    std::size_t n_;
    std::vector<std::size_t> stamp_;       // last rotation of each index, 0 = none
    std::size_t latest_stamp_ = 0;
    std::vector<double*> row_;             // the stored row of each rotated index
    std::vector<std::size_t> by_recency_;  // rotated indices, by stamp ascending
    std::unique_ptr<double[]> pool_;
    std::size_t rows_used_ = 0;
};

// ---------------------------------------------------------------------------
// Pivot bookkeeping for the eigen-solver

// An entry |W[i][col]| of the upper triangle as a pivot candidate.
struct Pivot {
    double magnitude;
    std::size_t col;
};

// A range with no candidate (NaN only, or empty): loses against every
// number, since magnitudes are >= 0.
constexpr Pivot kNoPivot{-1.0, static_cast<std::size_t>(-1)};

// A block whose maximum is no longer known: `magnitude` is then only an
// upper bound of its entries.
constexpr std::size_t kStale = static_cast<std::size_t>(-2);

// Columns per block of a row.
constexpr std::size_t kBlock = 32;

// Takes `entry` if it beats `pivot` in the search order: larger, or equal
// and met earlier. NaN never wins.
void offer(Pivot& pivot, const Pivot& entry) {
    if (entry.magnitude > pivot.magnitude || (entry.magnitude == pivot.magnitude && entry.col < pivot.col))
        pivot = entry;
}

// First-wins maximum of |row[j]| over [from, to), NaN never chosen. The
// maximum itself does not depend on the visiting order, so four lanes find
// it; the first column holding it is then the pivot the left-to-right
// strictly-greater scan would have picked.
Pivot scan_range(const double* row, std::size_t from, std::size_t to) {
    double m0 = kNoPivot.magnitude, m1 = kNoPivot.magnitude, m2 = kNoPivot.magnitude, m3 = kNoPivot.magnitude;
    std::size_t j = from;
    for (; j + 4 <= to; j += 4) {
        const double a0 = std::fabs(row[j]), a1 = std::fabs(row[j + 1]);
        const double a2 = std::fabs(row[j + 2]), a3 = std::fabs(row[j + 3]);
        m0 = a0 > m0 ? a0 : m0;
        m1 = a1 > m1 ? a1 : m1;
        m2 = a2 > m2 ? a2 : m2;
        m3 = a3 > m3 ? a3 : m3;
    }
    for (; j < to; ++j) {
        const double a = std::fabs(row[j]);
        m0 = a > m0 ? a : m0;
    }
    m0 = m1 > m0 ? m1 : m0;
    m2 = m3 > m2 ? m3 : m2;
    const double best = m2 > m0 ? m2 : m0;
    if (best == kNoPivot.magnitude) return kNoPivot;
    for (j = from; std::fabs(row[j]) != best; ++j) {
    }
    return {best, j};
}

// The pivot of every row of W's upper triangle (its first largest |W[i][j]|,
// j > i), kept under rotations so that choosing the next pivot costs O(n)
// rather than a search of the whole triangle.
//
// A rotation changes at most two upper entries of a row. While the row's
// pivot entry does not shrink, comparing the changed entries with it keeps
// it exact. When it does shrink, the row is marked stale, its old pivot
// kept as an upper bound of its entries, and its pivot is found again from
// per-block maxima only when the pivot search meets a bound that could win.
// Blocks go stale the same way and are rescanned only when their bound
// could beat the best of the row so far.
class PivotTable {
public:
    // Indexes every row of `w` as it stands.
    PivotTable(const WorkingMatrix& w, std::size_t n)
        : w_(w),
          n_(n),
          blocks_per_row_((n + kBlock - 1) / kBlock),
          blocks_(uninitialised_large<Pivot>(checked_product(n, blocks_per_row_))),
          rows_(n > 1 ? n - 1 : 0),
          row_entries_(n) {
        for (std::size_t i = 0; i < rows_.size(); ++i) rebuild_row(i);
    }

    // Each row's pivot, or for a stale row an upper bound of its entries.
    const std::vector<Pivot>& row_bounds() const { return rows_; }

    // Row i was rewritten as a whole. Its entries are fetched in one go
    // (they may have to be formed) and then scanned block by block.
    void rebuild_row(std::size_t i) {
        w_.row_part(i, i + 1, n_, row_entries_.data() + i + 1);
        for (std::size_t b = first_block(i); b < blocks_per_row_; ++b) {
            const std::size_t from = std::max(b * kBlock, i + 1);
            const std::size_t to = std::min(b * kBlock + kBlock, n_);
            block(i, b) = scan_range(row_entries_.data(), from, to);
        }
        combine_blocks(i);
    }

    // W[i][col], col > i, now holds `value`; nothing else in row i changed
    // since the last call.
    void update(std::size_t i, std::size_t col, double value) {
        const Pivot entry{std::fabs(value), col};

        Pivot& in_block = block(i, col / kBlock);
        if (in_block.col == kStale) {
            if (entry.magnitude > in_block.magnitude) in_block.magnitude = entry.magnitude;
        } else if (in_block.col == col) {
            in_block = entry.magnitude >= in_block.magnitude ? entry : Pivot{in_block.magnitude, kStale};
        } else {
            offer(in_block, entry);
        }

        // Every other entry is at most the row's pivot, and those before it
        // are smaller; only a shrinking pivot entry leaves the answer open.
        // The row is then marked stale like a block and recombined only if
        // the pivot search needs it; most such rows are far from the top.
        Pivot& pivot = rows_[i];
        if (pivot.col == kStale) {
            // Beating the bound of every entry makes it the row's maximum.
            if (entry.magnitude > pivot.magnitude) pivot = entry;
        } else if (pivot.col != col) {
            offer(pivot, entry);
        } else if (entry.magnitude >= pivot.magnitude) {
            pivot = entry;
        } else {
            pivot.col = kStale;
        }
    }

    // Row i's pivot, made exact first if it was stale.
    const Pivot& exact_row_pivot(std::size_t i) {
        if (rows_[i].col == kStale) combine_blocks(i);
        return rows_[i];
    }

private:
    std::size_t first_block(std::size_t i) const { return (i + 1) / kBlock; }
    // Block-major, so that the update of one column across all rows walks
    // consecutive records.
    Pivot& block(std::size_t i, std::size_t b) { return blocks_[b * n_ + i]; }

    Pivot scan_block(std::size_t i, std::size_t b) const {
        const std::size_t from = std::max(b * kBlock, i + 1);
        const std::size_t to = std::min(b * kBlock + kBlock, n_);
        double entries[kBlock];
        w_.row_part(i, from, to, entries);
        const Pivot found = scan_range(entries, 0, to - from);
        return found.col == kNoPivot.col ? found : Pivot{found.magnitude, found.col + from};
    }

    // The row's pivot from its blocks in column order, first-wins. A stale
    // block can only matter if its bound beats the best so far strictly: an
    // equal entry in it would come later.
    void combine_blocks(std::size_t i) {
        Pivot best = kNoPivot;
        for (std::size_t b = first_block(i); b < blocks_per_row_; ++b) {
            Pivot& candidate = block(i, b);
            if (!(candidate.magnitude > best.magnitude)) continue;
            if (candidate.col == kStale) {
                candidate = scan_block(i, b);
                if (!(candidate.magnitude > best.magnitude)) continue;
            }
            best = candidate;
        }
        rows_[i] = best;
    }

    const WorkingMatrix& w_;
    std::size_t n_;
    std::size_t blocks_per_row_;
    // blocks_per_row_ x n; blocks left of the diagonal unused. Huge pages:
    // combining a row's blocks strides through all of it.
    std::unique_ptr<Pivot[]> blocks_;
    std::vector<Pivot> rows_;    // rows 0 .. n-2
    std::vector<double> row_entries_;  // scratch: the row being rebuilt, by column
};

// ---------------------------------------------------------------------------
// Jacobi eigen-solver

constexpr double kConvergenceThreshold = 1e-12;
constexpr double kEqualDiagonalThreshold = 1e-15;
constexpr double kQuarterPi = 0.7853981633974483;
constexpr std::size_t kRotationBudget = 500;


double rotation_angle(double wpp, double wqq, double wpq) {
    const double diff = wqq - wpp;
    if (std::fabs(diff) < kEqualDiagonalThreshold) return kQuarterPi;
    return std::atan((wpq + wpq) / diff) * 0.5;
}

// The accumulated rotation V = R_1 R_2 ... R_m, kept as the list of its
// rotations. Row k of V starts as e_k and rotation (p, q) changes only its
// entries p and q, so replaying the list on one row performs exactly the
// operations that updating all of V after every rotation would, on the
// touched indices only and without an n x n matrix.
class RotationLog {
public:
    explicit RotationLog(std::size_t n) : slot_(n, kUntouched) { steps_.reserve(kRotationBudget); }

    // Whether index i has been rotated (V's column i is no longer e_i).
    bool touched(std::size_t i) const { return slot_[i] != kUntouched; }

    void record(std::size_t p, std::size_t q, double c, double s) {
        steps_.push_back({slot_of(p), slot_of(q), c, s});
        finite_steps_ = finite_steps_ && std::isfinite(c) && std::isfinite(s);
    }

    // out[k * columns + j] = V[k][order[j]] for every row k and j < columns.
    void write_columns(const std::vector<std::size_t>& order, std::size_t columns, double* out) const {
        const std::size_t n = slot_.size();
        const std::size_t touched_count = index_.size();
        // A row that no rotation names keeps V's row e_k: each step maps its
        // zeros to +0.0 again, unless c or s is not finite (0 * inf, NaN).
        std::vector<std::size_t> replayed;
        if (finite_steps_) {
            replayed = index_;
            for (std::size_t k = 0; k < n; ++k) {
                if (touched(k)) continue;
                for (std::size_t j = 0; j < columns; ++j) out[k * columns + j] = order[j] == k ? 1.0 : 0.0;
            }
        } else {
            replayed.resize(n);
            for (std::size_t k = 0; k < n; ++k) replayed[k] = k;
        }
        // kLanes rows at a time, one per lane: their replays are independent.
        std::vector<double> lanes(touched_count * kLanes);
        for (std::size_t first = 0; first < replayed.size(); first += kLanes) {
            const std::size_t lanes_used = std::min(kLanes, replayed.size() - first);
            for (std::size_t t = 0; t < touched_count; ++t)
                for (std::size_t l = 0; l < kLanes; ++l)
                    lanes[t * kLanes + l] = l < lanes_used && index_[t] == replayed[first + l] ? 1.0 : 0.0;
            for (const Step& step : steps_) {
                double* __restrict vp = lanes.data() + step.p * kLanes;
                double* __restrict vq = lanes.data() + step.q * kLanes;
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const double old_p = vp[l], old_q = vq[l];
                    vp[l] = step.c * old_p - step.s * old_q;
                    vq[l] = old_q * step.c + old_p * step.s;
                }
            }
            for (std::size_t l = 0; l < lanes_used; ++l) {
                const std::size_t k = replayed[first + l];
                for (std::size_t j = 0; j < columns; ++j) {
                    const std::size_t source = order[j];
                    out[k * columns + j] =
                        touched(source) ? lanes[slot_[source] * kLanes + l] : (source == k ? 1.0 : 0.0);
                }
            }
        }
    }

private:
    static constexpr std::size_t kUntouched = static_cast<std::size_t>(-1);
    static constexpr std::size_t kLanes = 4;

    struct Step {
        std::size_t p, q;  // slots
        double c, s;
    };

    std::size_t slot_of(std::size_t i) {
        if (slot_[i] == kUntouched) {
            slot_[i] = index_.size();
            index_.push_back(i);
        }
        return slot_[i];
    }

    std::vector<std::size_t> slot_;   // index -> slot among the touched ones
    std::vector<std::size_t> index_;  // slot -> index
    std::vector<Step> steps_;
    bool finite_steps_ = true;
};

class JacobiSolver {
public:
    JacobiSolver(StartingMatrix start, std::size_t n)
        : n_(n), w_(start, n, 2 * kRotationBudget), pivots_(w_, n), old_p_(n), old_q_(n), log_(n) {}

    void run() {
        std::size_t p = 0, q = 1;
        for (std::size_t rotations = 0; rotations < kRotationBudget; ++rotations) {
            if (!find_pivot(p, q)) return;
            rotate(p, q, rotations + 1);
        }
    }

    // Diagonal positions by eigenvalue, largest first; equal values keep
    // their diagonal order.
    std::vector<std::size_t> descending_order() const {
        std::vector<std::size_t> order(n_);
        for (std::size_t i = 0; i < n_; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [this](std::size_t a, std::size_t b) { return diagonal(a) > diagonal(b); });
        return order;
    }

    double diagonal(std::size_t i) const { return w_.entry(i, i); }
    const RotationLog& rotations() const { return log_; }

private:
    // The first largest |W[i][j]|, i < j, in row-major order: the first row
    // whose pivot beats all earlier rows strictly. A row whose bound cannot
    // beat the best so far is skipped unresolved. False once the pivot is
    // below the convergence threshold.
    bool find_pivot(std::size_t& p, std::size_t& q) {
        double best = 0.0;
        p = 0;
        q = 1;
        const std::vector<Pivot>& bounds = pivots_.row_bounds();
        for (std::size_t i = 0; i < bounds.size(); ++i) {
            if (!(bounds[i].magnitude > best)) continue;
            const Pivot& pivot = pivots_.exact_row_pivot(i);
            if (pivot.magnitude > best) {
                best = pivot.magnitude;
                p = i;
                q = pivot.col;
            }
        }
        return !(best < kConvergenceThreshold);
    }

    // Rotation number `stamp` (from 1) on the pivot (p, q).
    void rotate(std::size_t p, std::size_t q, std::size_t stamp) {
        const double wpp = w_.entry(p, p), wqq = w_.entry(q, q), wpq = w_.entry(p, q);
        double s, c;
        ::sincos(rotation_angle(wpp, wqq, wpq), &s, &c);

        // Only rows and columns p and q change, and every new value comes
        // from the old columns p and q: gather them and rotate them into
        // rows p and q, which then also stand for columns p and q.
        w_.column(p, old_p_.data());
        w_.column(q, old_q_.data());
        double* wp = w_.row_for_rotation(p);
        double* wq = w_.row_for_rotation(q);
        rotate_pair(old_p_.data(), old_q_.data(), wp, wq, c, s);  // right for k != p, q
        log_.record(p, q, c, s);

        const double c2 = c * c;
        const double s2 = s * s;
        const double cs2 = (s + s) * c;
        wp[p] = wqq * s2 + (wpp * c2 - wpq * cs2);
        wq[q] = c2 * wqq + (cs2 * wpq + s2 * wpp);
        wp[q] = 0.0;
        wq[p] = 0.0;
        w_.mark_rotated(p, q, stamp);

        // Row by row in ascending order, p's entry before q's, as the
        // pivot table expects.
        for (std::size_t k = 0; k < q; ++k) {
            if (k == p) continue;
            if (k < p) pivots_.update(k, p, wp[k]);
            pivots_.update(k, q, wq[k]);
        }
        pivots_.rebuild_row(p);
        if (q + 1 < n_) pivots_.rebuild_row(q);
    }

    // W'[k][p] = W[k][p] c - W[k][q] s and W'[k][q] = W[k][q] c + W[k][p] s.
    void rotate_pair(const double* __restrict kp, const double* __restrict kq, double* __restrict new_kp,
                     double* __restrict new_kq, double c, double s) const {
        for (std::size_t k = 0; k < n_; ++k) {
            new_kp[k] = kp[k] * c - kq[k] * s;
            new_kq[k] = kq[k] * c + kp[k] * s;
        }
    }

    std::size_t n_;
    WorkingMatrix w_;
    PivotTable pivots_;
    std::vector<double> old_p_, old_q_;  // columns p and q before a rotation
    RotationLog log_;
};

// The means of the squared distances (n = dist.rows >= 1); `squares`, if
// given (n*n), receives the squares themselves. With `check_symmetry`, also
// whether contiguous rows are bitwise symmetric.
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

// ---------------------------------------------------------------------------
// Stress

// Squared reconstructed distances from point i to points i+1 .. n-1, each
// a left-to-right sum over the axes of squared differences. Inlined into the
// dispatcher below so that d = 2 and d = 3 get loops with a constant bound.
[[gnu::always_inline]] inline void squared_distances_from_any(const double* coords, std::size_t n, std::size_t d,
                                                              std::size_t i, double* out) {
    const double* xi = coords + i * d;
    for (std::size_t j = i + 1; j < n; ++j) {
        const double* xj = coords + j * d;
        double squared = (xi[0] - xj[0]) * (xi[0] - xj[0]);
        for (std::size_t k = 1; k < d; ++k) squared = squared + (xi[k] - xj[k]) * (xi[k] - xj[k]);
        out[j - i - 1] = squared;
    }
}

void squared_distances_from(const double* coords, std::size_t n, std::size_t d, std::size_t i, double* out) {
    if (d == 2) return squared_distances_from_any(coords, n, 2, i, out);
    if (d == 3) return squared_distances_from_any(coords, n, 3, i, out);
    squared_distances_from_any(coords, n, d, i, out);
}

// Stress sums over one row: num += (delta - sqrt(squared))^2 and
// den += delta^2, pair by pair in order. Square roots are taken two at a
// time where SSE2 exists: IEEE square roots are correctly rounded either
// way, and the packed form avoids the errno check that keeps std::sqrt
// scalar (the argument is a sum of squares, never negative).
void accumulate_stress(const double* given, const double* squared, std::size_t count, double& num, double& den) {
    std::size_t t = 0;
#if defined(__SSE2__)
    for (; t + 2 <= count; t += 2) {
        double fitted[2];
        _mm_storeu_pd(fitted, _mm_sqrt_pd(_mm_loadu_pd(squared + t)));
        for (std::size_t l = 0; l < 2; ++l) {
            const double error = given[t + l] - fitted[l];
            num = num + error * error;
            den = den + given[t + l] * given[t + l];
        }
    }
#endif
    for (; t < count; ++t) {
        const double error = given[t] - std::sqrt(squared[t]);
        num = num + error * error;
        den = den + given[t] * given[t];
    }
}

// Kruskal's stress-1 of coords (n*d) against the upper triangle of dist
// (n*n), both row-major.
double stress_of(const double* dist, const double* coords, std::size_t n, std::size_t d) {
    std::vector<double> squared(n);
    double num = 0.0;
    double den = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        squared_distances_from(coords, n, d, i, squared.data());
        accumulate_stress(dist + i * n + i + 1, squared.data(), n - i - 1, num, den);
    }
    return den < 1e-15 ? 0.0 : std::sqrt(num / den);
}

// ---------------------------------------------------------------------------
// The private copy

// out = dist row-major (n = dist.rows = dist.cols). Contiguous rows are
// copied whole; any other layout kRowsPerPass rows at a time, so that a
// column-major input is read along its memory order.
void copy_rows(const MatrixView& dist, double* out) {
    const std::size_t n = dist.rows;
    if (dist.col_stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(out + i * n, dist.data + static_cast<std::ptrdiff_t>(i) * dist.row_stride, n * sizeof(double));
        return;
    }
    std::size_t first = 0;
    for (; first + kRowsPerPass <= n; first += kRowsPerPass)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t l = 0; l < kRowsPerPass; ++l) out[(first + l) * n + j] = dist.at(first + l, j);
    for (; first < n; ++first)
        for (std::size_t j = 0; j < n; ++j) out[first * n + j] = dist.at(first, j);
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

EigenDecomposition jacobi_eigen(const std::vector<double>& a, std::size_t n) {
    require_equal(a.size(), checked_product(n, n), "jacobi_eigen: a.size() == n * n");
    // The solver only reads `a`; the rows it rotates it keeps apart.
    JacobiSolver solver(StartingMatrix::stored(a.data(), n), n);
    solver.run();
    const std::vector<std::size_t> order = solver.descending_order();

    EigenDecomposition result;
    result.values.resize(n);
    for (std::size_t k = 0; k < n; ++k) result.values[k] = solver.diagonal(order[k]);
    result.vectors = zeroed_large(a.size());
    solver.rotations().write_columns(order, n, result.vectors.data());
    return result;
}

double kruskal_stress(const std::vector<double>& dist, const std::vector<double>& coords, std::size_t n,
                      std::size_t d) {
    if (d == 0) raise_fault("kruskal_stress: d must be at least 1");
    require_equal(dist.size(), checked_product(n, n), "kruskal_stress: dist.size() == n * n");
    require_equal(coords.size(), checked_product(n, d), "kruskal_stress: coords.size() == n * d");
    return stress_of(dist.data(), coords.data(), n, d);
}

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
    // from the distances and the means as it reads them.
    const Centring centring = centring_of(MatrixView::row_major(dist.data(), n, n), nullptr, true);
    JacobiSolver solver(StartingMatrix::centred(dist.data(), centring, n), n);
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

    result.stress = stress_of(dist.data(), result.coords.data(), n, dims);
    result.is_isometric = result.stress < tol;
    return result;
}

Reconstruction reconstruct_coords(const std::vector<double>& dist, std::size_t n, std::uint64_t d, double tol) {
    if (d != 2 && d != 3) raise_fault("Only d=2 and d=3 are supported");
    if (n <= d) raise_fault("Need at least d+1 nodes to reconstruct in d dimensions");
    require_equal(dist.size(), checked_product(n, n), "reconstruct_coords: dist.size() == n * n");
    return reconstruct_coords(DistanceCopy(MatrixView::row_major(dist.data(), n, n)), d, tol);
}

}  // namespace tarvel
