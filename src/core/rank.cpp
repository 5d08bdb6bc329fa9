#include "rank.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "fault.hpp"

// The row kernels run element by element exactly as written (with
// -ffp-contract=off nothing is fused), so a vector unit gives the same bits as
// scalar code. On x86-64 an AVX2 clone is chosen at load time where the CPU
// has it; the baseline clone keeps the binary portable.
#if defined(__x86_64__) && defined(__GLIBC__) && !defined(__clang__)
#define TARVEL_ROW_KERNEL __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define TARVEL_ROW_KERNEL
#endif

namespace tarvel {

namespace {

// Updates held back before every stored row receives them: each stored row
// is then streamed from memory once per block instead of once per accepted
// row. (At n = 1000, d = 2, 8 rows cost twice as much as 32; 32 to 128 were
// alike.)
constexpr std::uint64_t kBlockRows = 64;

// Zeros between two non-zeros of an update row are swept along with them
// when the gap is this short: cheaper than starting a new run.
constexpr std::uint64_t kRunGap = 8;

// target[c] = target[c] - source[c] * factor for c in [begin, end).
TARVEL_ROW_KERNEL void subtract_multiple(double* __restrict target, const double* __restrict source,
                                         double factor, std::size_t begin, std::size_t end) {
    for (std::size_t c = begin; c < end; ++c) target[c] = target[c] - source[c] * factor;
}

// Runs of a few columns (lone residues) are not worth a call through the
// dispatcher.
void subtract_multiple_short(double* __restrict target, const double* __restrict source, double factor,
                             std::size_t begin, std::size_t end) {
    if (end - begin >= 16) {
        subtract_multiple(target, source, factor, begin, end);
        return;
    }
    for (std::size_t c = begin; c < end; ++c) target[c] = target[c] - source[c] * factor;
}

// A blocked flush takes the stored rows kGroupRows at a time (they stay in
// the second-level cache) and their columns kTileColumns at a time: the
// pending updates' share of a tile (kBlockRows x kTileColumns doubles, 16 KiB)
// stays in the first-level cache while it serves every row of the group.
// (At n = 1000, d = 2, tiles of 64 or 128 columns and groups of 8 were
// slower; the pending rows streamed from the second-level cache once per
// stored row capped the kernel at about a third of its speed.)
constexpr std::uint64_t kTileColumns = 32;
constexpr std::uint64_t kGroupRows = 16;

// Columns of a stored row held in vector registers while the updates pass.
constexpr std::size_t kChunk = 32;

typedef double Lanes __attribute__((vector_size(32), aligned(8), may_alias));
constexpr std::size_t kLanes = 4;

// Whether an update over [term_begin, term_end) meets the columns [begin, end).
inline bool term_meets(std::uint64_t term_begin, std::uint64_t term_end, std::size_t begin, std::size_t end) {
    return term_begin < end && term_end > begin;
}

// A true division, not a multiplication by 1/divisor: the pivot entry must
// come out as exactly 1.0.
TARVEL_ROW_KERNEL void divide_all(double* __restrict target, double divisor, std::size_t ncols) {
    for (std::size_t c = 0; c < ncols; ++c) target[c] = target[c] / divisor;
}

}  // namespace

// For c in [begin, end): target[c] = target[c] - source_k[c] * factor_k for
// every term k in order, each column's value kept in registers from the first
// term to the last. A term skips only columns where its source is zero (its
// factor is finite, so such a step would not change the value).
TARVEL_ROW_KERNEL void IncrementalRankChecker::subtract_terms(double* __restrict target, const UpdateTerm* terms,
                                                              std::size_t count, std::size_t begin, std::size_t end) {
    std::size_t c = begin;
    for (; c + kChunk <= end; c += kChunk) {
        Lanes* chunk = reinterpret_cast<Lanes*>(target + c);
        Lanes value[kChunk / kLanes];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < kChunk / kLanes; ++v) value[v] = chunk[v];
        for (std::size_t k = 0; k < count; ++k) {
            const UpdateTerm& term = terms[k];
            if (!term_meets(term.begin, term.end, c, c + kChunk)) continue;
            const Lanes* source = reinterpret_cast<const Lanes*>(term.source + c);
            const Lanes factor = {term.factor, term.factor, term.factor, term.factor};
#pragma GCC unroll 8
            for (std::size_t v = 0; v < kChunk / kLanes; ++v) value[v] = value[v] - source[v] * factor;
        }
#pragma GCC unroll 8
        for (std::size_t v = 0; v < kChunk / kLanes; ++v) chunk[v] = value[v];
    }
    for (; c < end; ++c) {
        double value = target[c];
        for (std::size_t k = 0; k < count; ++k) {
            if (term_meets(terms[k].begin, terms[k].end, c, c + 1)) value = value - terms[k].source[c] * terms[k].factor;
        }
        target[c] = value;
    }
}

IncrementalRankChecker::IncrementalRankChecker(std::uint64_t ncols, double tol)
    : ncols_(ncols), tol_(tol) {}

void IncrementalRankChecker::reset(std::uint64_t ncols, double tol) {
    ncols_ = ncols;
    tol_ = tol;
    rank_ = 0;
    first_update_ = 0;
    basis_.clear();
    states_.clear();
}

