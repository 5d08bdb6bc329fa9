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
//  - Columns stored axis by axis. Columns given node by node (a node's
//    `axes` coordinates side by side) are kept with each axis's columns
//    together. The rows of a framework take their pivots mostly one axis
//    after another, and the non-zeros of a pending update then form a block
//    of columns instead of every axes-th one. The order in which a pivot is
//    searched for stays that of the given columns.
//  - Vector kernels (AVX2 where the CPU has it, no fused multiply-add).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "numeric/large_buffer.hpp"
#include "numeric/row_entry.hpp"

namespace tarvel {

class IncrementalRankChecker {
public:
    // Columns c = node * axes + axis; `axes` must divide ncols.
    IncrementalRankChecker(std::uint64_t ncols, double tol, std::uint64_t axes = 1);

    // Empties the checker for a new pass, keeping its storage for reuse.
    void reset(std::uint64_t ncols, double tol, std::uint64_t axes = 1);

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

    // Updates held back before every stored row receives them: each stored
    // row is then streamed from memory once per block instead of once per
    // accepted row.
    static constexpr std::uint64_t kBlockRows = 64;
    // Columns of a tile, the unit in which a flush skips zeros and the width
    // of a row's share held in vector registers.
    static constexpr std::uint64_t kTileColumns = 32;

private:
    friend class RankCheckerPeer;  // tests/cpp/support: reads the basis

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

    // The updates one stored row receives in a flush (bit j of `slots` for
    // pending update j, its multiplier at factors[j]) and the tiles they meet.
    struct RowTerms {
        std::uint64_t slots = 0;
        double* factors = nullptr;
        std::uint64_t first_tile = 0, end_tile = 0;
    };

    std::uint64_t stored_column(std::uint64_t column) const;
    std::uint64_t given_column(std::uint64_t stored) const;
    std::uint64_t tile_count() const;

    // Row places in the storage: the pending updates, their packed copy, the
    // basis.
    static constexpr std::uint64_t kPackedRow = kBlockRows, kBasisRow = 2 * kBlockRows;
    double* basis_row(std::uint64_t k) { return storage_.data() + (kBasisRow + k) * stride_; }
    const double* basis_row(std::uint64_t k) const { return storage_.data() + (kBasisRow + k) * stride_; }
    const double* update_row(std::uint64_t k) const { return storage_.data() + (k - first_update_) * stride_; }
    double* packed_tile(std::uint64_t tile) {
        return storage_.data() + kPackedRow * stride_ + tile * kBlockRows * kTileColumns;
    }
    std::uint64_t basis_capacity() const;
    void grow_basis(std::uint64_t rows);
    void make_room_for_one_more_row();

    double* start_incoming_row();
    bool reduce_incoming_row();
    void eliminate(double* row);
    std::uint64_t next_to_eliminate(const double* row, std::uint64_t k) const;
    bool find_pivot(const double* row, std::uint64_t& column) const;
    void record_update(const double* pivot_row);

    void apply_update(double* target, RowState& state, std::uint64_t k, double factor) const;
    void receive_updates(double* target, RowState& state, std::uint64_t up_to) const;
    void bring_up_to_date(std::uint64_t k);
    void apply_all_updates();
    void gather_pivot_entries();
    void pack_updates();
    bool find_terms(std::uint64_t k, RowTerms& row_terms);
    void apply_updates_to_rows(std::uint64_t begin, std::uint64_t end);

    std::uint64_t ncols_;
    std::uint64_t stride_ = 0;  // ncols rounded up to whole tiles; the columns past ncols stay zero
    double tol_;
    std::uint64_t axes_ = 1, nodes_ = 0;  // given column node * axes + axis is stored at axis * nodes + node
    std::uint64_t rank_ = 0;
    // The pass's large storage in one piece of working memory (on huge pages
    // when it spans some), rows of `stride` values: the pending updates
    // (first_update_ .. rank-1 as they were when accepted); the scratch in
    // which a flush packs them tile by tile (each tile's share of all of them
    // side by side); then the basis rows k = 0 .. rank-1 back to back,
    // followed by the slot in which an incoming row is reduced, so that
    // accepting a row is just counting it. Grown (and copied) only when the
    // basis outgrows it.
    WorkingArray<double> storage_;
    std::vector<std::uint64_t> pivots_;  // stored columns; sized like the basis, the first rank_ are set
    std::vector<RowState> states_;       // one per stored row

    // The pending updates (the back-substitutions some stored rows have not
    // received yet) with their runs and, per tile of columns, which of them
    // have a non-zero there.
    std::uint64_t first_update_ = 0;
    std::vector<std::vector<Run>> update_runs_;
    std::vector<std::uint64_t> tile_slots_;  // per tile: bit j for pending update j

    // Scratch of a blocked flush: the pending updates' entries in each
    // other's pivot columns, and the multipliers of a group of stored rows
    // (see apply_all_updates).
    std::vector<double> pivot_entries_;  // [j * pending + k]: update j's entry in update k's pivot column
    std::vector<double> group_factors_;
};

}  // namespace tarvel
