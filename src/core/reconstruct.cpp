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
std::unique_ptr<double[]> uninitialised_large(std::uint64_t count) {
    const std::size_t size = checked_count(count, sizeof(double));
    std::unique_ptr<double[]> buffer(new double[size]);
    advise_huge_pages(buffer.get(), size * sizeof(double));
    return buffer;
}

// ---------------------------------------------------------------------------
// Double centering

// Rows squared and summed together; each row keeps its own left-to-right
// chain, the chains just run side by side.
constexpr std::size_t kRowsPerPass = 8;

// Squares rows [first, first + Rows) of `dist` into `d2` and stores each
// row's mean: its sum from -0.0, left to right, times the reciprocal.
template <std::size_t Rows>
void square_row_block(const MatrixView& dist, std::size_t first, double recip, double* d2, double* row_mean) {
    const std::size_t n = dist.rows;
    const char* row_start[Rows];
    double* out[Rows];
    double sum[Rows];
    for (std::size_t l = 0; l < Rows; ++l) {
        row_start[l] = dist.data + static_cast<std::ptrdiff_t>(first + l) * dist.row_stride;
        out[l] = d2 + (first + l) * n;
        sum[l] = -0.0;
    }
    for (std::size_t j = 0; j < n; ++j) {
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(j) * dist.col_stride;
        for (std::size_t l = 0; l < Rows; ++l) {
            double value;
            std::memcpy(&value, row_start[l] + offset, sizeof value);
            const double square = value * value;
            out[l][j] = square;
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
// j > i), kept exact under rotations so that choosing the next pivot costs
// O(n) rather than a search of the whole triangle.
//
// A rotation changes at most two upper entries of a row. While the row's
// pivot entry does not shrink, comparing the changed entries with it keeps
// it exact. When it does shrink, the row's new pivot is found from per-block
// maxima: a block whose own maximum shrank is not rescanned at once but
// marked stale, its old maximum kept as an upper bound, and rescanned only
// when that bound could beat the best pivot found so far.
class PivotTable {
public:
    PivotTable(const double* w, std::size_t n)
        : w_(w),
          n_(n),
          blocks_per_row_((n + kBlock - 1) / kBlock),
          blocks_(checked_product(n, blocks_per_row_)),
          rows_(n > 1 ? n - 1 : 0) {
        for (std::size_t i = 0; i < rows_.size(); ++i) rebuild_row(i);
    }

    const std::vector<Pivot>& row_pivots() const { return rows_; }

    // Row i was rewritten as a whole.
    void rebuild_row(std::size_t i) {
        for (std::size_t b = first_block(i); b < blocks_per_row_; ++b) block(i, b) = scan_block(i, b);
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
        Pivot& pivot = rows_[i];
        if (pivot.col != col) {
            offer(pivot, entry);
        } else if (entry.magnitude >= pivot.magnitude) {
            pivot = entry;
        } else {
            combine_blocks(i);
        }
    }

private:
    std::size_t first_block(std::size_t i) const { return (i + 1) / kBlock; }
    // Block-major, so that the update of one column across all rows walks
    // consecutive records.
    Pivot& block(std::size_t i, std::size_t b) { return blocks_[b * n_ + i]; }

    Pivot scan_block(std::size_t i, std::size_t b) const {
        const std::size_t from = std::max(b * kBlock, i + 1);
        const std::size_t to = std::min(b * kBlock + kBlock, n_);
        return scan_range(w_ + i * n_, from, to);
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

    const double* w_;
    std::size_t n_;
    std::size_t blocks_per_row_;
    std::vector<Pivot> blocks_;  // blocks_per_row_ x n; blocks left of the diagonal unused
    std::vector<Pivot> rows_;    // rows 0 .. n-2
};

// ---------------------------------------------------------------------------
// Jacobi eigen-solver

constexpr double kConvergenceThreshold = 1e-12;
constexpr double kEqualDiagonalThreshold = 1e-15;
constexpr double kQuarterPi = 0.7853981633974483;
constexpr std::size_t kRotationBudget = 500;

// How far ahead the gather of two columns asks for rows.
constexpr std::size_t kPrefetchRows = 16;

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

    void record(std::size_t p, std::size_t q, double c, double s) { steps_.push_back({slot_of(p), slot_of(q), c, s}); }

    // out[k * columns + j] = V[k][order[j]] for every row k and j < columns.
    void write_columns(const std::vector<std::size_t>& order, std::size_t columns, double* out) const {
        const std::size_t n = slot_.size();
        const std::size_t touched_count = index_.size();
        // kLanes rows at a time, one per lane: their replays are independent.
        std::vector<double> lanes(touched_count * kLanes);
        for (std::size_t first = 0; first < n; first += kLanes) {
            for (std::size_t t = 0; t < touched_count; ++t)
                for (std::size_t l = 0; l < kLanes; ++l) lanes[t * kLanes + l] = index_[t] == first + l ? 1.0 : 0.0;
            for (const Step& step : steps_) {
                double* __restrict vp = lanes.data() + step.p * kLanes;
                double* __restrict vq = lanes.data() + step.q * kLanes;
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const double old_p = vp[l], old_q = vq[l];
                    vp[l] = step.c * old_p - step.s * old_q;
                    vq[l] = old_q * step.c + old_p * step.s;
                }
            }
            for (std::size_t l = 0; l < kLanes && first + l < n; ++l) {
                const std::size_t k = first + l;
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
};

class JacobiSolver {
public:
    // Takes the working matrix W over (a copy of the input, or a scratch
    // matrix the caller no longer needs).
    JacobiSolver(std::unique_ptr<double[]> w, std::size_t n)
        : n_(n), w_(std::move(w)), pivots_(w_.get(), n), old_p_(n), old_q_(n), log_(n) {}

    void run() {
        std::size_t p = 0, q = 1;
        for (std::size_t rotations = 0; rotations < kRotationBudget; ++rotations) {
            if (!find_pivot(p, q)) return;
            rotate(p, q);
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

    double diagonal(std::size_t i) const { return w_[i * n_ + i]; }
    const RotationLog& rotations() const { return log_; }

private:
    double* row(std::size_t i) { return w_.get() + i * n_; }

    // The first largest |W[i][j]|, i < j, in row-major order: the first row
    // whose pivot beats all earlier rows strictly. False once it is below
    // the convergence threshold.
    bool find_pivot(std::size_t& p, std::size_t& q) const {
        double best = 0.0;
        p = 0;
        q = 1;
        const std::vector<Pivot>& rows = pivots_.row_pivots();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].magnitude > best) {
                best = rows[i].magnitude;
                p = i;
                q = rows[i].col;
            }
        }
        return !(best < kConvergenceThreshold);
    }

    void rotate(std::size_t p, std::size_t q) {
        double* wp = row(p);
        double* wq = row(q);
        const double wpp = wp[p], wqq = wq[q], wpq = wp[q];
        double s, c;
        ::sincos(rotation_angle(wpp, wqq, wpq), &s, &c);

        // Only rows and columns p and q change, and every new value comes
        // from the old columns p and q: gather them, rotate them into rows p
        // and q, and copy back into the columns only what is read later.
        read_column(p, old_p_.data());
        read_column(q, old_q_.data());
        rotate_pair(old_p_.data(), old_q_.data(), wp, wq, c, s);  // right for k != p, q
        for (std::size_t k = 0; k < n_; ++k) {
            if (k == p || k == q) continue;
            double* wk = row(k);
            const bool row_kept = log_.touched(k);
            if (k < p || row_kept) wk[p] = wp[k];
            if (k < p) pivots_.update(k, p, wp[k]);
            if (k < q || row_kept) wk[q] = wq[k];
            if (k < q) pivots_.update(k, q, wq[k]);
        }
        log_.record(p, q, c, s);

        const double c2 = c * c;
        const double s2 = s * s;
        const double cs2 = (s + s) * c;
        wp[p] = wqq * s2 + (wpp * c2 - wpq * cs2);
        wq[q] = c2 * wqq + (cs2 * wpq + s2 * wpp);
        wp[q] = 0.0;
        wq[p] = 0.0;

        pivots_.rebuild_row(p);
        if (q + 1 < n_) pivots_.rebuild_row(q);

    }

    // Column j of W into out[0 .. n). A touched column equals its row.
    void read_column(std::size_t j, double* out) {
        if (log_.touched(j)) {
            std::memcpy(out, row(j), n_ * sizeof(double));
            return;
        }
        // Strided loads, one row apart: fetch ahead so they overlap.
        for (std::size_t k = 0; k < n_; ++k) {
            if (k + kPrefetchRows < n_) __builtin_prefetch(row(k + kPrefetchRows) + j);
            out[k] = row(k)[j];
        }
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
    // W. Every rotation writes a pivot index's row and column alike, so once
    // index t has been rotated ("touched") row t and column t hold the same
    // values: row t is the copy kept exact and column t is read from it. A
    // column is written back only where the upper triangle (which the pivot
    // search reads) or the row of another touched index needs it.
    std::unique_ptr<double[]> w_;
    PivotTable pivots_;
    std::vector<double> old_p_, old_q_;  // columns p and q before a rotation
    RotationLog log_;
};

// Double centering into g (n*n, n = dist.rows >= 1), which first holds the
// squared distances.
void double_center_into(const MatrixView& dist, double* g) {
    const std::size_t n = dist.rows;
    const double recip = 1.0 / static_cast<double>(n);

    std::vector<double> row_mean(n);
    std::size_t i = 0;
    for (; i + kRowsPerPass <= n; i += kRowsPerPass) square_row_block<kRowsPerPass>(dist, i, recip, g, row_mean.data());
    for (; i < n; ++i) square_row_block<1>(dist, i, recip, g, row_mean.data());

    double sum = -0.0;
    for (const double r : row_mean) sum = sum + r;
    const double grand_mean = recip * sum;

    center_in_place(g, row_mean.data(), grand_mean, n);
}

// ---------------------------------------------------------------------------
// Stress

// Squared reconstructed distances from point i to points i+1 .. n-1, each
// a left-to-right sum over the axes of squared differences.
template <std::size_t D>
void squared_distances_from(const double* coords, std::size_t n, std::size_t i, double* out) {
    const double* xi = coords + i * D;
    for (std::size_t j = i + 1; j < n; ++j) {
        const double* xj = coords + j * D;
        double squared = (xi[0] - xj[0]) * (xi[0] - xj[0]);
        for (std::size_t k = 1; k < D; ++k) squared = squared + (xi[k] - xj[k]) * (xi[k] - xj[k]);
        out[j - i - 1] = squared;
    }
}

void squared_distances_from(const double* coords, std::size_t n, std::size_t d, std::size_t i, double* out) {
    if (d == 2) return squared_distances_from<2>(coords, n, i, out);
    if (d == 3) return squared_distances_from<3>(coords, n, i, out);
    const double* xi = coords + i * d;
    for (std::size_t j = i + 1; j < n; ++j) {
        const double* xj = coords + j * d;
        double squared = (xi[0] - xj[0]) * (xi[0] - xj[0]);
        for (std::size_t k = 1; k < d; ++k) squared = squared + (xi[k] - xj[k]) * (xi[k] - xj[k]);
        out[j - i - 1] = squared;
    }
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
    std::unique_ptr<double[]> w = uninitialised_large(a.size());
    std::copy(a.begin(), a.end(), w.get());
    JacobiSolver solver(std::move(w), n);
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
    std::vector<double> squared(n);
    double num = 0.0;
    double den = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        squared_distances_from(coords.data(), n, d, i, squared.data());
        accumulate_stress(dist.data() + i * n + i + 1, squared.data(), n - i - 1, num, den);
    }
    return den < 1e-15 ? 0.0 : std::sqrt(num / den);
}

Reconstruction reconstruct_coords(const std::vector<double>& dist, std::size_t n, std::uint64_t d, double tol) {
    if (d != 2 && d != 3) raise_fault("Only d=2 and d=3 are supported");
    if (n <= d) raise_fault("Need at least d+1 nodes to reconstruct in d dimensions");
    require_equal(dist.size(), checked_product(n, n), "reconstruct_coords: dist.size() == n * n");
    const std::size_t dims = static_cast<std::size_t>(d);

    // G is only the solver's starting matrix: build it in the solver's buffer.
    std::unique_ptr<double[]> g = uninitialised_large(checked_product(n, n));
    double_center_into(MatrixView::row_major(dist.data(), n, n), g.get());
    JacobiSolver solver(std::move(g), n);
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

    result.stress = kruskal_stress(dist, result.coords, n, dims);
    result.is_isometric = result.stress < tol;
    return result;
}

}  // namespace tarvel
