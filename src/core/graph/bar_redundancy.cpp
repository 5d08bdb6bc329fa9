#include "graph/bar_redundancy.hpp"

#include <algorithm>
#include <vector>

#include "graph/generic_rigidity.hpp"
#include "graph/graph.hpp"
#include "graph/kl_pebble_game.hpp"
#include "graph/redundant_rigidity.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

// `bars` without bar number e, into `rest` (one shorter).
void copy_without(const std::vector<Pair>& bars, std::size_t e, std::vector<Pair>& rest) {
    const auto at = static_cast<std::ptrdiff_t>(e);
    std::copy(bars.begin(), bars.begin() + at, rest.begin());
    std::copy(bars.begin() + at + 1, bars.end(), rest.begin() + at);
}

// The bar numbers with those marked 0 first, each part in the given order.
void order_outside_first(const std::vector<std::uint8_t>& marked, std::vector<std::size_t>& order) {
    std::size_t place = 0;
    for (const std::uint8_t wanted : {std::uint8_t{0}, std::uint8_t{1}}) {
        for (std::size_t e = 0; e < marked.size(); ++e) {
            if (marked[e] == wanted) order[place++] = e;
        }
    }
}

class LossSearch {
public:
    LossSearch(std::uint64_t n, std::span<const Pair> edges) : n_(n), degree_(n, 0) {
        for (const Pair& bar : edges) {
            ++degree_[bar.i];
            ++degree_[bar.j];
        }
    }

    // A node keeps fewer than 2 + k bars: removing k of them frees it.
    bool some_node_too_loose(std::uint64_t k) const {
        return n_ > 2 && *std::min_element(degree_.begin(), degree_.end()) < 2 + k;
    }

    // Rigid after the loss of any k of `bars`, k >= 1.
    bool survives(const std::vector<Pair>& bars, std::uint64_t k) {
        if (k == 1) return is_redundantly_rigid(bars);
        if (k == 2) return survives_one_loss(bars);
        const CircuitMembership circuits = find_edges_in_circuits(n_, bars, 2, 3, game_);
        if (!all_in_circuits(circuits)) return false;
        // The accepted bars are a basis: only their removals need a look.
        std::vector<Pair> rest(bars.size() - 1);
        for (std::size_t e = 0; e < bars.size(); ++e) {
            if (circuits.labels[e] == 0) continue;
            copy_without(bars, e, rest);
            --degree_[bars[e].i];
            --degree_[bars[e].j];
            const bool kept = !some_node_too_loose(k - 1) && survives(rest, k - 1);
            ++degree_[bars[e].i];
            ++degree_[bars[e].j];
            if (!kept) return false;
        }
        return true;
    }

    // Redundantly rigid after the loss of any one of `bars`: no two bars
    // {e, f} make a cocircuit (a set whose loss lowers the rank, minimal).
    // A cocircuit meets every basis; one that meets a basis B in e alone is
    // e's fundamental cocircuit: e and the bars whose fundamental circuits
    // (with respect to B) hold e, so e lies in exactly one of them. Counting
    // them for bases B1, B2, ... leaves only cocircuits inside every basis
    // so far; each next basis takes the bars outside that intersection
    // first, and once it stops shrinking only its bars are removed and
    // tested one by one.
    bool survives_one_loss(const std::vector<Pair>& bars) {
        std::vector<std::uint8_t> in_every_basis(bars.size(), 1);
        std::size_t shared = bars.size();
        std::vector<std::size_t> order(bars.size());
        std::vector<Pair> ordered(bars.size());
        for (;;) {
            order_outside_first(in_every_basis, order);
            for (std::size_t place = 0; place < order.size(); ++place) ordered[place] = bars[order[place]];
            const std::vector<std::uint64_t> holding = count_fundamental_circuits(ordered);
            if (holding.empty()) return false;  // not rigid
            std::size_t still_shared = 0;
            for (std::size_t place = 0; place < order.size(); ++place) {
                const bool in_basis = holding[place] != kRejected;
                if (in_basis && holding[place] < 2) return false;  // a bridge, or one of a cocircuit of two
                std::uint8_t& shared_bar = in_every_basis[order[place]];
                shared_bar = shared_bar == 1 && in_basis ? 1 : 0;
                still_shared += shared_bar;
            }
            if (still_shared == 0) return true;
            if (still_shared == shared) break;
            shared = still_shared;
        }
        std::vector<Pair> rest(bars.size() - 1);
        for (std::size_t e = 0; e < bars.size(); ++e) {
            if (in_every_basis[e] == 0) continue;
            copy_without(bars, e, rest);
            if (!is_redundantly_rigid(rest)) return false;
        }
        return true;
    }

private:
    static constexpr std::uint64_t kRejected = ~std::uint64_t{0};

    // Per bar of the basis the game accepts in the given order: how many
    // fundamental circuits of the other bars hold it; kRejected for those.
    // Empty when the bars are not rigid. Every rejected bar's circuit is read
    // from the closure of the search that rejects it (the same circuit as
    // for the final basis).
    std::vector<std::uint64_t> count_fundamental_circuits(const std::vector<Pair>& bars) {
        std::vector<std::uint64_t> count(bars.size(), 0);
        game_.start_uncondensed(n_, 2, 3);
        PebbleDigraph& digraph = game_.digraph();
        for (std::size_t e = 0; e < bars.size(); ++e) {
            check_interrupt();
            if (game_.offer(bars[e], e)) continue;
            count[e] = kRejected;
            for (const std::uint64_t node : digraph.closure()) {
                for (const PebbleDigraph::Arc& arc : digraph.out_arcs(node)) ++count[digraph.edge_of(arc)];
            }
        }
        if (!game_.whole_graph_tight()) count.clear();
        return count;
    }

    bool is_redundantly_rigid(const std::vector<Pair>& bars) {
        return all_in_circuits(find_edges_in_circuits(n_, bars, 2, 3, game_));
    }

    static bool all_in_circuits(const CircuitMembership& circuits) {
        return circuits.is_rigid && std::all_of(circuits.in_circuit.begin(), circuits.in_circuit.end(),
                                                [](std::uint8_t in) { return in == 1; });
    }

    std::uint64_t n_;
    std::vector<std::uint64_t> degree_;
    KLPebbleGame game_;  // its storage serves every test in turn
};

}  // namespace

bool is_k_redundantly_rigid_in_plane(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k) {
    check_edges(n, edges);
    if (n <= 1) return true;
    if (k > edges.size() || edges.size() - k < rigid_rank(n, 2)) return false;  // too few bars to lose k
    if (k == 0) return is_generically_rigid(n, edges, 2, 0);
    LossSearch search(n, edges);
    if (search.some_node_too_loose(k)) return false;
    if (!is_generically_rigid(n, edges, 2, 0)) return false;  // the cheaper verdict for most flexible graphs
    return search.survives(std::vector<Pair>(edges.begin(), edges.end()), k);
}

}  // namespace tarvel
