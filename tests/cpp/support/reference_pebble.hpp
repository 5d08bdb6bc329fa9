// Reference implementation of the pebble game, step for step: recursive
// search, a fresh hash set per search, the full candidate list built up
// front, a search for every candidate. Slow (O(n^3) on the complete graph)
// and recursive, so only for small n; the tests hold the production game to
// it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "framework/pebble.hpp"
#include "support/candidate_pairs.hpp"

namespace tarvel::reference {

enum class MoveKind : std::uint8_t { Taken, Gained, Reversed };

// One change to the game state, kept so that a rejected candidate can be
// taken back.
struct PebbleMove {
    MoveKind kind;
    std::size_t node;
    std::size_t to = 0;  // only for Reversed: the edge node -> to was turned round
};

using PebbleCounts = std::vector<std::int32_t>;              // free pebbles per node
using OutEdgeLists = std::vector<std::vector<std::size_t>>;  // out_edges[x] holds w for x -> w
using MoveLog = std::vector<PebbleMove>;

using Visited = std::unordered_set<std::size_t>;

inline bool find_pebble(std::size_t node, Visited& visited, PebbleCounts& pebbles,
                        OutEdgeLists& out_edges, MoveLog& moves) {
    if (visited.count(node) != 0) return false;
    visited.insert(node);
    if (pebbles[node] > 0) {
        pebbles[node] -= 1;
        moves.push_back({MoveKind::Taken, node});
        return true;
    }
    const std::size_t length = out_edges[node].size();
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t w = out_edges[node][i];
        if (reference::find_pebble(w, visited, pebbles, out_edges, moves)) {
            out_edges[node].erase(out_edges[node].begin() + static_cast<std::ptrdiff_t>(i));
            out_edges[w].push_back(node);
            moves.push_back({MoveKind::Reversed, node, w});
            return true;
        }
    }
    return false;
}

inline void undo_moves(const MoveLog& moves, PebbleCounts& pebbles, OutEdgeLists& out_edges) {
    for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
        switch (move->kind) {
            case MoveKind::Taken: pebbles[move->node] += 1; break;
            case MoveKind::Gained: pebbles[move->node] -= 1; break;
            case MoveKind::Reversed: {
                std::vector<std::size_t>& list = out_edges[move->to];
                const auto entry = std::find(list.begin(), list.end(), move->node);
                if (entry != list.end()) list.erase(entry);
                out_edges[move->node].push_back(move->to);
                break;
            }
        }
    }
}

struct Game {
    PebbleOutcome outcome;
    PebbleCounts pebbles;
    OutEdgeLists out_edges;
};

inline bool search_from(std::size_t node, PebbleCounts& pebbles, OutEdgeLists& out_edges,
                        MoveLog& moves) {
    Visited visited;
    if (!reference::find_pebble(node, visited, pebbles, out_edges, moves)) return false;
    moves.push_back({MoveKind::Gained, node});
    return true;
}

inline Game play_pebble_game(std::uint64_t n) {
    const std::vector<Pair> candidate_pairs = testing::make_candidate_pairs(n);
    Game game{{}, PebbleCounts(n, 2), OutEdgeLists(n)};
    PebbleCounts& pebbles = game.pebbles;
    OutEdgeLists& out_edges = game.out_edges;
    game.outcome.labels.reserve(candidate_pairs.size());
    for (const Pair& pair : candidate_pairs) {
        const std::size_t u = pair.i;
        const std::size_t v = pair.j;
        MoveLog moves;
        for (;;) {
            std::int32_t pu = pebbles[u];
            std::int32_t pv = pebbles[v];
            if (pu + pv > 3) break;
            pebbles[u] = 0;
            pebbles[v] = 0;
            if (pu <= 1 && search_from(u, pebbles, out_edges, moves)) {
                pu += 1;
                pebbles[u] = pu;
                pebbles[v] = pv;
                continue;
            }
            const bool found_from_v = search_from(v, pebbles, out_edges, moves);
            if (found_from_v) pv += 1;
            pebbles[u] = pu;
            pebbles[v] = pv;
            if (!found_from_v) break;
        }
        if (pebbles[u] + pebbles[v] > 3) {
            pebbles[v] -= 1;
            out_edges[v].push_back(u);
            game.outcome.labels.push_back(1);
            game.outcome.accepted_edges.push_back(pair);
        } else {
            reference::undo_moves(moves, pebbles, out_edges);
            game.outcome.labels.push_back(0);
        }
    }
    return game;
}

}  // namespace tarvel::reference
