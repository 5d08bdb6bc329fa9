// The Householder rank test of a few short rows, on the stack: the labels
// HouseholderRankTest gives when every row fits in its first block, with
// the same operations in the same order (each row scaled to norm 1, then
// reflected by every row accepted before it, and accepted when its part
// past the first `rank` coordinates is longer than tol), so the answers are
// identical bit for bit. Within one block that test never needs the
// blocked form of its reflections; here none is built, and no storage is
// touched beyond the rows themselves, which makes the many small
// components of a batch of model graphs cheap. It reflects one row at a
// time where the blocked test reflects a block's rows together in vector
// lanes, which wins from about a dozen rows on: it takes fewer.
#pragma once

#include <cstdint>
#include <span>

#include "numeric/householder_rank.hpp"
#include "numeric/row_entry.hpp"

namespace tarvel {

class SingleBlockRankTest {
public:
    static constexpr std::uint64_t kMaxRows = 12;
    static_assert(kMaxRows <= HouseholderRankTest::kBlockRows, "the rows fit the blocked test's first block");
    static constexpr std::uint64_t kMaxColumns = 64;

    static bool fits(std::uint64_t rows, std::uint64_t ncols) { return rows <= kMaxRows && ncols <= kMaxColumns; }

    // As HouseholderRankTest::reset(ncols, tol) followed by one offer_rows;
    // the rows and columns must fit (InternalFault otherwise, and for a
    // column >= ncols). Returns the rank reached.
    static std::uint64_t offer_rows(std::span<const RowEntry> rows, std::uint64_t width, std::uint64_t ncols,
                                    double tol, std::uint64_t stop_rank, std::span<std::uint8_t> labels);
};

}  // namespace tarvel
