#include "rank.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

#include "fault.hpp"

// The two row kernels run element by element exactly as written (with
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

// target[c] = target[c] - source[c] * factor for every column.
TARVEL_ROW_KERNEL void subtract_multiple(double* __restrict target, const double* __restrict source,
                                         double factor, std::size_t ncols) {
    for (std::size_t c = 0; c < ncols; ++c) target[c] = target[c] - source[c] * factor;
}

// A true division, not a multiplication by 1/divisor: the pivot entry must
// come out as exactly 1.0.
TARVEL_ROW_KERNEL void divide_all(double* __restrict target, double divisor, std::size_t ncols) {
    for (std::size_t c = 0; c < ncols; ++c) target[c] = target[c] / divisor;
}

}  // namespace

IncrementalRankChecker::IncrementalRankChecker(std::uint64_t ncols, double tol)
    : ncols_(ncols), tol_(tol) {}

void IncrementalRankChecker::reserve_rows(std::uint64_t count) {
    // One row more than the hint: the working slot behind the basis.
    const std::uint64_t rows = count + 1;
    reserve_checked(basis_, checked_product(rows, ncols_));
    reserve_checked(pivots_, rows);
}

void IncrementalRankChecker::make_room_for_one_more_row() {
    // Everything that can fail is done before any row is touched, so a
    // failed allocation leaves the checker as it was.
    const std::uint64_t rows = rank_ + 1;
    const std::size_t values = checked_count(checked_product(rows, ncols_), sizeof(double));
    if (basis_.size() < values) basis_.resize(values);  // grows geometrically
    if (pivots_.size() < rows) pivots_.resize(checked_count(rows, sizeof(std::uint64_t)));
}

void IncrementalRankChecker::eliminate_with_basis(double* row) const {
    for (std::uint64_t k = 0; k < rank_; ++k) {
        const double x = row[pivots_[k]];
        if (std::fabs(x) > tol_) subtract_multiple(row, basis_.data() + k * ncols_, x, ncols_);
    }
}

bool IncrementalRankChecker::points_into_basis(const double* values) const {
    const std::less<const double*> before;
    return !basis_.empty() && !before(values, basis_.data()) &&
           before(values, basis_.data() + basis_.size());
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

void IncrementalRankChecker::back_substitute(const double* pivot_row, std::uint64_t column) {
    for (std::uint64_t k = 0; k < rank_; ++k) {
        double* stored = basis_row(k);
        const double f = stored[column];
        if (std::fabs(f) > tol_) subtract_multiple(stored, pivot_row, f, ncols_);
    }
}

bool IncrementalRankChecker::add_row(std::span<const double> row) {
    if (row.size() != ncols_) {
        raise_unequal("Row length " + std::to_string(row.size()) + " does not match ncols " +
                          std::to_string(ncols_),
                      row.size(), ncols_);
    }
    if (points_into_basis(row.data())) {
        // Growing the basis may move it: reduce a copy of one of our own rows.
        const std::vector<double> copy(row.begin(), row.end());
        return add_row(copy);
    }
    make_room_for_one_more_row();
    double* work = basis_row(rank_);
    std::copy(row.begin(), row.end(), work);

    eliminate_with_basis(work);
    std::uint64_t column = 0;
    if (!find_pivot(work, column)) return false;
    divide_all(work, work[column], ncols_);
    back_substitute(work, column);

    pivots_[rank_] = column;
    ++rank_;
    return true;
}

std::span<const double> IncrementalRankChecker::row(std::uint64_t k) const {
    if (k >= rank_) raise_fault("Basis row " + std::to_string(k) + " out of range for rank " + std::to_string(rank_));
    return {basis_.data() + k * ncols_, static_cast<std::size_t>(ncols_)};
}

std::uint64_t IncrementalRankChecker::pivot(std::uint64_t k) const {
    if (k >= rank_) raise_fault("Basis row " + std::to_string(k) + " out of range for rank " + std::to_string(rank_));
    return pivots_[k];
}

}  // namespace tarvel
