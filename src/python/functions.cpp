// Each function: bind and convert its arguments, make its own checks, run
// the core (without the interpreter lock where the work is long), build the
// Python result.
#include "functions.hpp"

#include "core/node.hpp"
#include "errors.hpp"
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

[[noreturn]] void not_built_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s() is not available in this build yet", name);
    throw PythonErrorSet{};
}

}  // namespace

Ref simulate(PyObject* args, PyObject* kwargs) {
    const BoundArguments bound = bind_arguments(kSimulate, args, kwargs);
    MatrixArgument coords = convert_matrix(bound[0], "coords");
    const std::uint64_t d = convert_u64(bound[1], "d");
    const double tol = convert_optional_float(bound[2], "tol", kDefaultRankTolerance);
    (void)coords, (void)d, (void)tol;
    not_built_yet("simulate");
}

Ref gram_from_dist(PyObject* args, PyObject* kwargs) {
    const BoundArguments bound = bind_arguments(kGramFromDist, args, kwargs);
    MatrixArgument dist = convert_matrix(bound[0], "dist");
    (void)dist;
    not_built_yet("gram_from_dist");
}

Ref generate_training_batch(PyObject* args, PyObject* kwargs) {
    const BoundArguments bound = bind_arguments(kGenerateTrainingBatch, args, kwargs);
    const std::uint64_t n_graphs = convert_u64(bound[0], "n_graphs");
    const std::uint64_t n_nodes = convert_u64(bound[1], "n_nodes");
    const std::uint64_t d = convert_u64(bound[2], "d");
    const std::uint64_t seed = convert_u64(bound[3], "seed");
    (void)n_graphs, (void)n_nodes, (void)d, (void)seed;
    not_built_yet("generate_training_batch");
}

Ref max_independent(PyObject* args, PyObject* kwargs) {
    const BoundArguments bound = bind_arguments(kMaxIndependent, args, kwargs);
    const std::uint64_t n = convert_u64(bound[0], "n");
    const std::uint64_t d = convert_u64(bound[1], "d");
    return to_python_int(max_rank_for(n, d));
}

Ref reconstruct(PyObject* args, PyObject* kwargs) {
    const BoundArguments bound = bind_arguments(kReconstruct, args, kwargs);
    MatrixArgument matrix = convert_matrix(bound[0], "distance_matrix");
    const std::uint64_t d = convert_u64(bound[1], "d");
    const double tol = convert_optional_float(bound[2], "tol", kDefaultStressTolerance);
    (void)matrix, (void)d, (void)tol;
    not_built_yet("reconstruct");
}

Ref pebble_game(PyObject* args, PyObject* kwargs) {
    const BoundArguments bound = bind_arguments(kPebbleGame, args, kwargs);
    MatrixArgument coords = convert_matrix(bound[0], "coords");
    const std::uint64_t d = convert_u64(bound[1], "d");
    (void)coords, (void)d;
    not_built_yet("pebble_game");
}

}  // namespace tarvel::py
