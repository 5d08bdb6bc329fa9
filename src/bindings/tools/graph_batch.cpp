// generate_graph_batch of tarvel_tools._native: model graphs made and
// labelled without the interpreter lock, handed over as flat buffers that
// tarvel_tools.models cuts per graph.
#include <string>
#include <utility>

#include "args.hpp"
#include "numeric/fault.hpp"
#include "models/graph_batch.hpp"
#include "functions.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {
namespace {

// The enumerations arrive as their numbers, checked here: tarvel_tools.models
// maps the names.
template <class Enum>
Enum enum_of(PyObject* object, Enum last, const char* what) {
    const std::uint64_t code = to_u64(object);
    if (code > static_cast<std::uint64_t>(last)) throw InvalidInput(std::string("unknown ") + what);
    return static_cast<Enum>(code);
}

// Argument order: n_graphs, n_nodes, d, seed, labels, tol, then the graph
// model and its parameters m, p, radius, k, split_probability, removed_bars,
// extra_bars, then the point model and its parameters grid_side, groups,
// cluster_radius, then the arithmetic of numeric labels.
constexpr Py_ssize_t kArguments = 19;

ModelParameters model_of(PyObject* const* args) {
    ModelParameters model;
    GraphParameters& graph = model.graph;
    graph.model = enum_of(args[6], GraphModel::near_threshold, "graph model");
    graph.m = to_u64(args[7]);
    graph.p = to_double(args[8]);
    graph.radius = to_double(args[9]);
    graph.k = to_u64(args[10]);
    graph.split_probability = to_double(args[11]);
    graph.removed_bars = to_u64(args[12]);
    graph.extra_bars = to_u64(args[13]);
    PointParameters& points = model.points;
    points.model = enum_of(args[14], PointModel::clusters, "point model");
    points.grid_side = to_u64(args[15]);
    points.groups = to_u64(args[16]);
    points.cluster_radius = to_double(args[17]);
    return model;
}

}  // namespace

Ref generate_graph_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, kArguments, "generate_graph_batch");
    const std::uint64_t n_graphs = to_u64(args[0]), n = to_u64(args[1]), d = to_u64(args[2]), seed = to_u64(args[3]);
    const LabelMethod method = enum_of(args[4], LabelMethod::pebble, "label method");
    const double tol = to_double(args[5]);
    const ModelParameters model = model_of(args);
    const LabelArithmetic arithmetic = enum_of(args[18], LabelArithmetic::simulate, "arithmetic");

    GraphBatch batch = without_interpreter_lock([&] { return make_graph_batch(model, n_graphs, n, d, seed, method, tol, arithmetic); });
    PyObject* type = result_buffer_type(module);
    Ref dict = Ref::check(PyDict_New());
    const auto put = [&](const char* key, auto& values) {
        check_status(PyDict_SetItemString(dict.get(), key, make_result_buffer(type, std::move(values)).get()));
    };
    put("positions", batch.positions);
    put("edges", batch.edges);
    put("edge_offsets", batch.edge_offsets);
    put("labels", batch.labels);
    put("rank", batch.rank);
    put("dof", batch.dof);
    if (d == 2) {
        put("edge_component", batch.edge_component);
        put("component_nodes", batch.component_nodes);
        put("component_offsets", batch.component_offsets);
        put("graph_components", batch.graph_components);
    }
    return dict;
}

}  // namespace tarvel::py
