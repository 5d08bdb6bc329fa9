#include "graph/kl_pebble_game.hpp"

#include <algorithm>
#include <string>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"
#include "graph/graph.hpp"
#include "graph/low_degree_peeling.hpp"
#include "graph/reduction.hpp"

namespace tarvel {

namespace {

void count_freedom(std::uint64_t n, std::uint64_t m, std::uint64_t k, std::uint64_t l, PebbleGameResult& result) {
    const std::uint64_t tight_count = checked_product(k, n);  // k n - l once l is taken off
    result.dof = tight_count > l + result.accepted ? tight_count - l - result.accepted : 0;
    result.is_rigid = result.dof == 0;
    result.is_minimally_rigid = result.is_rigid && result.accepted == m;
}

// Searches that entered more elements than this make the game probe for a
// tight set to condense (a probe costs about one more such search).
constexpr std::uint64_t kProbeWork = 64;
// Probes that find nothing grow rarer: after each failure in a row twice as
// many costly gathers go unprobed, up to this many; a success resets it.
constexpr std::uint64_t kMaxProbeSpacing = 64;

}  // namespace

void check_pebble_game_parameters(std::uint64_t k, std::uint64_t l) {
    if (k == 0 || l >= 2 * k || k > (std::uint64_t{1} << 62)) {
        throw InvalidInput("the pebble game needs 0 <= l < 2k, got k=" + std::to_string(k) +
                           ", l=" + std::to_string(l));
    }
}

void KLPebbleGame::play(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k, std::uint64_t l,
                        PebbleGameResult& result) {
    check_pebble_game_parameters(k, l);
    check_edges(n, edges);
    digraph_.reset(n, k, l);
    result.accepted = offer_all(edges, l, true, result.labels);
    component_finder_.find(digraph_, l, edges, result.labels, result.components);
    count_freedom(n, edges.size(), k, l, result);
}

void KLPebbleGame::play_labels(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k, std::uint64_t l,
                               std::vector<std::uint8_t>& labels) {
    check_pebble_game_parameters(k, l);
    check_edges(n, edges);
    digraph_.reset(n, k, l);
    offer_all(edges, l, true, labels);
}

void KLPebbleGame::play_uncondensed(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k,
                                    std::uint64_t l, std::vector<std::uint8_t>& labels) {
    check_pebble_game_parameters(k, l);
    check_edges(n, edges);
    digraph_.reset(n, k, l);
    offer_all(edges, l, false, labels);
}

void KLPebbleGame::start(std::uint64_t n, std::uint64_t k, std::uint64_t l) {
    check_pebble_game_parameters(k, l);
    digraph_.reset(n, k, l);
    begin_offers(l, true);
}

void KLPebbleGame::start_uncondensed(std::uint64_t n, std::uint64_t k, std::uint64_t l) {
    check_pebble_game_parameters(k, l);
    digraph_.reset(n, k, l);
    begin_offers(l, false);
}

void KLPebbleGame::begin_offers(std::uint64_t l, bool condense) {
    const std::uint64_t n = digraph_.node_count();
    l_ = l;
    condense_ = condense;
    accepted_ = 0;
    // With n >= 2 the whole graph is tight at k n - l >= 1 accepted edges.
    tight_count_ = n >= 2 ? digraph_.k() * n - l : 0;
    probe_spacing_ = gathers_until_probe_ = 0;
}

std::uint64_t KLPebbleGame::offer_all(std::span<const Pair> edges, std::uint64_t l, bool condense,
                                      std::vector<std::uint8_t>& labels) {
    begin_offers(l, condense);
    labels.assign(edges.size(), 0);
    for (std::size_t e = 0; e < edges.size(); ++e) {
        check_interrupt();
        if (whole_graph_tight()) break;  // every later edge is rejected
        labels[e] = offer_edge(edges[e], e) ? 1 : 0;
    }
    return accepted_;
}

bool KLPebbleGame::offer_edge(const Pair& edge, std::uint64_t index) {
    const auto [u, v] = edge;
    if (condense_ && digraph_.share_body(u, v)) return false;
    if (digraph_.gather(u, v, l_ + 1) <= l_) {
        if (condense_) digraph_.condense_closure();
        return false;
    }
    // Cover it from the end with more free pebbles: both keep some.
    if (digraph_.free_pebbles(u) >= digraph_.free_pebbles(v)) {
        digraph_.cover(u, v, index);
    } else {
        digraph_.cover(v, u, index);
    }
    ++accepted_;
    if (condense_ && digraph_.gather_work() > kProbeWork && probe_due()) probe_for_tight_set(u, l_);
    return true;
}

// After a costly gather: is the node the last pebble came from held rigidly
// to u? A gather on the pair, which accepts nothing, falls short exactly
// when a tight set holds both, and that set is condensed, so searches
// through the region become cheap. Graphs grown rigid without a rejected
// edge (Henneberg sequences in construction order) are condensed this way.
void KLPebbleGame::probe_for_tight_set(std::uint64_t u, std::uint64_t l) {
    const std::uint64_t far = digraph_.last_pebble_holder();
    if (far == u || digraph_.is_body(far)) return;
    if (digraph_.gather(u, far, l + 1) <= l) {
        digraph_.condense_closure();
        probe_spacing_ = 0;
        return;
    }
    probe_spacing_ = std::min(std::max<std::uint64_t>(1, 2 * probe_spacing_), kMaxProbeSpacing);
    gathers_until_probe_ = probe_spacing_;
}

bool KLPebbleGame::probe_due() {
    if (gathers_until_probe_ == 0) return true;
    --gathers_until_probe_;
    return false;
}

namespace {

// The game on the core left by peeling low-degree nodes, with the peeled
// edges' labels and the components put back.
void play_on_core(KLPebbleGame& game, std::uint64_t n, std::span<const Pair> edges, std::uint64_t k,
                  std::uint64_t l, PebbleGameResult& result) {
    const LowDegreePeeling peeling = peel_low_degree(n, edges, k);
    PebbleGameResult core;
    game.play(peeling.core_nodes.size(), peeling.core_edges, k, l, core);
    result.labels = peeling.fate;
    for (std::size_t c = 0; c < core.labels.size(); ++c) result.labels[peeling.core_edge_places[c]] = core.labels[c];
    result.accepted = static_cast<std::uint64_t>(std::count(result.labels.begin(), result.labels.end(), 1));
    restore_peeled_components(n, edges, result.labels, k, peeling, core.components, result.components);
}

}  // namespace

PebbleGameResult play_kl_pebble_game(std::uint64_t n, std::span<const Pair> edges, std::uint64_t k,
                                     std::uint64_t l) {
    check_pebble_game_parameters(k, l);
    const CompactGraph compact = compact_graph(n, edges);
    KLPebbleGame game;
    PebbleGameResult result;
    if (peeling_suits(k, l) && has_low_degree_node(compact.node_count(), compact.edges, k)) {
        play_on_core(game, compact.node_count(), compact.edges, k, l, result);
    } else {
        game.play(compact.node_count(), compact.edges, k, l, result);
    }
    for (std::uint64_t& node : result.components.nodes) node = compact.nodes[node];  // ascending stays ascending
    count_freedom(n, edges.size(), k, l, result);
    return result;
}

}  // namespace tarvel
