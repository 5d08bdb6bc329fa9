#include "graph/stress_rigidity.hpp"

#include "graph/generic_framework.hpp"
#include "graph/global_rigidity.hpp"
#include "graph/graph.hpp"
#include "graph/node_ordering.hpp"
#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"
#include "numeric/modular_echelon.hpp"
#include "numeric/prime_field.hpp"

namespace tarvel {

namespace field = prime_field;

namespace {

// Rank of the stress matrix of `stress` on `bars`: Omega_ij = -w_ij,
// Omega_ii = sum_j w_ij, rows and columns in the dissection order.
std::uint64_t stress_matrix_rank(std::uint64_t n, std::span<const Pair> bars, const std::vector<std::uint64_t>& stress) {
    std::vector<std::uint64_t> start(n + 1, 0);
    for (const Pair& bar : bars) {
        ++start[bar.i + 1];
        ++start[bar.j + 1];
    }
    for (std::uint64_t v = 0; v < n; ++v) start[v + 1] += start[v];
    std::vector<std::uint64_t> incident(start[n]), cursor(start.begin(), start.end() - 1);
    for (std::size_t e = 0; e < bars.size(); ++e) {
        incident[cursor[bars[e].i]++] = e;
        incident[cursor[bars[e].j]++] = e;
    }
    const std::vector<std::uint64_t> order = dissection_order(n, bars);
    std::vector<std::uint64_t> column_of(n);
    for (std::uint64_t place = 0; place < n; ++place) column_of[order[place]] = place;

    ModularEchelon echelon(n, false);
    for (const std::uint64_t v : order) {
        check_interrupt();
        std::uint64_t diagonal = 0;
        for (std::uint64_t slot = start[v]; slot < start[v + 1]; ++slot) {
            const std::uint64_t e = incident[slot];
            const std::uint64_t other = bars[e].i == v ? bars[e].j : bars[e].i;
            diagonal = field::canonical(diagonal + stress[e]);
            echelon.add(column_of[other], field::sub(0, stress[e]));
        }
        echelon.add(column_of[v], diagonal);
        echelon.accept_offered();
    }
    return echelon.rank();
}

}  // namespace

bool is_globally_rigid_by_stress(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed) {
    if (d != 2 && d != 3) throw InvalidInput("d must be 2 or 3");
    check_edges(n, edges);
    const std::vector<Pair> bars = distinct_bars(edges);
    if (n <= d + 1) return bars.size() == pair_count(n);
    // A globally rigid graph on n >= d + 2 nodes is redundantly rigid:
    // at least rigid_rank + 1 bars.
    if (bars.size() <= rigid_rank(n, d)) return false;
    GenericFramework framework(n, bars, d, seed, {.stresses = 1, .keep_factors = true, .rows_in_column_order = true});
    if (framework.rank() != rigid_rank(n, d)) return false;
    return stress_matrix_rank(n, bars, framework.random_stress(0)) == n - d - 1;
}

CircuitBars generic_circuit_bars(std::uint64_t n, std::span<const Pair> edges, std::uint64_t d, std::uint64_t seed) {
    GenericFramework framework(n, edges, d, seed, {.stresses = 1, .keep_factors = true, .rows_in_column_order = true});
    CircuitBars result;
    result.rank = framework.rank();
    const std::vector<std::uint64_t> stress = framework.random_stress(0);
    result.in_circuit.resize(stress.size());
    for (std::size_t e = 0; e < stress.size(); ++e) result.in_circuit[e] = stress[e] != 0 ? 1 : 0;
    return result;
}

std::vector<std::uint64_t> generic_fundamental_circuit(std::uint64_t n, std::span<const Pair> edges, std::uint64_t bar,
                                                       std::uint64_t d, std::uint64_t seed) {
    if (bar >= edges.size()) throw InvalidInput("bar must be the index of one of the edges");
    GenericFramework framework(n, edges.first(bar + 1), d, seed, {.keep_factors = true});
    const std::vector<std::uint64_t> stress = framework.last_bar_stress();
    std::vector<std::uint64_t> circuit;
    for (std::size_t e = 0; e < stress.size(); ++e) {
        if (stress[e] != 0) circuit.push_back(e);
    }
    return circuit;
}

}  // namespace tarvel
