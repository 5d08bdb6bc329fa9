#include "reconstruction/jacobi.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "numeric/vector_kernel.hpp"

namespace tarvel::jacobi {

namespace {

// Lanes of magnitudes and columns.
using Magnitudes = lanes::Doubles;
using Columns = lanes::Words;
using lanes::kWidth;
using lanes::load;
using lanes::Mask;
using lanes::store;
static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
static_assert(kWidth == 4, "the lanes below are spelled out four at a time");

// Lanes [count, kWidth) of a partial load are NaN: never a candidate.
TARVEL_LANE_HELPER Magnitudes load_padded(const double* values, std::size_t count) {
    Magnitudes lanes = Magnitudes{} + NAN;
    for (std::size_t l = 0; l < count; ++l) lanes[l] = values[l];
    return lanes;
}

// |x| lane by lane, bit for bit std::fabs (the sign bit cleared).
TARVEL_LANE_HELPER Magnitudes magnitudes(const Magnitudes& x) {
    return std::bit_cast<Magnitudes>(std::bit_cast<Columns>(x) & ~(Columns{} + (std::uint64_t{1} << 63)));
}

// The candidates `held` after a new entry (magnitude `entry`, column `col`)
// of their ranges is offered, lane by lane. A stale row takes the entry
// once it beats the bound; a stale block only raises its bound.
template <bool Block>
TARVEL_LANE_HELPER void offer_entry(Magnitudes& held_magnitude, Columns& held_col, const Magnitudes& entry,
                                    std::uint64_t col) {
    const Mask stale = held_col == kStale;
    const Mask same = held_col == col;
    const Mask greater = entry > held_magnitude;
    const Mask equal = entry == held_magnitude;
    const Mask earlier = col < held_col;
    const Mask take = stale ? greater : (same ? (greater | equal) : (greater | (equal & earlier)));
    held_magnitude = take ? entry : held_magnitude;
    if constexpr (Block)
        held_col = (take & ~stale) ? Columns{} + col : ((stale | same) ? Columns{} + kStale : held_col);
    else
        held_col = take ? Columns{} + col : (same ? Columns{} + kStale : held_col);
}

// Rows [first, first + kWidth) of update_column.
TARVEL_LANE_HELPER void update_lanes(PivotRecords rows, PivotRecords blocks, std::uint64_t col, const double* values,
                                     std::size_t first) {
    const Magnitudes entry = magnitudes(load<Magnitudes>(values + first));
    Magnitudes magnitude = load<Magnitudes>(blocks.magnitude + first);
    Columns held = load<Columns>(blocks.col + first);
    offer_entry<true>(magnitude, held, entry, col);
    store(blocks.magnitude + first, magnitude);
    store(blocks.col + first, held);
    magnitude = load<Magnitudes>(rows.magnitude + first);
    held = load<Columns>(rows.col + first);
    offer_entry<false>(magnitude, held, entry, col);
    store(rows.magnitude + first, magnitude);
    store(rows.col + first, held);
}

// Rows [first, first + count), count < kWidth, through the same lanes by
// way of copies.
TARVEL_LANE_HELPER void update_partial_lanes(PivotRecords rows, PivotRecords blocks, std::uint64_t col,
                                             const double* values, std::size_t first, std::size_t count) {
    double entry[kWidth] = {}, block_magnitude[kWidth] = {}, row_magnitude[kWidth] = {};
    std::size_t block_col[kWidth] = {}, row_col[kWidth] = {};
    for (std::size_t l = 0; l < count; ++l) {
        entry[l] = values[first + l];
        block_magnitude[l] = blocks.magnitude[first + l];
        block_col[l] = blocks.col[first + l];
        row_magnitude[l] = rows.magnitude[first + l];
        row_col[l] = rows.col[first + l];
    }
    update_lanes({row_magnitude, row_col}, {block_magnitude, block_col}, col, entry, 0);
    for (std::size_t l = 0; l < count; ++l) {
        blocks.set(first + l, {block_magnitude[l], block_col[l]});
        rows.set(first + l, {row_magnitude[l], row_col[l]});
    }
}

// The first largest |entries[j]|, from <= j < to. Each lane keeps its
// largest magnitude and the first column holding it; the first column of
// the overall largest is then the least among the lanes that hold it.
TARVEL_LANE_HELPER Pivot largest_in(const double* entries, std::size_t from, std::size_t to) {
    Magnitudes best = Magnitudes{} + kNoPivot.magnitude;
    Columns where = Columns{} + kNoPivot.col;
    for (std::size_t j = from; j < to; j += kWidth) {
        const std::size_t count = std::min(kWidth, to - j);
        const Magnitudes entry =
            magnitudes(count == kWidth ? load<Magnitudes>(entries + j) : load_padded(entries + j, count));
        const Mask greater = entry > best;
        best = greater ? entry : best;
        where = greater ? Columns{j, j + 1, j + 2, j + 3} : where;
    }
    Pivot pivot = kNoPivot;
    for (std::size_t l = 0; l < kWidth; ++l)
        if (best[l] > pivot.magnitude || (best[l] == pivot.magnitude && where[l] < pivot.col))
            pivot = {best[l], where[l]};
    return pivot;
}

// The largest |entries[j]|, from <= j < to, or kNoPivot's magnitude if
// there is none: NaN never wins a comparison.
TARVEL_LANE_HELPER double largest_magnitude(const double* entries, std::size_t from, std::size_t to) {
    Magnitudes best = Magnitudes{} + kNoPivot.magnitude;
    for (std::size_t j = from; j < to; j += kWidth) {
        const std::size_t count = std::min(kWidth, to - j);
        const Magnitudes entry =
            magnitudes(count == kWidth ? load<Magnitudes>(entries + j) : load_padded(entries + j, count));
        best = entry > best ? entry : best;
    }
    const double low = best[0] > best[1] ? best[0] : best[1];
    const double high = best[2] > best[3] ? best[2] : best[3];
    return low > high ? low : high;
}

}  // namespace

TARVEL_VECTOR_KERNEL void update_column(PivotRecords rows, PivotRecords blocks, std::size_t col, const double* values,
                                        std::size_t from, std::size_t to) {
    std::size_t i = from;
    for (; i + kWidth <= to; i += kWidth) update_lanes(rows, blocks, col, values, i);
    if (i < to) update_partial_lanes(rows, blocks, col, values, i, to - i);
}

TARVEL_VECTOR_KERNEL Pivot first_largest(const double* entries, std::size_t from, std::size_t to) {
    return largest_in(entries, from, to);
}

TARVEL_VECTOR_KERNEL Pivot block_bounds(const double* entries, std::size_t from, std::size_t to, PivotRecords out,
                                        std::size_t stride) {
    double row = kNoPivot.magnitude;
    std::size_t row_block = 0;
    for (std::size_t b = from / kBlock; b * kBlock < to; ++b) {
        const double block = largest_magnitude(entries, std::max(b * kBlock, from), std::min(b * kBlock + kBlock, to));
        out.set(b * stride, {block, kStale});
        if (block > row) {  // an equal one lies further right
            row = block;
            row_block = b;
        }
    }
    if (row == kNoPivot.magnitude) return kNoPivot;
    std::size_t j = std::max(row_block * kBlock, from);
    while (std::fabs(entries[j]) != row) ++j;
    return {row, j};
}

TARVEL_VECTOR_KERNEL std::size_t first_above(const double* magnitude, std::size_t from, std::size_t to, double bound) {
    std::size_t r = from;
    for (; r + kWidth <= to; r += kWidth) {
        const Mask above = load<Magnitudes>(magnitude + r) > bound;
        if ((above[0] | above[1] | above[2] | above[3]) != 0) break;
    }
    for (; r < to; ++r)
        if (magnitude[r] > bound) return r;
    return to;
}

TARVEL_VECTOR_KERNEL void rotate_pair(double* __restrict kp, double* __restrict kq, double c, double s, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        const double old_p = kp[k], old_q = kq[k];
        kp[k] = old_p * c - old_q * s;
        kq[k] = old_q * c + old_p * s;
    }
}

