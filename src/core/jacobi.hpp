// The symmetric eigen-solver: the classical Jacobi method. Each rotation
// removes the largest off-diagonal entry (the first in row-major order among
// equals) until none reaches 1e-12 or 500 rotations are spent; the
// eigenpairs come out by descending eigenvalue, equal ones in diagonal
// order.
//
// The solver never stores the matrix it starts from: it reads it through a
// StartingMatrix and keeps only the rows its rotations rewrite, with per-row
// pivot maxima refreshed only when the search could pick them and a log of
// rotations replayed into the eigenvectors at the end. Every value is that
// of the plain algorithm (a full copy of W per rotation, a search of the
// whole triangle per pivot), bit for bit.
#pragma once

#include <math.h>  // sincos

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "fault.hpp"
#include "large_buffer.hpp"

namespace tarvel {

// A symmetric n*n matrix A as the solver reads it (it never writes it):
//   at(i, j)                    A[i][j];
//   source_of(i, j)             where at(i, j) reads from, to fetch it ahead;
//   row_part(i, from, to, out)  out[j - from] = A[i][j] for from <= j < to;
//   column(j, out)              column j into out[0 .. n) if it can be formed
//                               along a row, else false (and nothing written).
template <class M>
concept StartingMatrix = requires(const M& m, std::size_t i, std::size_t j, double* out) {
    { m.at(i, j) } -> std::same_as<double>;
    { m.source_of(i, j) } -> std::same_as<const double*>;
    m.row_part(i, i, j, out);
    { m.column(j, out) } -> std::same_as<bool>;
};

namespace jacobi {

inline constexpr double kConvergenceThreshold = 1e-12;
inline constexpr double kEqualDiagonalThreshold = 1e-15;
inline constexpr double kQuarterPi = 0.7853981633974483;
inline constexpr std::size_t kRotationBudget = 500;

// The angle of the rotation that removes W[p][q].
inline double rotation_angle(double wpp, double wqq, double wpq) {
    const double diff = wqq - wpp;
    if (std::fabs(diff) < kEqualDiagonalThreshold) return kQuarterPi;
    return std::atan((wpq + wpq) / diff) * 0.5;
}

// How far ahead the gather of a column asks for rows.
inline constexpr std::size_t kGatherAhead = 32;

// The solver's working matrix W without any n*n storage of its own. A
// rotation on (p, q) writes row and column p alike (and q's), so it stores
// only rows p and q, in rows of their own, and stamps both; column p is then
// read from row p. W[i][j] is therefore row j's entry i if j was rotated
// after i (stamp[j] > stamp[i]), otherwise row i's entry j, where the row of
// a never-rotated index (stamp 0) is the starting matrix's. (The two rows of
// one rotation hold the same value for each other.)
template <StartingMatrix Start>
class WorkingMatrix {
public:
    WorkingMatrix(Start start, std::size_t n, std::size_t max_rows)
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
    Start start_;
    std::size_t n_;
    std::vector<std::size_t> stamp_;       // last rotation of each index, 0 = none
    std::size_t latest_stamp_ = 0;
    std::vector<double*> row_;             // the stored row of each rotated index
    std::vector<std::size_t> by_recency_;  // rotated indices, by stamp ascending
    std::unique_ptr<double[]> pool_;
    std::size_t rows_used_ = 0;
};

// ---------------------------------------------------------------------------
// Pivot bookkeeping

// An entry |W[i][col]| of the upper triangle as a pivot candidate.
struct Pivot {
    double magnitude;
    std::size_t col;
};

// A range with no candidate (NaN only, or empty): loses against every
// number, since magnitudes are >= 0.
inline constexpr Pivot kNoPivot{-1.0, static_cast<std::size_t>(-1)};

// A block whose maximum is no longer known: `magnitude` is then only an
// upper bound of its entries.
inline constexpr std::size_t kStale = static_cast<std::size_t>(-2);

// Columns per block of a row.
inline constexpr std::size_t kBlock = 32;

// Takes `entry` if it beats `pivot` in the search order: larger, or equal
// and met earlier. NaN never wins.
inline void offer(Pivot& pivot, const Pivot& entry) {
    if (entry.magnitude > pivot.magnitude || (entry.magnitude == pivot.magnitude && entry.col < pivot.col))
        pivot = entry;
}

// First-wins maximum of |row[j]| over [from, to), NaN never chosen. The
// maximum itself does not depend on the visiting order, so four lanes find
// it; the first column holding it is then the pivot the left-to-right
// strictly-greater scan would have picked.
inline Pivot scan_range(const double* row, std::size_t from, std::size_t to) {
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
template <class Working>
class PivotTable {
public:
    // Indexes every row of `w` as it stands.
    PivotTable(const Working& w, std::size_t n)
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

    const Working& w_;
    std::size_t n_;
    std::size_t blocks_per_row_;
    // blocks_per_row_ x n; blocks left of the diagonal unused. Huge pages:
    // combining a row's blocks strides through all of it.
    std::unique_ptr<Pivot[]> blocks_;
    std::vector<Pivot> rows_;    // rows 0 .. n-2
    std::vector<double> row_entries_;  // scratch: the row being rebuilt, by column
};

// ---------------------------------------------------------------------------
// Rotations

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

    // Appends the rotation (p, q) by the angle of cosine c and sine s.
    void record(std::size_t p, std::size_t q, double c, double s);

    // out[k * columns + j] = V[k][order[j]] for every row k and j < columns.
    void write_columns(const std::vector<std::size_t>& order, std::size_t columns, double* out) const;

private:
    static constexpr std::size_t kUntouched = static_cast<std::size_t>(-1);
    static constexpr std::size_t kLanes = 4;

    struct Step {
        std::size_t p, q;  // slots
        double c, s;
    };

    std::size_t slot_of(std::size_t i);

    std::vector<std::size_t> slot_;   // index -> slot among the touched ones
    std::vector<std::size_t> index_;  // slot -> index
    std::vector<Step> steps_;
    bool finite_steps_ = true;
};

}  // namespace jacobi

// The solver on a starting matrix of n rows. run() rotates; then the
// eigenvalues are the diagonal entries in descending_order(), and
// rotations().write_columns(order, k, out) gives the first k eigenvectors.
template <StartingMatrix Start>
class JacobiSolver {
public:
    JacobiSolver(Start start, std::size_t n)
        : n_(n), w_(start, n, 2 * jacobi::kRotationBudget), pivots_(w_, n), old_p_(n), old_q_(n), log_(n) {}

