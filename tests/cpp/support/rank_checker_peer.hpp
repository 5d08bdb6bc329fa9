// The tests' window into the production rank checker: its basis, read back
// for comparison with the reference, and dense rows offered as entries.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "numeric/rank.hpp"

namespace tarvel {

class RankCheckerPeer {
public:
    // Basis row k, k < rank, in the given column order, with every update it
    // is owed applied (to a copy: the stored row itself is left as the
    // checker keeps it).
    static std::vector<double> row(const IncrementalRankChecker& checker, std::uint64_t k) {
        require_stored(checker, k);
        std::vector<double> stored(checker.basis_row(k), checker.basis_row(k) + checker.ncols_);
        IncrementalRankChecker::RowState state = checker.states_[k];
        checker.receive_updates(stored.data(), state, checker.rank_);
        std::vector<double> given(checker.ncols_);
        for (std::uint64_t c = 0; c < checker.ncols_; ++c) given[checker.given_column(c)] = stored[c];
        return given;
    }

    // The pivot column of basis row k, k < rank, in the given column order.
    static std::uint64_t pivot(const IncrementalRankChecker& checker, std::uint64_t k) {
        require_stored(checker, k);
        return checker.given_column(checker.pivots_[k]);
    }

private:
    static void require_stored(const IncrementalRankChecker& checker, std::uint64_t k) {
        if (k >= checker.rank_) throw std::out_of_range("no basis row " + std::to_string(k));
    }
};

// Offers a dense row: every column as an entry, zeros (and their signs)
// included, so the checker starts from exactly these values.
inline bool add_dense_row(IncrementalRankChecker& checker, std::span<const double> row) {
    std::vector<RowEntry> entries;
    entries.reserve(row.size());
    for (std::uint64_t c = 0; c < row.size(); ++c) entries.push_back({c, row[c]});
    return checker.add_row_entries(entries);
}

}  // namespace tarvel
