// Incremental rank test by Householder reflections: decides, one row at a
// time and in the given order, whether a row is linearly independent of the
// rows accepted before it. A row is independent when its distance from the
// span of the accepted rows exceeds `tol` times its own norm; rejected rows
// leave nothing behind, so every answer is about the accepted rows alone.
//
// The accepted rows are kept as the Householder reflections that bring them
// to triangular form (the QR factorisation of their transpose): an incoming
// row is reflected by all of them, and what is left past the first `rank`
// coordinates is its component orthogonal to their span, computed
// backward-stably (the answer is exact for rows perturbed by a small
// multiple of the unit roundoff, whatever the number of rows). The
// reflections are grouped in blocks (I - V T V^T) and applied to a block of
// incoming rows at once, so that the work is done by cache-friendly
// matrix-matrix kernels; the storage is the lower trapezoid of V, about
// ncols * rank - rank^2 / 2 values.
//
// Results are deterministic: vector kernels only work across independent
// rows, never reorder a sum.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "numeric/row_entry.hpp"

namespace tarvel {

class HouseholderRankTest {
public:
    // Rows offered together (a block) and reflections per group.
    static constexpr std::uint64_t kBlockRows = 16;
    static constexpr std::uint64_t kGroupSize = 16;

    // Empties the test for rows of `ncols` columns, keeping storage for reuse.
    void reset(std::uint64_t ncols, double tol);

    // Offers rows[k * width .. (k + 1) * width) for k = 0, 1, ... in order
    // and writes labels[k]: 1 when row k raises the rank, else 0. Once the
    // rank reaches `stop_rank` the remaining rows get 0 unexamined. A row of
    // zero or non-finite norm is dependent. Within a row the columns are
    // distinct. InternalFault for a column >= ncols.
    void offer_rows(std::span<const RowEntry> rows, std::uint64_t width, std::uint64_t stop_rank,
                    std::span<std::uint8_t> labels);

    std::uint64_t rank() const { return rank_; }
    std::uint64_t ncols() const { return ncols_; }

    // The bytes a pass over rows of `ncols` columns holds once `rank` rows
    // are accepted (the reflections and one block of rows).
    static double storage_bytes(std::uint64_t ncols, std::uint64_t rank);

private:
    // Reflections start .. start + size - 1 (rank positions), V stored row by
    // row from coordinate `start` on, kGroupSize values a row (unused ones
    // zero), and the upper triangular T of I - V T V^T.
    struct Group {
        std::uint64_t start = 0, size = 0;
        std::uint64_t t_columns = 0;  // columns of T formed (its diagonal is set at once)
        std::vector<double> v;
        std::vector<double> t;
    };

    void load_block(std::span<const RowEntry> rows, std::uint64_t width, std::uint64_t count);
    void apply_group(Group& group);
    void form_t(Group& group) const;
    bool accept_column(std::uint64_t column, std::uint64_t count);
    Group& open_group();
    void add_to_group(Group& group, const double* v, double tau);

    std::uint64_t ncols_ = 0;
    double tol_ = 0.0;
    std::uint64_t rank_ = 0;
    std::vector<Group> groups_;      // grown by whole groups; groups_used_ of them in use
    std::uint64_t groups_used_ = 0;
    std::vector<double> block_;      // ncols x kBlockRows: coordinate after coordinate, a row's value in each
    std::vector<double> reflector_;  // the newest reflection's v, coordinates rank .. ncols-1
    std::vector<double> products_;   // kGroupSize x kBlockRows scratch
    std::uint8_t usable_[kBlockRows] = {};
};

}  // namespace tarvel
