// Brute force over node subsets, for graphs of a dozen nodes or fewer:
// (k, l)-sparsity, the greedy labels it implies, and the (k, l)-components
// as maximal connected tight sets: the reference of the pebble game's tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "framework/node.hpp"

namespace tarvel::reference::sparsity {

using Mask = std::uint32_t;

inline bool in_mask(Mask mask, std::uint64_t node) { return (mask >> node) & 1u; }

inline std::int64_t spanned(std::span<const Pair> edges, Mask mask) {
    return std::count_if(edges.begin(), edges.end(),
                         [&](const Pair& e) { return in_mask(mask, e.i) && in_mask(mask, e.j); });
}

// Every set of n' >= 2 nodes spans at most k n' - l of the edges (a single
// node spans none, which no l < 2k forbids).
inline bool is_sparse(std::uint64_t n, std::span<const Pair> edges, std::int64_t k, std::int64_t l) {
    for (Mask mask = 0; mask < (Mask{1} << n); ++mask) {
        const auto size = static_cast<std::int64_t>(__builtin_popcount(mask));
        if (size >= 2 && spanned(edges, mask) > k * size - l) return false;
    }
    return true;
}

// Each edge in order, kept when the kept ones stay sparse.
inline std::vector<std::uint8_t> greedy_labels(std::uint64_t n, std::span<const Pair> edges, std::int64_t k,
                                               std::int64_t l) {
    std::vector<std::uint8_t> labels;
    std::vector<Pair> kept;
    for (const Pair& edge : edges) {
        kept.push_back(edge);
        const bool sparse = is_sparse(n, kept, k, l);
        if (!sparse) kept.pop_back();
        labels.push_back(sparse ? 1 : 0);
    }
    return labels;
}

inline bool connected_by(std::span<const Pair> edges, Mask mask) {
    const Mask first = mask & -mask;
    Mask reached = first;
    for (bool grew = true; grew;) {
        grew = false;
        for (const Pair& e : edges) {
            if (!in_mask(mask, e.i) || !in_mask(mask, e.j)) continue;
            if (in_mask(reached, e.i) != in_mask(reached, e.j)) {
                reached |= (Mask{1} << e.i) | (Mask{1} << e.j);
                grew = true;
            }
        }
    }
    return reached == mask;
}

// The maximal connected node sets that span k n' - l >= 1 of `basis`, as
// sorted node lists in increasing order of their masks.
inline std::vector<std::vector<std::uint64_t>> components(std::uint64_t n, std::span<const Pair> basis,
                                                          std::int64_t k, std::int64_t l) {
    std::vector<Mask> tight;
    for (Mask mask = 1; mask < (Mask{1} << n); ++mask) {
        const auto size = static_cast<std::int64_t>(__builtin_popcount(mask));
        const std::int64_t span = spanned(basis, mask);
        if (span >= 1 && span == k * size - l && connected_by(basis, mask)) tight.push_back(mask);
    }
    std::vector<std::vector<std::uint64_t>> maximal;
    for (const Mask mask : tight) {
        const bool inside_other = std::any_of(tight.begin(), tight.end(), [&](Mask other) {
            return other != mask && (other & mask) == mask;
        });
        if (inside_other) continue;
        std::vector<std::uint64_t> nodes;
        for (std::uint64_t node = 0; node < n; ++node) {
            if (in_mask(mask, node)) nodes.push_back(node);
        }
        maximal.push_back(nodes);
    }
    return maximal;
}

}  // namespace tarvel::reference::sparsity
