#include "graph/generic_rank.hpp"

#include "graph/generic_framework.hpp"

namespace tarvel {

GenericRankResult generic_rigidity_labels(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d,
                                          std::uint64_t seed) {
    const GenericFramework framework(n, edges, d, seed, {.stop_at_full_rank = true});
    return {framework.labels(), framework.rank()};
}

}  // namespace tarvel
