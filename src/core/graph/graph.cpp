#include "graph/graph.hpp"

#include <string>
#include <type_traits>

#include "numeric/fault.hpp"

namespace tarvel {

std::uint64_t rigid_rank(std::uint64_t n, std::uint64_t d) {
    if (n < d) return pair_count(n);
    // n*d - d(d+1)/2 = d*(n - (d+1)/2), kept in integers: d(d+1)/2 <= n*d here.
    return checked_product(n, d) - d * (d + 1) / 2;
}

__extension__ typedef unsigned __int128 uint128;

std::uint64_t max_rank_for(std::uint64_t n, std::uint64_t d) {
    // Exact in 128 bits: n*d < 2^128 and d(d+1)/2 < 2^127.
    const uint128 coordinates = uint128{n} * d;
    const uint128 motions = uint128{d} * (uint128{d} + 1) / 2;
    if (coordinates <= motions) return 0;
    const uint128 rank = coordinates - motions;
    constexpr std::uint64_t most = ~std::uint64_t{0};
    return rank > most ? most : static_cast<std::uint64_t>(rank);
}

namespace {

// InvalidInput naming edge k (i, j) when it is not a pair of distinct nodes.
template <class End>
void check_edge(std::size_t k, End i, End j, std::uint64_t n) {
    const auto outside = [n](End end) {
        if constexpr (std::is_signed_v<End>) {
            if (end < 0) return true;
        }
        return static_cast<std::uint64_t>(end) >= n;
    };
    if (!outside(i) && !outside(j) && i != j) return;
    const std::string where =
        "edge " + std::to_string(k) + " (" + std::to_string(i) + ", " + std::to_string(j) + ")";
    if (i == j && !outside(i)) throw InvalidInput(where + " is a self-loop");
    throw InvalidInput(where + " has an end outside the " + std::to_string(n) + " nodes");
}

}  // namespace

// One branch-free pass tells whether any edge is bad (the common case is
// none, and the loop vectorises); only then are they looked at one by one.
void check_edges(std::uint64_t n, std::span<const Pair> edges) {
    bool any_bad = false;
    for (const Pair& edge : edges) any_bad |= (edge.i >= n) | (edge.j >= n) | (edge.i == edge.j);
    if (!any_bad) return;
    for (std::size_t k = 0; k < edges.size(); ++k) check_edge(k, edges[k].i, edges[k].j, n);
}

std::vector<Pair> edges_from_rows(std::span<const std::int64_t> rows, std::uint64_t n) {
    if (rows.size() % 2 != 0) throw InvalidInput("edge rows hold an odd number of ends");
    std::vector<Pair> edges(rows.size() / 2);
    // Each value is read once; a negative end becomes too large a node.
    for (std::size_t k = 0; k < edges.size(); ++k) {
        edges[k] = Pair{static_cast<std::uint64_t>(rows[2 * k]), static_cast<std::uint64_t>(rows[2 * k + 1])};
    }
    bool any_bad = false;
    for (const Pair& edge : edges) any_bad |= (edge.i >= n) | (edge.j >= n) | (edge.i == edge.j);
    if (any_bad) {
        for (std::size_t k = 0; k < edges.size(); ++k) {
            check_edge(k, static_cast<std::int64_t>(edges[k].i), static_cast<std::int64_t>(edges[k].j), n);
        }
    }
    return edges;
}

}  // namespace tarvel
