#include "framework/pebble.hpp"

#include "graph/kl_pebble_game.hpp"
#include "numeric/fault.hpp"

namespace tarvel {

PebbleOutcome play_pebble_game(std::uint64_t n) {
    PebbleOutcome outcome;
    // The labels come first: an absurd n fails here, before any other work.
    const std::uint64_t candidate_count = pair_count(n);
    reserve_checked(outcome.labels, candidate_count);
    if (n >= 2) reserve_checked(outcome.accepted_edges, 2 * n - 3);  // the most a sparse set holds

    KLPebbleGame game;
    game.start(n, 2, 3);
    std::uint64_t position = 0;
    for (std::uint64_t u = 0; u < n; ++u) {
        for (std::uint64_t v = u + 1; v < n; ++v, ++position) {
            if (game.whole_graph_tight()) {  // every remaining candidate is redundant
                outcome.labels.resize(candidate_count, 0);
                return outcome;
            }
            const bool accepted = game.offer(Pair{u, v}, position);
            outcome.labels.push_back(accepted ? 1 : 0);
            if (accepted) outcome.accepted_edges.push_back(Pair{u, v});
        }
    }
    return outcome;
}

}  // namespace tarvel
