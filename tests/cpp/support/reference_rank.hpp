// Reference implementation of the incremental rank test: plain Gauss-Jordan
// elimination, one row per vector, no arena, no kernels, no delayed work.
// The production checker must agree with it bit for bit.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "numeric/rank.hpp"
#include "support/rank_checker_peer.hpp"

namespace tarvel::reference {

struct RankChecker {
    std::uint64_t ncols;
    double tol;
    std::uint64_t rank = 0;
    std::vector<std::vector<double>> rows;
    std::vector<std::uint64_t> pivots;

    RankChecker(std::uint64_t ncols, double tol) : ncols(ncols), tol(tol) {}

    bool add_row(std::vector<double> row) {
        if (row.size() != ncols) throw std::logic_error("row length");

        for (std::uint64_t k = 0; k < rank; ++k) {
            const double x = row[pivots[k]];
            if (std::fabs(x) > tol) {
                for (std::uint64_t c = 0; c < ncols; ++c) row[c] = row[c] - rows[k][c] * x;
            }
        }

        std::uint64_t a = 0;
        while (a < ncols && !(std::fabs(row[a]) > tol)) ++a;
        if (a == ncols) return false;

        const double e = row[a];
        for (std::uint64_t c = 0; c < ncols; ++c) row[c] = row[c] / e;

        for (std::uint64_t k = 0; k < rank; ++k) {
            const double f = rows[k][a];
            if (std::fabs(f) > tol) {
                for (std::uint64_t c = 0; c < ncols; ++c) rows[k][c] = rows[k][c] - row[c] * f;
            }
        }

        pivots.push_back(a);
        rows.push_back(std::move(row));
        ++rank;
        return true;
    }
};

// ---------------------------------------------------------------------------
// Comparison of the production checker with the reference.

// Bit for bit, except that +0.0 and -0.0 count as equal.
inline bool same_value(double a, double b) {
    if (a == 0.0 && b == 0.0) return true;
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// "" when rank, pivots and every stored value agree, else the first difference.
inline std::string state_difference(const IncrementalRankChecker& checker,
                                    const RankChecker& reference) {
    if (checker.rank() != reference.rank) {
        return "rank " + std::to_string(checker.rank()) + " vs " + std::to_string(reference.rank);
    }
    for (std::uint64_t k = 0; k < reference.rank; ++k) {
        if (RankCheckerPeer::pivot(checker, k) != reference.pivots[k]) return "pivot of row " + std::to_string(k);
        const std::vector<double> row = RankCheckerPeer::row(checker, k);
        for (std::uint64_t c = 0; c < reference.ncols; ++c) {
            if (!same_value(row[c], reference.rows[k][c])) {
                return "row " + std::to_string(k) + " column " + std::to_string(c) + ": " +
                       std::to_string(row[c]) + " vs " + std::to_string(reference.rows[k][c]);
            }
        }
    }
    return "";
}

}  // namespace tarvel::reference