void RotationLog::record(std::size_t p, std::size_t q, double c, double s) {
    steps_.push_back({slot_of(p), slot_of(q), c, s});
    finite_steps_ = finite_steps_ && std::isfinite(c) && std::isfinite(s);
}

void RotationLog::write_columns(const std::vector<std::size_t>& order, std::size_t columns, double* out) const {
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
        replay(steps_.data(), steps_.size(), lanes.data());
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

TARVEL_VECTOR_KERNEL void RotationLog::replay(const Step* steps, std::size_t count, double* rows) {
    for (const Step* step = steps; step != steps + count; ++step) {
        const double c = step->c, s = step->s;
        double* vp = rows + step->p * kLanes;
        double* vq = rows + step->q * kLanes;  // p != q
        for (std::size_t l = 0; l < kLanes; l += kWidth) {
            const lanes::Doubles old_p = load<lanes::Doubles>(vp + l), old_q = load<lanes::Doubles>(vq + l);
            store(vp + l, c * old_p - s * old_q);
            store(vq + l, old_q * c + old_p * s);
        }
    }
}

std::size_t RotationLog::slot_of(std::size_t i) {
    if (slot_[i] == kUntouched) {
        slot_[i] = index_.size();
        index_.push_back(i);
    }
    return slot_[i];
}

}  // namespace tarvel::jacobi
