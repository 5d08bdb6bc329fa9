// Incremental rank test: decides, one row at a time, whether a row is
// linearly independent of the rows accepted before it, keeping the accepted
// rows in reduced row echelon form (Gauss-Jordan with an absolute tolerance).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarvel {

class IncrementalRankChecker {
public:
    IncrementalRankChecker(std::uint64_t ncols, double tol);

    // Takes the row over. True (and the row is stored) when it raises the rank.
    bool add_row(std::vector<double> row);

    std::uint64_t rank() const { return rank_; }
    std::uint64_t ncols() const { return ncols_; }
    double tol() const { return tol_; }
    std::span<const double> row(std::uint64_t k) const;
    std::uint64_t pivot(std::uint64_t k) const { return pivots_[k]; }

private:
    std::uint64_t ncols_;
    double tol_;
    std::uint64_t rank_ = 0;
    std::vector<std::vector<double>> rows_;
    std::vector<std::uint64_t> pivots_;
};

}  // namespace tarvel
