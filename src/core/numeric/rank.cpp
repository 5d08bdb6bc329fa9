#include "numeric/rank.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "numeric/fault.hpp"
#include "numeric/vector_kernel.hpp"

namespace tarvel {

namespace {

// Zeros between two non-zeros of an update row are swept along with them
// when the gap is this short: cheaper than starting a new run.
constexpr std::uint64_t kRunGap = 8;

// target[c] = target[c] - source[c] * factor for c in [begin, end).
TARVEL_VECTOR_KERNEL void subtract_multiple(double* __restrict target, const double* __restrict source,
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
// the second-level cache) and their columns a tile at a time: the pending
// updates' share of a tile (kBlockRows x kTileColumns doubles, 16 KiB,
// packed side by side so that they do not compete for the same cache sets)
// stays in the first-level cache while it serves every row of the group, and
// a row's share of the tile stays in vector registers while the updates
// pass. An update is skipped in the tiles where it is all zeros.
constexpr std::uint64_t kGroupRows = 16;
static_assert(IncrementalRankChecker::kBlockRows <= 64, "pending updates are bits of a 64-bit mask");
constexpr std::uint64_t kTileColumns = IncrementalRankChecker::kTileColumns;

using lanes::Doubles;
constexpr std::size_t kLanes = lanes::kWidth;
static_assert(kLanes == 4, "a broadcast below spells out four lanes");
static_assert(kTileColumns % kLanes == 0, "tiles hold whole vectors");

// For the columns c of one tile: target[c] = target[c] - source_j[c] *
// factor_j for every pending update j in `slots`, in increasing j, each
// column's value kept in registers from the first update to the last.
// `sources` holds the tile's share of every pending update, kTileColumns
// values apart. `slots` leaves out the updates the row receives that are all
// zeros in this tile: with a finite multiplier such a step changes no value.
TARVEL_VECTOR_KERNEL void subtract_tile(double* __restrict target, const double* __restrict sources, std::uint64_t slots,
                                     const double* __restrict factors) {
    Doubles value[kTileColumns / kLanes];
#pragma GCC unroll 8
    for (std::size_t v = 0; v < kTileColumns / kLanes; ++v) value[v] = lanes::load<Doubles>(target + v * kLanes);
    for (; slots != 0; slots &= slots - 1) {
        const unsigned j = __builtin_ctzll(slots);
        const double* source = sources + j * kTileColumns;
        const Doubles factor = {factors[j], factors[j], factors[j], factors[j]};
#pragma GCC unroll 8
        for (std::size_t v = 0; v < kTileColumns / kLanes; ++v)
            value[v] = value[v] - lanes::load<Doubles>(source + v * kLanes) * factor;
    }
#pragma GCC unroll 8
    for (std::size_t v = 0; v < kTileColumns / kLanes; ++v) lanes::store(target + v * kLanes, value[v]);
}

// The multipliers with which one stored row receives the pending updates
// first .. pending-1, in order: values[j] starts as the row's entry in update
// j's pivot column and, once the earlier updates have passed, is update j's
// multiplier if its magnitude exceeds tol; the entries of the later pivot
// columns then take update j's share (entries[j * pending + later], its
// entry in update `later`'s pivot column), as the row would. Returns the
// updates that apply, as bits.
TARVEL_VECTOR_KERNEL std::uint64_t find_multipliers(double* __restrict values, const double* __restrict entries,
                                                 std::uint64_t first, std::uint64_t pending, double tol) {
    std::uint64_t slots = 0;
    for (std::uint64_t j = first; j < pending; ++j) {
        const double f = values[j];
        if (!(std::fabs(f) > tol)) continue;
        slots |= std::uint64_t{1} << j;
        const double* shares = entries + j * pending;
        for (std::uint64_t later = j + 1; later < pending; ++later) values[later] = values[later] - shares[later] * f;
    }
    return slots;
}

// The first of `count` values whose magnitude exceeds tol (count if none).
TARVEL_VECTOR_KERNEL std::size_t first_above(const double* values, std::size_t count, double tol) {
    constexpr std::uint64_t kAllButSign = ~(std::uint64_t{1} << 63);
    std::size_t c = 0;
    for (; c + 2 * kLanes <= count; c += 2 * kLanes) {
        // Magnitudes: the sign bits cleared.
        const Doubles low = reinterpret_cast<Doubles>(lanes::load<lanes::Words>(values + c) & kAllButSign);
        const Doubles high = reinterpret_cast<Doubles>(lanes::load<lanes::Words>(values + c + kLanes) & kAllButSign);
        const lanes::Mask above = (low > tol) | (high > tol);
        if (above[0] | above[1] | above[2] | above[3]) break;
    }
    while (c < count && !(std::fabs(values[c]) > tol)) ++c;
    return c;
}

// A true division, not a multiplication by 1/divisor: the pivot entry must
// come out as exactly 1.0.
TARVEL_VECTOR_KERNEL void divide_all(double* __restrict target, double divisor, std::size_t ncols) {
    for (std::size_t c = 0; c < ncols; ++c) target[c] = target[c] / divisor;
}

}  // namespace

IncrementalRankChecker::IncrementalRankChecker(std::uint64_t ncols, double tol, std::uint64_t axes)
    : ncols_(ncols), tol_(tol) {
    reset(ncols, tol, axes);
}

void IncrementalRankChecker::reset(std::uint64_t ncols, double tol, std::uint64_t axes) {
    if (axes == 0 || ncols % axes != 0) {
        raise_fault("Columns " + std::to_string(ncols) + " do not come in groups of " + std::to_string(axes));
    }
    if (ncols > ~std::uint64_t{0} - kTileColumns) raise_capacity_overflow();
    ncols_ = ncols;
    stride_ = ncols + (kTileColumns - ncols % kTileColumns) % kTileColumns;
    tol_ = tol;
    axes_ = axes;
    nodes_ = ncols / axes;
    rank_ = 0;
    first_update_ = 0;
    states_.clear();
    tile_slots_.clear();
}

std::uint64_t IncrementalRankChecker::stored_column(std::uint64_t column) const {
    return column % axes_ * nodes_ + column / axes_;
}

std::uint64_t IncrementalRankChecker::given_column(std::uint64_t stored) const {
    return stored % nodes_ * axes_ + stored / nodes_;
}

std::uint64_t IncrementalRankChecker::tile_count() const { return stride_ / kTileColumns; }

void IncrementalRankChecker::reserve_rows(std::uint64_t count) {
    // One row more than the hint: the working slot behind the basis.
    const std::uint64_t rows = count + 1;
    if (basis_capacity() < rows) grow_basis(rows);
    reserve_checked(pivots_, rows);
    reserve_checked(states_, rows);
}

// Rows the basis storage holds, the working slot included.
std::uint64_t IncrementalRankChecker::basis_capacity() const {
    if (stride_ == 0) return ~std::uint64_t{0};
    const std::uint64_t rows = storage_.size() / stride_;
    return rows > kBasisRow ? rows - kBasisRow : 0;
}

// Storage for `rows` basis rows, the stored rows and pending updates kept.
void IncrementalRankChecker::grow_basis(std::uint64_t rows) {
    std::uint64_t values = 0;
    if (__builtin_add_overflow(checked_product(rows, stride_), checked_product(kBasisRow, stride_), &values)) {
        raise_capacity_overflow();
    }
    WorkingArray<double> grown(values);
    std::copy(update_row(first_update_), update_row(rank_), grown.data());
    std::copy(basis_row(0), basis_row(rank_), grown.data() + kBasisRow * stride_);
    storage_ = std::move(grown);
}

void IncrementalRankChecker::make_room_for_one_more_row() {
    // Everything that can fail is done before any row is touched, so a
    // failed allocation leaves the checker as it was.
    const std::uint64_t rows = rank_ + 1;
    if (basis_capacity() < rows) grow_basis(std::max(rows, 2 * basis_capacity()));
    if (pivots_.size() < rows) pivots_.resize(checked_count(rows, sizeof(std::uint64_t)));
    if (states_.capacity() < rows) states_.reserve(checked_count(std::max(rows, 2 * states_.capacity()), sizeof(RowState)));
    if (update_runs_.size() < kBlockRows) update_runs_.resize(kBlockRows);
    if (tile_slots_.size() < tile_count()) tile_slots_.resize(checked_count(tile_count(), sizeof(std::uint64_t)));
    // The scratch of the flush that accepting this row may trigger.
    if (pivot_entries_.size() < kBlockRows * kBlockRows) pivot_entries_.resize(kBlockRows * kBlockRows);
    if (group_factors_.size() < kGroupRows * kBlockRows) group_factors_.resize(kGroupRows * kBlockRows);
}

double* IncrementalRankChecker::start_incoming_row() {
    make_room_for_one_more_row();
    double* work = basis_row(rank_);
    std::fill(work, work + stride_, 0.0);
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
    for (const RowEntry& entry : entries) work[stored_column(entry.column)] = entry.value;
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
    for (std::uint64_t k = next_to_eliminate(row, 0); k < rank_; k = next_to_eliminate(row, k + 1)) {
        const double x = row[pivots_[k]];
        bring_up_to_date(k);
        const RowState& state = states_[k];
        if (std::isfinite(x)) {
            subtract_multiple_short(row, basis_row(k), x, state.low, state.high);
        } else {
            subtract_multiple(row, basis_row(k), x, 0, ncols_);
        }
    }
}

// The first stored row from k on in whose pivot column `row` has a non-zero
// (rank if there is none). Most rows are passed over: four at a time.
std::uint64_t IncrementalRankChecker::next_to_eliminate(const double* row, std::uint64_t k) const {
    const std::uint64_t* pivots = pivots_.data();
    const double tol = tol_;
    for (; k + 4 <= rank_; k += 4) {
        const bool any = (std::fabs(row[pivots[k]]) > tol) | (std::fabs(row[pivots[k + 1]]) > tol) |
                         (std::fabs(row[pivots[k + 2]]) > tol) | (std::fabs(row[pivots[k + 3]]) > tol);
        if (any) break;
    }
    while (k < rank_ && !(std::fabs(row[pivots[k]]) > tol)) ++k;
    return k;
}

// The first non-zero in the given column order (its stored column returned).
// Each axis's columns are searched only up to the best one found so far: as
// that comes from an earlier axis, those of the nodes before its node.
bool IncrementalRankChecker::find_pivot(const double* row, std::uint64_t& column) const {
    std::uint64_t best = ncols_;
    for (std::uint64_t axis = 0; axis < axes_; ++axis) {
        const std::uint64_t searched = best / axes_;
        const std::uint64_t node = first_above(row + axis * nodes_, searched, tol_);
        if (node < searched) best = node * axes_ + axis;
    }
    if (best == ncols_) return false;
    column = stored_column(best);
    return true;
}

void IncrementalRankChecker::record_update(const double* pivot_row) {
    if (rank_ - first_update_ == kBlockRows) apply_all_updates();
    const std::uint64_t slot = rank_ - first_update_;
    std::copy(pivot_row, pivot_row + stride_, storage_.data() + slot * stride_);

    std::vector<Run>& runs = update_runs_[slot];
    runs.clear();
    for (std::uint64_t c = 0; c < ncols_; ++c) {
        if (pivot_row[c] == 0.0) continue;  // NaN counts as non-zero
        tile_slots_[c / kTileColumns] |= std::uint64_t{1} << slot;
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
// as receive_updates, a group of rows at a time in two steps:
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
        pack_updates();
        for (std::uint64_t group = 0; group < rank_; group += kGroupRows) {
            apply_updates_to_rows(group, std::min(rank_, group + kGroupRows));
        }
    } else {
        for (std::uint64_t k = 0; k < rank_; ++k) bring_up_to_date(k);
    }
    first_update_ = rank_;
    std::fill_n(tile_slots_.data(), tile_count(), std::uint64_t{0});
}

// Each pending update's share of every tile in which it has a non-zero.
void IncrementalRankChecker::pack_updates() {
    for (std::uint64_t tile = 0; tile < tile_count(); ++tile) {
        const std::uint64_t begin = tile * kTileColumns;
        double* packed = packed_tile(tile);
        for (std::uint64_t slots = tile_slots_[tile]; slots != 0; slots &= slots - 1) {
            const unsigned j = __builtin_ctzll(slots);
            const double* source = update_row(first_update_ + j);
            std::copy(source + begin, source + begin + kTileColumns, packed + j * kTileColumns);
        }
    }
}

void IncrementalRankChecker::gather_pivot_entries() {
    const std::uint64_t pending = rank_ - first_update_;
    for (std::uint64_t j = 0; j < pending; ++j) {
        const double* source = update_row(first_update_ + j);
        for (std::uint64_t k = 0; k < pending; ++k) {
            pivot_entries_[j * pending + k] = source[pivots_[first_update_ + k]];
        }
    }
}

// The updates stored row k has not received, with their multipliers, and
// the tiles they meet; false if one of the multipliers is not finite (the
// row's state is then left as it was).
bool IncrementalRankChecker::find_terms(std::uint64_t k, RowTerms& row_terms) {
    RowState& state = states_[k];
    const std::uint64_t pending = rank_ - first_update_;
    const std::uint64_t first = state.received - first_update_;
    const double* row = basis_row(k);
    double* factors = row_terms.factors;
    for (std::uint64_t j = first; j < pending; ++j) factors[j] = row[pivots_[first_update_ + j]];
    row_terms.slots = find_multipliers(factors, pivot_entries_.data(), first, pending, tol_);

    std::uint64_t terms_low = ncols_, terms_high = 0;
    for (std::uint64_t slots = row_terms.slots; slots != 0; slots &= slots - 1) {
        const unsigned j = __builtin_ctzll(slots);
        if (!std::isfinite(factors[j])) return false;
        terms_low = std::min(terms_low, update_runs_[j].front().begin);
        terms_high = std::max(terms_high, update_runs_[j].back().end);
    }
    if (row_terms.slots != 0) {
        row_terms.first_tile = terms_low / kTileColumns;
        row_terms.end_tile = (terms_high + kTileColumns - 1) / kTileColumns;
        state.low = std::min(state.low, terms_low);
        state.high = std::max(state.high, terms_high);
    }
    state.received = rank_;
    return true;
}

// Stored rows begin .. end-1 receive the pending updates, tile by tile.
void IncrementalRankChecker::apply_updates_to_rows(std::uint64_t begin, std::uint64_t end) {
    RowTerms rows[kGroupRows];
    std::uint64_t first_tile = tile_count(), end_tile = 0;
    // The rows are read first at their entries in the pending pivot columns:
    // fetched for the whole group at once, their cache misses overlap.
    for (std::uint64_t k = begin; k < end; ++k) {
        for (std::uint64_t j = states_[k].received; j < rank_; ++j) __builtin_prefetch(basis_row(k) + pivots_[j]);
    }
    for (std::uint64_t k = begin; k < end; ++k) {
        RowTerms& row = rows[k - begin];
        row.factors = group_factors_.data() + (k - begin) * kBlockRows;
        if (!find_terms(k, row)) {
            // A non-finite multiplier meets every column of its update.
            bring_up_to_date(k);
            row.slots = 0;
        }
        if (row.slots == 0) continue;
        first_tile = std::min(first_tile, row.first_tile);
        end_tile = std::max(end_tile, row.end_tile);
    }
    for (std::uint64_t tile = first_tile; tile < end_tile; ++tile) {
        const std::uint64_t tile_begin = tile * kTileColumns;
        const double* sources = packed_tile(tile);
        for (std::uint64_t k = begin; k < end; ++k) {
            const RowTerms& row = rows[k - begin];
            const std::uint64_t slots = row.slots & tile_slots_[tile];
            if (slots != 0) subtract_tile(basis_row(k) + tile_begin, sources, slots, row.factors);
        }
    }
}

}  // namespace tarvel