void IncrementalRankChecker::reserve_rows(std::uint64_t count) {
    // One row more than the hint: the working slot behind the basis.
    const std::uint64_t rows = count + 1;
    reserve_checked(basis_, checked_product(rows, ncols_));
    reserve_checked(pivots_, rows);
    reserve_checked(states_, rows);
}

void IncrementalRankChecker::make_room_for_one_more_row() {
    // Everything that can fail is done before any row is touched, so a
    // failed allocation leaves the checker as it was.
    const std::uint64_t rows = rank_ + 1;
    const std::size_t values = checked_count(checked_product(rows, ncols_), sizeof(double));
    if (basis_.size() < values) basis_.resize(values);  // grows geometrically
    if (pivots_.size() < rows) pivots_.resize(checked_count(rows, sizeof(std::uint64_t)));
    states_.reserve(checked_count(rows, sizeof(RowState)));
    const std::size_t update_values = checked_count(checked_product(kBlockRows, ncols_), sizeof(double));
    if (updates_.size() < update_values) updates_.resize(update_values);
    if (update_runs_.size() < kBlockRows) update_runs_.resize(kBlockRows);
    // The scratch of the flush that accepting this row may trigger.
    if (pivot_entries_.size() < kBlockRows * kBlockRows) pivot_entries_.resize(kBlockRows * kBlockRows);
    if (pivot_column_.size() < kBlockRows) pivot_column_.resize(kBlockRows);
    if (tile_terms_.size() < kGroupRows * kBlockRows) tile_terms_.resize(kGroupRows * kBlockRows);
    const std::uint64_t multipliers = checked_product(rows, kBlockRows);
    if (multipliers_.size() < multipliers) multipliers_.resize(checked_count(multipliers, sizeof(Multiplier)));
    if (multipliers_begin_.size() < rows + 1) multipliers_begin_.resize(checked_count(rows + 1, sizeof(std::uint64_t)));
}

double* IncrementalRankChecker::start_incoming_row() {
    make_room_for_one_more_row();
    double* work = basis_row(rank_);
    std::fill(work, work + ncols_, 0.0);
    return work;
}

bool IncrementalRankChecker::add_row_entries(std::span<const RowEntry> entries) {
    for (const RowEntry& entry : entries) {
        if (entry.column >= ncols_) {
            raise_fault("Row entry column " + std::to_string(entry.column) + " out of range for ncols " +
                        std::to_string(ncols_));
        }
    }
    double* work = start_incoming_row();
    for (const RowEntry& entry : entries) work[entry.column] = entry.value;
    return reduce_incoming_row();
}

bool IncrementalRankChecker::reduce_incoming_row() {
    double* work = basis_row(rank_);
    eliminate(work);
    std::uint64_t column = 0;
    if (!find_pivot(work, column)) return false;
    divide_all(work, work[column], ncols_);
    pivots_[rank_] = column;
    // The back-substitution into the stored rows is owed from here on.
    record_update(work);
    ++rank_;
    return true;
}

void IncrementalRankChecker::eliminate(double* row) {
    for (std::uint64_t k = 0; k < rank_; ++k) {
        const double x = row[pivots_[k]];
        if (!(std::fabs(x) > tol_)) continue;
        bring_up_to_date(k);
        const RowState& state = states_[k];
        if (std::isfinite(x)) {
            subtract_multiple_short(row, basis_row(k), x, state.low, state.high);
        } else {
            subtract_multiple(row, basis_row(k), x, 0, ncols_);
        }
    }
}

bool IncrementalRankChecker::find_pivot(const double* row, std::uint64_t& column) const {
    for (std::uint64_t c = 0; c < ncols_; ++c) {
        if (std::fabs(row[c]) > tol_) {
            column = c;
            return true;
        }
    }
    return false;
}

void IncrementalRankChecker::record_update(const double* pivot_row) {
    if (rank_ - first_update_ == kBlockRows) apply_all_updates();
    const std::uint64_t slot = rank_ - first_update_;
    std::copy(pivot_row, pivot_row + ncols_, updates_.data() + slot * ncols_);

    std::vector<Run>& runs = update_runs_[slot];
    runs.clear();
    for (std::uint64_t c = 0; c < ncols_; ++c) {
        if (pivot_row[c] == 0.0) continue;  // NaN counts as non-zero
        if (!runs.empty() && c - runs.back().end <= kRunGap) {
            runs.back().end = c + 1;
        } else {
            runs.push_back(Run{c, c + 1});
        }
    }
    // The row itself owes nothing to its own update.
    states_.push_back(RowState{runs.front().begin, runs.back().end, rank_ + 1});
}

void IncrementalRankChecker::apply_update(double* target, RowState& state, std::uint64_t k,
                                          double factor) const {
    const double* source = update_row(k);
    if (!std::isfinite(factor)) {
        subtract_multiple(target, source, factor, 0, ncols_);
        state.low = 0;
        state.high = ncols_;
        return;
    }
    const std::vector<Run>& runs = update_runs_[k - first_update_];
    for (const Run& run : runs) subtract_multiple_short(target, source, factor, run.begin, run.end);
    state.low = std::min(state.low, runs.front().begin);
    state.high = std::max(state.high, runs.back().end);
}

