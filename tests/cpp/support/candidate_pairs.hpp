// Every bar of the complete graph as a list, for tests that offer them in
// order (the simulation makes them as it offers them).
#pragma once

#include <cstdint>
#include <vector>

#include "graph/edge.hpp"
#include "numeric/fault.hpp"

namespace tarvel::testing {

// All pairs (i, j), 0 <= i < j < n, in lexicographic order.
inline std::vector<Pair> make_candidate_pairs(std::uint64_t n) {
    std::vector<Pair> pairs;
    reserve_checked(pairs, pair_count(n));
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j) pairs.push_back(Pair{i, j});
    }
    return pairs;
}

}  // namespace tarvel::testing
