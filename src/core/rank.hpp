// Incremental rank test: decides, one row at a time, whether a row is
// linearly independent of the rows accepted before it, keeping the accepted
// rows in reduced row echelon form (Gauss-Jordan with an absolute tolerance).
//
// A value counts as non-zero only when its magnitude is strictly greater than
// the tolerance, so a NaN is never a pivot and never triggers an elimination
// step. The tolerance is used as given (zero, negative or NaN included).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarvel {

class IncrementalRankChecker {
public:
    IncrementalRankChecker(std::uint64_t ncols, double tol);

    // Room for `count` basis rows up front. Only a capacity hint: the basis
    // grows on demand past it.
    void reserve_rows(std::uint64_t count);

    // True (and the reduced row is stored) when `row` raises the rank; false
    // leaves the checker unchanged. InternalFault when the row's length is not
    // ncols.
    bool add_row(std::span<const double> row);

    std::uint64_t rank() const { return rank_; }
    std::uint64_t ncols() const { return ncols_; }
    double tol() const { return tol_; }
    // Basis row k and its pivot column, k < rank(); InternalFault otherwise.
    std::span<const double> row(std::uint64_t k) const;
    std::uint64_t pivot(std::uint64_t k) const;

private:
    double* basis_row(std::uint64_t k) { return basis_.data() + k * ncols_; }
    bool points_into_basis(const double* values) const;
    void make_room_for_one_more_row();
    void eliminate_with_basis(double* row) const;
    bool find_pivot(const double* row, std::uint64_t& column) const;
    void back_substitute(const double* pivot_row, std::uint64_t column);

    std::uint64_t ncols_;
    double tol_;
    std::uint64_t rank_ = 0;
    // Basis rows k = 0 .. rank-1 back to back (row k at k*ncols), followed by
    // the slot in which an incoming row is reduced; accepting a row is then
    // just counting it. One contiguous block keeps every update a unit-stride
    // loop and leaves room for blocked kernels.
    std::vector<double> basis_;
    std::vector<std::uint64_t> pivots_;  // sized like basis_; the first rank_ are set
};

}  // namespace tarvel
