// Incremental rank test: decides, one row at a time, whether a row is
// linearly independent of the rows accepted before it, keeping the accepted
// rows in reduced row echelon form (Gauss-Jordan with an absolute tolerance).
//
// A value counts as non-zero only when its magnitude is strictly greater than
// the tolerance, so a NaN is never a pivot and never triggers an elimination
// step. The tolerance is used as given (zero, negative or NaN included).
//
// Every answer, pivot and stored value equals that of the plain dense
// algorithm (zeros up to their sign); the work is cut without changing a
// value:
//  - Delayed back-substitution. Each accepted row is also kept as it was at
//    acceptance, as a pending update. A stored row receives the updates of
//    the rows accepted after it in acceptance order, each multiplier read
//    from its entry in that update's pivot column after the earlier ones, but
//    only when an incoming row needs it or when the pending block is full;
//    then all at once, while the row sits in cache.
//  - Sparse updates. An update touches only the runs of non-zeros of its row
//    (x - 0*f == x for finite f); a row's elimination only its window of
//    possibly non-zero columns. A non-finite multiplier meets every column,
//    as 0 * inf is NaN.
//  - Vector kernels (AVX2 where the CPU has it, no fused multiply-add).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "row_entry.hpp"

namespace tarvel {

class IncrementalRankChecker {
public:
    IncrementalRankChecker(std::uint64_t ncols, double tol);

    // Empties the checker for a new pass over `ncols` columns with `tol`,
    // keeping its storage for reuse.
    void reset(std::uint64_t ncols, double tol);

    // Room for `count` basis rows up front. Only a capacity hint: the basis
    // grows on demand past it.
    void reserve_rows(std::uint64_t count);

    // Offers the row that is 0.0 except at the given entries, written in
    // order (a later entry for the same column wins): true (and the reduced
    // row is stored) when it raises the rank; false leaves the checker
    // unchanged. InternalFault for a column >= ncols.
    bool add_row_entries(std::span<const RowEntry> entries);

    std::uint64_t rank() const { return rank_; }
    std::uint64_t ncols() const { return ncols_; }

private:
    friend class RankCheckerPeer;  // tests/cpp/support: reads the basis

    // One pending update as a row kernel sees it: target[c] -= source[c] *
    // factor for the columns of [begin, end) (zeros of the source outside it).
    struct UpdateTerm {
        const double* source;
        double factor;
        std::uint64_t begin, end;
    };
    // Columns [begin, end) of an update row, zeros between non-zeros merged
    // when the gap is short.
    struct Run {
        std::uint64_t begin, end;
    };
    // Per stored row: columns outside [low, high) are exactly zero, and the
    // updates of rows before `received` have been applied.
    struct RowState {
        std::uint64_t low = 0, high = 0, received = 0;
    };

    double* basis_row(std::uint64_t k) { return basis_.data() + k * ncols_; }
    const double* basis_row(std::uint64_t k) const { return basis_.data() + k * ncols_; }
    const double* update_row(std::uint64_t k) const { return updates_.data() + (k - first_update_) * ncols_; }
    void make_room_for_one_more_row();
    double* start_incoming_row();
    bool reduce_incoming_row();
    void eliminate(double* row);
    bool find_pivot(const double* row, std::uint64_t& column) const;
    void record_update(const double* pivot_row);
    void apply_update(double* target, RowState& state, std::uint64_t k, double factor) const;
    void receive_updates(double* target, RowState& state, std::uint64_t up_to) const;
    void bring_up_to_date(std::uint64_t k);
    void apply_all_updates();
    void gather_pivot_entries();
    bool find_multipliers(std::uint64_t k);
    void apply_multipliers_by_tiles();

    std::uint64_t ncols_;
    double tol_;
    std::uint64_t rank_ = 0;
    // Basis rows k = 0 .. rank-1 back to back (row k at k*ncols), followed by
    // the slot in which an incoming row is reduced; accepting a row is then
    // just counting it.
    std::vector<double> basis_;
    std::vector<std::uint64_t> pivots_;  // sized like basis_; the first rank_ are set
    std::vector<RowState> states_;       // one per stored row

    // Rows first_update_ .. rank-1 as they were when accepted, with their
    // runs: the back-substitutions some stored rows have not received yet.
    std::uint64_t first_update_ = 0;
    std::vector<double> updates_;
    std::vector<std::vector<Run>> update_runs_;

    // Scratch of a blocked flush: the pending updates' entries in each
    // other's pivot columns, and per stored row the updates it receives
    // with their multipliers (see apply_all_updates).
    struct Multiplier {
        std::uint64_t slot;
        double factor;
    };
    std::vector<double> pivot_entries_;  // [j * pending + k]: update j's entry in update k's pivot column
    std::vector<double> pivot_column_;
    std::vector<Multiplier> multipliers_;
    std::vector<std::uint64_t> multipliers_begin_;  // per stored row, then one past the last
    std::vector<UpdateTerm> tile_terms_;

    static void subtract_terms(double* target, const UpdateTerm* terms, std::size_t count, std::size_t begin,
                               std::size_t end);
};

}  // namespace tarvel
