// A framework at random integer positions, computed on exactly modulo the
// prime p = 2^61 - 1: the sparse elimination of its rigidity matrix, and
// from it random equilibrium stresses (left null vectors) and random
// infinitesimal motions (right null vectors).
//
// Positions: coordinate `axis` of node v is
// splitmix64(splitmix64(splitmix64(seed) ^ v) ^ axis) >> 4, uniform in
// {0, ..., 2^60 - 1}, so the same edges and seed give the same answers on
// every machine.
//
// Columns come in blocks of d, one per node, in the nested-dissection order
// of the graph (graph/node_ordering), which is what keeps the elimination of
// geometric graphs sparse; the rows are the bars in the given order, so the
// rows accepted are the greedy basis of the generic rigidity matroid in that
// order (with high probability; see graph/generic_rank).
//
// Random stress: with uniform weights a_e on the rejected bars, the stress
// that is a_e on each rejected bar e and minus its share of the basis rows
// that e's row is made of. These stresses are a uniformly random element of
// the stress space at these positions, so a bar on which some stress is
// non-zero gets a zero weight with probability 1/p.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge.hpp"
#include "numeric/modular_echelon.hpp"

namespace tarvel {

class RandomStream;

// Coordinate `axis` of node `node` for `seed`.
std::uint64_t generic_coordinate(std::uint64_t seed, std::uint64_t node, std::uint64_t axis);

class GenericFramework {
public:
    struct Options {
        std::uint64_t stresses = 0;           // random stresses to gather (their weights drawn from seed)
        bool keep_factors = false;            // needed by stresses and last_bar_stress
        bool stop_at_full_rank = false;       // label the bars after full rank 0 without reducing them
        bool columns_for_every_node = false;  // needed by random_motion; else only nodes with bars get columns
        // Offer the rows in the column order of their later end instead of the
        // given order, which keeps the active rows local (a frontal order) but
        // makes the labels greedy for that order: for rank, stresses, motions.
        bool rows_in_column_order = false;
    };

    // Eliminates the rows of `edges` in order. InvalidInput for d outside
    // {2, 3} or a bad edge.
    GenericFramework(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed,
                     Options options);

    std::uint64_t rank() const { return echelon_.rank(); }
    // Per bar: 1 when its row raised the rank.
    const std::vector<std::uint8_t>& labels() const { return labels_; }

    // Per bar, the weights of random equilibrium stress number `index` (see
    // above), index < options.stresses.
    std::vector<std::uint64_t> random_stress(std::uint64_t index) const;

    // The stress of the last bar given, when it was rejected: weight 1 on it,
    // and on the basis bars the unique weights that balance it (its
    // fundamental circuit is where they are non-zero). Needs keep_factors.
    std::vector<std::uint64_t> last_bar_stress() const;

    // A random infinitesimal motion: velocity (node v, axis) at v * d + axis.
    // Needs columns_for_every_node.
    std::vector<std::uint64_t> random_motion(RandomStream& stream) const;

    std::uint64_t coordinate(std::uint64_t node, std::uint64_t axis) const;
    std::uint64_t dimension() const { return d_; }

private:
    std::vector<std::size_t> row_order(std::span<const Pair> edges) const;
    void offer(std::size_t k, const Pair& edge);
    std::vector<std::uint64_t> stress_from(std::vector<std::uint64_t> stored_weights,
                                           std::vector<std::uint64_t> stress) const;

    std::uint64_t n_, d_, seed_;
    Options options_;
    struct Layout {
        std::vector<std::uint64_t> node_of_block;  // the nodes with columns, in elimination order
        std::vector<std::uint64_t> end_blocks;     // per bar k: the blocks of its ends, at 2k and 2k + 1
    };
    static Layout lay_out(std::uint64_t n, std::span<const Pair> edges, bool every_node);

    Layout layout_;
    ModularEchelon echelon_;
    std::vector<std::uint8_t> labels_;
    std::vector<std::uint64_t> basis_bars_;  // the accepted bars, in acceptance order
    std::vector<std::vector<std::uint64_t>> rejected_weights_;  // per stress, per bar: a_e on rejected bars
    std::vector<std::vector<std::uint64_t>> gathered_;          // per stress, per stored row: sum of a_e c_e
    bool last_rejected_ = false;
};

}  // namespace tarvel