void IncrementalRankChecker::receive_updates(double* target, RowState& state, std::uint64_t up_to) const {
    // In acceptance order, each multiplier read after the earlier updates;
    // the target stays in cache from one update to the next.
    for (std::uint64_t k = state.received; k < up_to; ++k) {
        const double f = target[pivots_[k]];
        if (std::fabs(f) > tol_) apply_update(target, state, k, f);
    }
    state.received = std::max(state.received, up_to);
}

void IncrementalRankChecker::bring_up_to_date(std::uint64_t k) {
    receive_updates(basis_row(k), states_[k], rank_);
}

// Brings every stored row up to date, with the same operations per element
// as receive_updates, in two steps:
//  - per row, the multipliers, one after the other: each needs only the row's
//    entries in the pending pivot columns, updated as the updates pass;
//  - per tile of columns, every row's share of all its updates at once, so
//    the pending rows are read from cache, not from memory, for each row.
// Zeros take part in this as in the plain order, so their sign is not
// determined here; with a negative or NaN tolerance a zero can be a
// multiplier or a pivot, and the rows take their updates one by one.
void IncrementalRankChecker::apply_all_updates() {
    if (tol_ >= 0.0 && rank_ - first_update_ > 1) {
        gather_pivot_entries();
        for (std::uint64_t k = 0; k < rank_; ++k) {
            multipliers_begin_[k + 1] = multipliers_begin_[k];
            // A non-finite multiplier meets every column of its update.
            if (!find_multipliers(k)) bring_up_to_date(k);
        }
        apply_multipliers_by_tiles();
    } else {
        for (std::uint64_t k = 0; k < rank_; ++k) bring_up_to_date(k);
    }
    first_update_ = rank_;
}

void IncrementalRankChecker::gather_pivot_entries() {
    const std::uint64_t pending = rank_ - first_update_;
    for (std::uint64_t j = 0; j < pending; ++j) {
        const double* source = update_row(first_update_ + j);
        for (std::uint64_t k = 0; k < pending; ++k) {
            pivot_entries_[j * pending + k] = source[pivots_[first_update_ + k]];
        }
    }
    multipliers_begin_[0] = 0;
}

// The multipliers of the updates stored row k has not received, in order,
// appended to multipliers_; false (and nothing appended) if one of them is
// not finite.
bool IncrementalRankChecker::find_multipliers(std::uint64_t k) {
    RowState& state = states_[k];
    const std::uint64_t pending = rank_ - first_update_;
    const std::uint64_t first = state.received - first_update_;
    const double* row = basis_row(k);
    for (std::uint64_t j = first; j < pending; ++j) pivot_column_[j] = row[pivots_[first_update_ + j]];

    const std::uint64_t begin = multipliers_begin_[k + 1];
    std::uint64_t end = begin;
    std::uint64_t low = state.low, high = state.high;
    for (std::uint64_t j = first; j < pending; ++j) {
        const double f = pivot_column_[j];
        if (!(std::fabs(f) > tol_)) continue;
        if (!std::isfinite(f)) return false;
        multipliers_[end++] = Multiplier{j, f};
        const std::vector<Run>& runs = update_runs_[j];
        low = std::min(low, runs.front().begin);
        high = std::max(high, runs.back().end);
        const double* entries = pivot_entries_.data() + j * pending;
        for (std::uint64_t later = j + 1; later < pending; ++later) {
            pivot_column_[later] = pivot_column_[later] - entries[later] * f;
        }
    }
    multipliers_begin_[k + 1] = end;
    state = RowState{low, high, rank_};
    return true;
}

void IncrementalRankChecker::apply_multipliers_by_tiles() {
    for (std::uint64_t group = 0; group < rank_; group += kGroupRows) {
        const std::uint64_t group_end = std::min(rank_, group + kGroupRows);
        UpdateTerm* terms = tile_terms_.data();
        for (std::uint64_t k = group; k < group_end; ++k) {
            UpdateTerm* row_terms = terms + (k - group) * kBlockRows;
            for (std::uint64_t m = multipliers_begin_[k]; m < multipliers_begin_[k + 1]; ++m) {
                const Multiplier& multiplier = multipliers_[m];
                const std::vector<Run>& runs = update_runs_[multiplier.slot];
                *row_terms++ = UpdateTerm{update_row(first_update_ + multiplier.slot), multiplier.factor,
                                          runs.front().begin, runs.back().end};
            }
        }
        for (std::uint64_t tile = 0; tile < ncols_; tile += kTileColumns) {
            const std::uint64_t tile_end = std::min(ncols_, tile + kTileColumns);
            for (std::uint64_t k = group; k < group_end; ++k) {
                const std::size_t count = multipliers_begin_[k + 1] - multipliers_begin_[k];
                if (count > 0) subtract_terms(basis_row(k), terms + (k - group) * kBlockRows, count, tile, tile_end);
            }
        }
    }
}

}  // namespace tarvel
