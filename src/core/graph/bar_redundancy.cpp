#include "graph/bar_redundancy.hpp"

#include <algorithm>
#include <vector>

#include "graph/generic_rigidity.hpp"
#include "graph/graph.hpp"
#include "graph/kl_pebble_game.hpp"
#include "graph/redundant_rigidity.hpp"

namespace tarvel {

namespace {

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

    // Redundantly rigid after the loss of any k - 1 of `bars`, k >= 1.
    bool survives(const std::vector<Pair>& bars, std::uint64_t k) {
        const CircuitMembership circuits = find_edges_in_circuits(n_, bars, 2, 3, game_);
        const bool redundantly_rigid =
            circuits.is_rigid && std::all_of(circuits.in_circuit.begin(), circuits.in_circuit.end(),
                                             [](std::uint8_t in) { return in == 1; });
        if (!redundantly_rigid || k == 1) return redundantly_rigid;
        // The accepted bars are a basis: only their removals need a look.
        std::vector<Pair> rest(bars.size() - 1);
        for (std::size_t e = 0; e < bars.size(); ++e) {
            if (circuits.labels[e] == 0) continue;
            std::copy(bars.begin(), bars.begin() + static_cast<std::ptrdiff_t>(e), rest.begin());
            std::copy(bars.begin() + static_cast<std::ptrdiff_t>(e) + 1, bars.end(),
                      rest.begin() + static_cast<std::ptrdiff_t>(e));
            --degree_[bars[e].i];
            --degree_[bars[e].j];
            const bool kept = !some_node_too_loose(k - 1) && survives(rest, k - 1);
            ++degree_[bars[e].i];
            ++degree_[bars[e].j];
            if (!kept) return false;
        }
        return true;
    }

private:
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
