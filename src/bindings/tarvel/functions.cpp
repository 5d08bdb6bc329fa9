// Each function: bind and convert its arguments, make its own checks, run
// the core (without the interpreter lock where the work is long), build the
// Python result.
#include "functions.hpp"

#include <algorithm>

#include "reconstruction/centering.hpp"
#include "numeric/fault.hpp"
#include "framework/node.hpp"
#include "framework/pebble.hpp"
#include "reconstruction/reconstruct.hpp"
#include "framework/simulation.hpp"
#include "results.hpp"

namespace tarvel::py {

const FunctionDescription kSimulate{"simulate", {"coords", "d", "tol"}, 3, 2};
const FunctionDescription kGramFromDist{"gram_from_dist", {"dist"}, 1, 1};
const FunctionDescription kGenerateTrainingBatch{
    "generate_training_batch", {"n_graphs", "n_nodes", "d", "seed"}, 4, 4};
const FunctionDescription kMaxIndependent{"max_independent", {"n", "d"}, 2, 2};
const FunctionDescription kReconstruct{"reconstruct", {"distance_matrix", "d", "tol"}, 3, 2};
const FunctionDescription kPebbleGame{"pebble_game", {"coords", "d"}, 2, 2};

namespace {

constexpr double kDefaultRankTolerance = 1e-9;
constexpr double kDefaultStressTolerance = 1e-6;
constexpr double kBatchRankTolerance = 1e-9;

Ref square_matrix_as_array(std::vector<double>&& values, std::size_t n) {
    const auto side = static_cast<npy_intp>(n);
    return adopt_as_float64_array(std::move(values), {side, side});
}

}  // namespace

Ref simulate(const CallArguments& call) {
    const BoundArguments bound = bind_arguments(kSimulate, call);
    const MatrixArgument coords = convert_matrix(bound[0], "coords");
    const std::uint64_t d = convert_u64(bound[1], "d");
    const double tol = convert_optional_float(bound[2], "tol", kDefaultRankTolerance);

    const NodeList nodes = nodes_from_coords(coords.view, d);  // reads the array: with the lock
    SimulationResult result = without_interpreter_lock([&] { return run_simulation(nodes, d, tol); });
    return make_result_dict(std::move(result));
}

Ref gram_from_dist(const CallArguments& call) {
    const BoundArguments bound = bind_arguments(kGramFromDist, call);
    const MatrixArgument dist = convert_matrix(bound[0], "dist");
    if (dist.view.rows != dist.view.cols) throw InvalidInput("Distance matrix must be square");
    return square_matrix_as_array(double_center(dist.view), dist.view.rows);
}

Ref generate_training_batch(const CallArguments& call) {
    const BoundArguments bound = bind_arguments(kGenerateTrainingBatch, call);
    const std::uint64_t n_graphs = convert_u64(bound[0], "n_graphs");
    const std::uint64_t n_nodes = convert_u64(bound[1], "n_nodes");
    const std::uint64_t d = convert_u64(bound[2], "d");
    const std::uint64_t seed = convert_u64(bound[3], "seed");

    std::vector<SimulationResult> records =
        without_interpreter_lock([&] { return simulate_batch(seed, n_graphs, n_nodes, d, kBatchRankTolerance); });

    // Each record is freed as soon as its dictionary exists (its buffers
    // become the dictionary's arrays), and the records' own storage shrinks
    // with them: taken from the back, graph 0 last in the vector. The peak
    // stays near the result.
    std::reverse(records.begin(), records.end());
    Ref list = Ref::check(PyList_New(0));
    EdgeTuples shared_tuples(n_nodes);
    while (!records.empty()) {
        Ref dict = make_result_dict(std::move(records.back()), &shared_tuples);
        records.pop_back();
        if (records.size() < records.capacity() / 2) records.shrink_to_fit();
        check_status(PyList_Append(list.get(), dict.get()));
    }
    return list;
}

Ref max_independent(const CallArguments& call) {
    const BoundArguments bound = bind_arguments(kMaxIndependent, call);
    const std::uint64_t n = convert_u64(bound[0], "n");
    const std::uint64_t d = convert_u64(bound[1], "d");
    return python_int(max_rank_for(n, d));
}

Ref reconstruct(const CallArguments& call) {
    const BoundArguments bound = bind_arguments(kReconstruct, call);
    const MatrixArgument matrix = convert_matrix(bound[0], "distance_matrix");
    const std::uint64_t d = convert_u64(bound[1], "d");
    const double tol = convert_optional_float(bound[2], "tol", kDefaultStressTolerance);

    if (matrix.view.rows != matrix.view.cols) throw InvalidInput("distance_matrix must be square");
    const std::size_t n = matrix.view.rows;
    DistanceCopy dist(matrix.view);  // the private copy is made while the lock is held
    Reconstruction result =
        without_interpreter_lock([&] { return reconstruct_coords(std::move(dist), d, tol); });

    Ref dict = new_dict();
    const auto rows = static_cast<npy_intp>(n);
    const auto axes = static_cast<npy_intp>(d);
    set_item(dict, "coords", adopt_as_float64_array(std::move(result.coords), {rows, axes}));
    set_item(dict, "stress", python_float(result.stress));
    set_item(dict, "eigenvalues", adopt_as_float64_array(std::move(result.eigenvalues), {axes}));
    set_item(dict, "is_isometric", python_bool(result.is_isometric));
    return dict;
}

Ref pebble_game(const CallArguments& call) {
    const BoundArguments bound = bind_arguments(kPebbleGame, call);
    const MatrixArgument coords = convert_matrix(bound[0], "coords");
    const std::uint64_t d = convert_u64(bound[1], "d");

    const std::uint64_t n = coords.view.rows;  // the game reads nothing else of coords
    if (d != 2) throw InvalidInput("pebble_game only supports d=2");
    PebbleOutcome game = without_interpreter_lock([&] { return play_pebble_game(n); });

    Ref dict = new_dict();
    set_item(dict, "labels", adopt_as_uint8_array(std::move(game.labels)));
    set_item(dict, "accepted_edges", edge_list(game.accepted_edges));
    set_item(dict, "n_nodes", python_int(n));
    set_item(dict, "d", python_int(d));
    return dict;
}

}  // namespace tarvel::py
