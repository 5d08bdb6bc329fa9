// A bar of a graph: the unordered node pair (i, j), stored with i < j where
// the graph is built by the library and as given where the caller's order
// matters.
#pragma once
#include <cstdint>

namespace tarvel {

struct Pair {
    std::uint64_t i = 0;
    std::uint64_t j = 0;
    friend bool operator==(const Pair&, const Pair&) = default;
};

}  // namespace tarvel
