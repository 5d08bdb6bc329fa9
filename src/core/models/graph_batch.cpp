#include "models/graph_batch.hpp"

#include <algorithm>
#include <span>

#include "framework/bar_labels.hpp"
#include "numeric/fault.hpp"
#include "graph/bitset_pebble_game.hpp"
#include "graph/generic_rank.hpp"
#include "graph/graph.hpp"
#include "graph/kl_pebble_game.hpp"
#include "graph/rigidity_closure.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel {

namespace {

constexpr std::uint64_t kGenericSeed = 0;

// The labellers of one batch: their storage is reused from graph to graph.
class GraphLabeller {
public:
    GraphLabeller(LabelMethod method, LabelArithmetic arithmetic, std::uint64_t n, std::uint64_t d, double tol)
        : method_(method), arithmetic_(arithmetic), n_(n), d_(d), tol_(tol), max_rank_(rigid_rank(n, d)) {}

    void label(const ModelGraph& graph, GraphBatch& batch) {
        const bool plane = d_ == 2;
        if (method_ == LabelMethod::pebble) play_game(graph);
        const std::vector<std::uint8_t>& labels = labels_of(graph);
        batch.labels.insert(batch.labels.end(), labels.begin(), labels.end());
        const auto rank = static_cast<std::uint64_t>(std::count(labels.begin(), labels.end(), std::uint8_t{1}));
        batch.rank.push_back(static_cast<std::int64_t>(rank));
        batch.dof.push_back(static_cast<std::int64_t>(max_rank_ - rank));
        if (proves_rigid(rank)) {
            append_whole_graph_component(graph.edges.size(), batch);
        } else if (plane) {
            if (method_ != LabelMethod::pebble) play_game(graph);
            append_components(game_result_.components, batch);
        } else {
            append_components(components_of_closure(implied_pairs(n_, graph.edges, d_, kGenericSeed), graph.edges), batch);
        }
    }

private:
    // The (2, 3) game's labels and components, on bit sets where the graph is small.
    void play_game(const ModelGraph& graph) {
        if (BitsetPebbleGame::fits(n_)) {
            small_game_.play(n_, graph.edges, game_result_);
        } else {
            game_.play(n_, graph.edges, 2, 3, game_result_);
        }
    }

    const std::vector<std::uint8_t>& labels_of(const ModelGraph& graph) {
        switch (method_) {
            case LabelMethod::numeric:
                if (arithmetic_ == LabelArithmetic::orthogonal) {
                    orthogonal_.label(graph.positions, d_, graph.edges, tol_, numeric_result_);
                } else {
                    assign_rows(nodes_, graph.positions, d_);  // storage reused from graph to graph
                    numeric_.label(nodes_, d_, graph.edges, tol_, numeric_result_);
                }
                return numeric_result_.labels;
            case LabelMethod::generic:
                generic_labels_ = generic_rigidity_labels(n_, graph.edges, d_, kGenericSeed).labels;
                return generic_labels_;
            case LabelMethod::pebble:
                return game_result_.labels;
        }
        raise_fault("unknown label method");
    }

    // Labels that accept rigid_rank(n, d) bars of the graph show it rigid
    // when their rank never exceeds the generic rank: the orthogonal test
    // accepts only numerically independent rows, and the exact rank at the
    // integer positions of one seed is at most the generic rank. Then its
    // only rigid component is every node, without a game or a closure. The
    // simulation's elimination can accept dependent rows, so its labels
    // prove nothing.
    bool proves_rigid(std::uint64_t rank) const {
        const bool bounded = method_ == LabelMethod::generic ||
                             (method_ == LabelMethod::numeric && arithmetic_ == LabelArithmetic::orthogonal);
        return bounded && max_rank_ > 0 && rank == max_rank_;
    }

    void append_whole_graph_component(std::uint64_t bars, GraphBatch& batch) const {
        for (std::uint64_t node = 0; node < n_; ++node) batch.component_nodes.push_back(static_cast<std::int64_t>(node));
        batch.component_offsets.push_back(batch.component_offsets.back() + static_cast<std::int64_t>(n_));
        batch.graph_components.push_back(batch.graph_components.back() + 1);
        batch.edge_component.insert(batch.edge_component.end(), bars, 0);
    }

    static void append_components(const RigidComponents& found, GraphBatch& batch) {
        for (std::uint64_t node : found.nodes) batch.component_nodes.push_back(static_cast<std::int64_t>(node));
        const std::int64_t base = batch.component_offsets.back();
        for (std::uint64_t c = 1; c < found.offsets.size(); ++c) {
            batch.component_offsets.push_back(base + static_cast<std::int64_t>(found.offsets[c]));
        }
        batch.graph_components.push_back(batch.graph_components.back() + static_cast<std::int64_t>(found.count()));
        batch.edge_component.insert(batch.edge_component.end(), found.edge_component.begin(),
                                    found.edge_component.end());
    }

    LabelMethod method_;
    LabelArithmetic arithmetic_;
    std::uint64_t n_, d_;
    double tol_;
    std::uint64_t max_rank_;
    NodeList nodes_;
    BarLabeller numeric_;
    OrthogonalBarLabeller orthogonal_;
    BarLabels numeric_result_;
    std::vector<std::uint8_t> generic_labels_;
    KLPebbleGame game_;
    BitsetPebbleGame small_game_;
    PebbleGameResult game_result_;
};

// Room for n_graphs graphs of as many bars as the first: exact for the
// models whose bar count is fixed, a good start for the others.
void reserve_bars(GraphBatch& batch, std::uint64_t bars, std::uint64_t n_graphs) {
    const std::uint64_t total = checked_product(bars, n_graphs);
    reserve_checked(batch.edges, checked_product(total, 2));
    reserve_checked(batch.labels, total);
    reserve_checked(batch.edge_component, total);
}

void append_graph(const ModelGraph& graph, GraphBatch& batch) {
    batch.positions.insert(batch.positions.end(), graph.positions.begin(), graph.positions.end());
    for (const Pair& edge : graph.edges) {
        batch.edges.push_back(static_cast<std::int64_t>(edge.i));
        batch.edges.push_back(static_cast<std::int64_t>(edge.j));
    }
    batch.edge_offsets.push_back(batch.edge_offsets.back() + static_cast<std::int64_t>(graph.edges.size()));
}

}  // namespace

GraphBatch make_graph_batch(const ModelParameters& model, std::uint64_t n_graphs, std::uint64_t n, std::uint64_t d,
                            std::uint64_t seed, LabelMethod method, double tol,
                            LabelArithmetic arithmetic) {
    check_model_parameters(model, n, d);
    if (method == LabelMethod::pebble && d != 2) throw InvalidInput("pebble labels need d = 2");
    GraphBatch batch;
    reserve_checked(batch.positions, checked_product(checked_product(n_graphs, n), d));
    reserve_checked(batch.edge_offsets, n_graphs + 1);  // n_graphs < 2^63: the positions fit
    reserve_checked(batch.rank, n_graphs);
    reserve_checked(batch.dof, n_graphs);
    GraphLabeller labeller(method, arithmetic, n, d, tol);
    for (std::uint64_t k = 0; k < n_graphs; ++k) {
        check_interrupt();
        const ModelGraph graph = make_model_graph(model, n, d, seed + k);
        if (k == 0) reserve_bars(batch, graph.edges.size(), n_graphs);
        append_graph(graph, batch);
        labeller.label(graph, batch);
    }
    return batch;
}

}  // namespace tarvel
