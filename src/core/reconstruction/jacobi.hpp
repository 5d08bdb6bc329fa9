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
#include <memory>
#include <vector>

#include "numeric/fault.hpp"
#include "numeric/large_buffer.hpp"

namespace tarvel {

// A symmetric n*n matrix A as the solver reads it (it never writes it):
//   at(i, j)                    A[i][j];
//   source_of(i, j)             where at(i, j) reads from, to fetch it ahead;
//   row_part(i, from, to, out)  out[j - from] = A[i][j] for from <= j < to;
//   column(j, out)              column j into out[0 .. n) if it can be formed
//                               along a row, else false (and nothing written);
//   block_maxima(b, width, rows, out)
//                               out[i] = the largest |A[i][j]| over the
//                               columns j > i of block b (`width` columns
//                               each), -1.0 if all are NaN, for i < rows, if
//                               known without reading the entries, else false.
template <class M>
concept StartingMatrix = requires(const M& m, std::size_t i, std::size_t j, double* out) {
    { m.at(i, j) } -> std::same_as<double>;
    { m.source_of(i, j) } -> std::same_as<const double*>;
    m.row_part(i, i, j, out);
    { m.column(j, out) } -> std::same_as<bool>;
    { m.block_maxima(i, j, i, out) } -> std::same_as<bool>;
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

// W'[k][p] = W[k][p] c - W[k][q] s and W'[k][q] = W[k][q] c + W[k][p] s
// for k < n, in place over the columns kp and kq.
void rotate_pair(double* __restrict kp, double* __restrict kq, double c, double s, std::size_t n);

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

    // The starting matrix's block maxima (see StartingMatrix); W's until
    // the first rotation.
    bool start_block_maxima(std::size_t b, std::size_t width, std::size_t rows, double* out) const {
        return start_.block_maxima(b, width, rows, out);
    }

    double entry(std::size_t i, std::size_t j) const {
        if (stamp_[j] > stamp_[i]) return row_[j][i];
        return stamp_[i] > 0 ? row_[i][j] : start_.at(i, j);
    }

    // W[i][from .. n): the stored row itself where it holds them all (right
    // after row i's own rotation), else written into scratch[from .. n).
    const double* row_from(std::size_t i, std::size_t from, double* scratch) const {
        if (stamp_[i] > 0 && stamp_[i] == latest_stamp_) return row_[i];
        row_part(i, from, n_, scratch + from);
        return scratch;
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

    // Column j of W, written into the storage of row j (taken from the pool
    // on j's first rotation), where the rotation then turns it into the new
    // row j. W itself is unchanged: a stored row j already holds column j
    // except where a row rotated since holds the entry, and a new row is
    // read as W only after mark_rotated.
    double* column_into_row(std::size_t j) {
        if (stamp_[j] > 0) {
            double* out = row_[j];
            for (auto k = by_recency_.rbegin(); k != by_recency_.rend() && stamp_[*k] > stamp_[j]; ++k)
                out[*k] = row_[*k][j];
            return out;
        }
        double* out = row_[j] != nullptr ? row_[j] : (row_[j] = pool_.get() + (rows_used_++) * n_);
        // The stored rows' entries lie one row apart: ask for them before
        // the column is formed, so that they arrive meanwhile.
        for (const std::size_t k : by_recency_) __builtin_prefetch(row_[k] + j);
        if (start_.column(j, out)) {
            for (const std::size_t k : by_recency_) out[k] = row_[k][j];
            return out;
        }
        // One row apart: fetch ahead so that the loads overlap.
        for (std::size_t k = 0; k < n_; ++k) {
            if (k + kGatherAhead < n_) {
                const std::size_t ahead = k + kGatherAhead;
                __builtin_prefetch(stamp_[ahead] > 0 ? row_[ahead] + j : start_.source_of(ahead, j));
            }
            out[k] = stamp_[k] > 0 ? row_[k][j] : start_.at(k, j);
        }
        return out;
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

// A range whose maximum is no longer known: `magnitude` is then only an
// upper bound of its entries.
inline constexpr std::size_t kStale = static_cast<std::size_t>(-2);

// Columns per block of a row.
inline constexpr std::size_t kBlock = 32;

// Pivot candidates of many ranges, field by field, so that kernels treat
// several at once: range r's is (magnitude[r], col[r]).
struct PivotRecords {
    double* magnitude;
    std::size_t* col;

    Pivot at(std::size_t r) const { return {magnitude[r], col[r]}; }
    void set(std::size_t r, const Pivot& pivot) const {
        magnitude[r] = pivot.magnitude;
        col[r] = pivot.col;
    }
};

// W[i][col] of every row i in [from, to) now holds values[i], and nothing
// else of those rows changed since: `rows` (by row) and `blocks` (the
// records of col's block, by row) stay the rows' and blocks' pivots, or
// bounds marked kStale. An entry that does not shrink while it is the
// pivot, or that beats the pivot, keeps the pivot exact; one that shrinks
// while it is the pivot leaves its old magnitude as a bound. A stale block
// keeps a bound; a stale row becomes exact again once an entry beats its
// bound. Ties go to the earlier column; NaN never wins.
void update_column(PivotRecords rows, PivotRecords blocks, std::size_t col, const double* values, std::size_t from,
                   std::size_t to);

// The first largest |entries[j]|, from <= j < to (its column j), or
// kNoPivot if there is none (all NaN, or empty).
Pivot first_largest(const double* entries, std::size_t from, std::size_t to);

// The largest magnitude of each block b*kBlock .. (b+1)*kBlock - 1 of
// columns, cut to [from, to), stored as a stale bound at out's record
// b*stride (its column is found when a search needs it); returns the first
// largest of the whole range.
Pivot block_bounds(const double* entries, std::size_t from, std::size_t to, PivotRecords out, std::size_t stride);

// The first r in [from, to) with magnitude[r] > bound, else `to`.
std::size_t first_above(const double* magnitude, std::size_t from, std::size_t to, double bound);

// The pivot of every row of W's upper triangle (its first largest |W[i][j]|,
// j > i), kept under rotations so that choosing the next pivot costs O(n)
// rather than a search of the whole triangle.
//
// A rotation changes at most two upper entries of a row (update_column).
// A row marked stale there has its pivot found again from per-block maxima
// only when the pivot search meets a bound that could win; blocks go stale
// the same way and are rescanned only when their bound could beat the best
// of the row so far.
template <class Working>
class PivotTable {
public:
    // Indexes every row of `w` as it stands, before any rotation.
    PivotTable(const Working& w, std::size_t n)
        : w_(w),
          n_(n),
          blocks_per_row_((n + kBlock - 1) / kBlock),
          block_magnitude_(uninitialised_large(checked_product(n, blocks_per_row_))),
          block_col_(uninitialised_large<std::size_t>(checked_product(n, blocks_per_row_))),
          row_magnitude_(n > 1 ? n - 1 : 0),
          row_col_(n > 1 ? n - 1 : 0),
          row_entries_(n) {
        if (index_from_block_maxima()) return;
        for (std::size_t i = 0; i < row_magnitude_.size(); ++i) rebuild_row(i);
    }

    // Each row's pivot magnitude, or for a stale row an upper bound of its
    // entries.
    const double* row_bounds() const { return row_magnitude_.data(); }
    std::size_t rows() const { return row_magnitude_.size(); }

    // Row i was rewritten as a whole. Its entries are read in one go (from
    // its stored row, or formed) and then scanned block by block.
    void rebuild_row(std::size_t i) {
        const double* entries = w_.row_from(i, i + 1, row_entries_.data());
        const PivotRecords row_in_blocks{block_magnitude_.get() + i, block_col_.get() + i};
        rows_records().set(i, block_bounds(entries, i + 1, n_, row_in_blocks, n_));
    }

    // W[i][col], col > i, now holds values[i] for every row i in [from, to)
    // (from <= to <= col); nothing else in those rows changed since the last
    // call.
    void update_column(std::size_t col, const double* values, std::size_t from, std::size_t to) {
        jacobi::update_column(rows_records(), blocks(col / kBlock), col, values, from, to);
    }

    // Row i's pivot, made exact first if it was stale.
    Pivot exact_row_pivot(std::size_t i) {
        if (row_col_[i] == kStale) combine_blocks(i);
        return rows_records().at(i);
    }

private:
    // The index from the starting matrix's block maxima, where it knows
    // them: each block's maximum becomes its bound (stale: its column is
    // looked for when needed), each row's pivot is the first largest of its
    // blocks' maxima, found within that block. False if they are unknown.
    bool index_from_block_maxima() {
        const std::size_t rows = row_magnitude_.size();
        std::vector<std::size_t> pivot_block(rows, 0);
        std::fill(row_magnitude_.begin(), row_magnitude_.end(), kNoPivot.magnitude);
        for (std::size_t b = 0; b < blocks_per_row_; ++b) {
            // Rows with entries right of the diagonal in block b.
            const std::size_t rows_in_block = std::min(rows, b * kBlock + kBlock - 1);
            const PivotRecords records = blocks(b);
            if (!w_.start_block_maxima(b, kBlock, rows_in_block, records.magnitude)) return false;
            std::fill(records.col, records.col + rows_in_block, kStale);
            for (std::size_t i = 0; i < rows_in_block; ++i) {
                if (records.magnitude[i] > row_magnitude_[i]) {  // an equal one lies further right
                    row_magnitude_[i] = records.magnitude[i];
                    pivot_block[i] = b;
                }
            }
        }
        for (std::size_t i = 0; i < rows; ++i) {
            if (row_magnitude_[i] == kNoPivot.magnitude) {
                row_col_[i] = kNoPivot.col;
                continue;
            }
            const Pivot pivot = scan_block(i, pivot_block[i]);
            blocks(pivot_block[i]).set(i, pivot);
            row_col_[i] = pivot.col;
        }
        return true;
    }

    std::size_t first_block(std::size_t i) const { return (i + 1) / kBlock; }
    PivotRecords rows_records() { return {row_magnitude_.data(), row_col_.data()}; }
    // Block-major, so that the update of one column across all rows walks
    // consecutive records.
    PivotRecords blocks(std::size_t b) { return {block_magnitude_.get() + b * n_, block_col_.get() + b * n_}; }

    Pivot scan_block(std::size_t i, std::size_t b) const {
        const std::size_t from = std::max(b * kBlock, i + 1);
        const std::size_t to = std::min(b * kBlock + kBlock, n_);
        double entries[kBlock];
        w_.row_part(i, from, to, entries);
        const Pivot found = first_largest(entries, 0, to - from);
        return found.col == kNoPivot.col ? found : Pivot{found.magnitude, found.col + from};
    }

    // The row's pivot from its blocks in column order, first-wins. A stale
    // block can only matter if its bound beats the best so far strictly: an
    // equal entry in it would come later.
    void combine_blocks(std::size_t i) {
        Pivot best = kNoPivot;
        for (std::size_t b = first_block(i); b < blocks_per_row_; ++b) {
            Pivot candidate = blocks(b).at(i);
            if (!(candidate.magnitude > best.magnitude)) continue;
            if (candidate.col == kStale) {
                candidate = scan_block(i, b);
                blocks(b).set(i, candidate);
                if (!(candidate.magnitude > best.magnitude)) continue;
            }
            best = candidate;
        }
        rows_records().set(i, best);
    }

    const Working& w_;
    std::size_t n_;
    std::size_t blocks_per_row_;
    // blocks_per_row_ x n; blocks left of the diagonal unused. Huge pages:
    // combining a row's blocks strides through all of it.
    std::unique_ptr<double[]> block_magnitude_;
    std::unique_ptr<std::size_t[]> block_col_;
    std::vector<double> row_magnitude_;  // rows 0 .. n-2
    std::vector<std::size_t> row_col_;
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
    // Rows replayed side by side (two vectors of lanes).
    static constexpr std::size_t kLanes = 8;

    struct Step {
        std::size_t p, q;  // slots
        double c, s;
    };

    // Applies `count` steps to rows kept slot by slot, kLanes rows per slot.
    static void replay(const Step* steps, std::size_t count, double* rows);

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
        : n_(n), w_(start, n, 2 * jacobi::kRotationBudget), pivots_(w_, n), log_(n) {}

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
        std::vector<double> value(n_);
        std::vector<std::size_t> order(n_);
        for (std::size_t i = 0; i < n_; ++i) {
            value[i] = diagonal(i);
            order[i] = i;
        }
        std::stable_sort(order.begin(), order.end(),
                         [&value](std::size_t a, std::size_t b) { return value[a] > value[b]; });
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
        const std::size_t rows = pivots_.rows();
        for (std::size_t i = 0;; ++i) {
            i = jacobi::first_above(pivots_.row_bounds(), i, rows, best);
            if (i == rows) break;
            const jacobi::Pivot pivot = pivots_.exact_row_pivot(i);
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
        // from the old columns p and q: gather them into rows p and q and
        // rotate them there; the rows then also stand for columns p and q.
        double* wp = w_.column_into_row(p);
        double* wq = w_.column_into_row(q);
        jacobi::rotate_pair(wp, wq, c, s, n_);  // right for k != p, q
        log_.record(p, q, c, s);

        const double c2 = c * c;
        const double s2 = s * s;
        const double cs2 = (s + s) * c;
        wp[p] = wqq * s2 + (wpp * c2 - wpq * cs2);
        wq[q] = c2 * wqq + (cs2 * wpq + s2 * wpp);
        wp[q] = 0.0;
        wq[p] = 0.0;
        w_.mark_rotated(p, q, stamp);

        // Each row's entry in column p before its entry in column q.
        pivots_.update_column(p, wp, 0, p);
        pivots_.update_column(q, wq, 0, p);
        pivots_.update_column(q, wq, p + 1, q);
        pivots_.rebuild_row(p);
        if (q + 1 < n_) pivots_.rebuild_row(q);
    }

    std::size_t n_;
    jacobi::WorkingMatrix<Start> w_;
    jacobi::PivotTable<jacobi::WorkingMatrix<Start>> pivots_;
    jacobi::RotationLog log_;
};

}  // namespace tarvel