    void run() {
        std::size_t p = 0, q = 1;
        for (std::size_t rotations = 0; rotations < jacobi::kRotationBudget; ++rotations) {
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
    const jacobi::RotationLog& rotations() const { return log_; }

private:
    // The first largest |W[i][j]|, i < j, in row-major order: the first row
    // whose pivot beats all earlier rows strictly. A row whose bound cannot
    // beat the best so far is skipped unresolved. False once the pivot is
    // below the convergence threshold.
    bool find_pivot(std::size_t& p, std::size_t& q) {
        double best = 0.0;
        p = 0;
        q = 1;
        const std::vector<jacobi::Pivot>& bounds = pivots_.row_bounds();
        for (std::size_t i = 0; i < bounds.size(); ++i) {
            if (!(bounds[i].magnitude > best)) continue;
            const jacobi::Pivot& pivot = pivots_.exact_row_pivot(i);
            if (pivot.magnitude > best) {
                best = pivot.magnitude;
                p = i;
                q = pivot.col;
            }
        }
        return !(best < jacobi::kConvergenceThreshold);
    }

    // Rotation number `stamp` (from 1) on the pivot (p, q).
    void rotate(std::size_t p, std::size_t q, std::size_t stamp) {
        const double wpp = w_.entry(p, p), wqq = w_.entry(q, q), wpq = w_.entry(p, q);
        double s, c;
        ::sincos(jacobi::rotation_angle(wpp, wqq, wpq), &s, &c);

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
    jacobi::WorkingMatrix<Start> w_;
    jacobi::PivotTable<jacobi::WorkingMatrix<Start>> pivots_;
    std::vector<double> old_p_, old_q_;  // columns p and q before a rotation
    jacobi::RotationLog log_;
};

}  // namespace tarvel
