// generate_graph_batch of tarvel_tools._native: model graphs made and
// labelled without the interpreter lock, handed over as flat buffers that
// tarvel_tools.models cuts per graph.
#include <string>
#include <utility>

#include "args.hpp"
#include "bindings/common/convert.hpp"
#include "numeric/fault.hpp"
#include "models/graph_batch.hpp"
#include "functions.hpp"
#include "interruptible.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {
namespace {

// The enumerations arrive as their numbers, checked here: tarvel_tools.models
// maps the names.
template <class Enum>
Enum enum_of(Request& request, const char* key, Enum last) {
    const std::uint64_t code = request.u64(key);
    if (code > static_cast<std::uint64_t>(last)) throw InvalidInput(std::string("unknown ") + key);
    return static_cast<Enum>(code);
}

ModelParameters model_of(Request& request) {
    ModelParameters model;
    GraphParameters& graph = model.graph;
    graph.model = enum_of(request, "model", GraphModel::near_threshold);
    graph.m = request.u64("m");
    graph.p = request.real("p");
    graph.radius = request.real("radius");
    graph.k = request.u64("k");
    graph.split_probability = request.real("split_probability");
    graph.removed_bars = request.u64("removed_bars");
    graph.extra_bars = request.u64("extra_bars");
    PointParameters& points = model.points;
    points.model = enum_of(request, "points", PointModel::clusters);
    points.grid_side = request.u64("grid_side");
    points.groups = request.u64("groups");
    points.cluster_radius = request.real("cluster_radius");
    return model;
}

// Per graph, its rigid components as lists of node numbers: the lists the
// graphs' dictionaries hold, made here at once rather than cut in Python.
Ref component_lists(const GraphBatch& batch) {
    const std::size_t graphs = batch.graph_components.size() - 1;
    Ref all = Ref::check(PyList_New(static_cast<Py_ssize_t>(graphs)));
    for (std::size_t k = 0; k < graphs; ++k) {
        const std::int64_t first = batch.graph_components[k], last = batch.graph_components[k + 1];
        Ref components = Ref::check(PyList_New(last - first));
        for (std::int64_t c = first; c < last; ++c) {
            const std::int64_t begin = batch.component_offsets[static_cast<std::size_t>(c)];
            const std::int64_t end = batch.component_offsets[static_cast<std::size_t>(c) + 1];
            Ref nodes = Ref::check(PyList_New(end - begin));
            for (std::int64_t place = begin; place < end; ++place) {
                PyObject* node = PyLong_FromLongLong(batch.component_nodes[static_cast<std::size_t>(place)]);
                if (node == nullptr) throw PythonErrorSet{};
                PyList_SetItem(nodes.get(), place - begin, node);  // steals the reference; the index is in range
            }
            PyList_SetItem(components.get(), c - first, nodes.release());
        }
        PyList_SetItem(all.get(), static_cast<Py_ssize_t>(k), components.release());
    }
    return all;
}

}  // namespace

Ref generate_graph_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 5, "generate_graph_batch");
    const std::uint64_t n_graphs = to_u64(args[0]), n = to_u64(args[1]), d = to_u64(args[2]), seed = to_u64(args[3]);
    Request request(args[4], "request");
    const LabelMethod method = enum_of(request, "labels", LabelMethod::pebble);
    const double tol = request.real("tol");
    const ModelParameters model = model_of(request);
    const LabelArithmetic arithmetic = enum_of(request, "arithmetic", LabelArithmetic::simulate);
    request.finish();

    GraphBatch batch = without_lock_interruptible([&] { return make_graph_batch(model, n_graphs, n, d, seed, method, tol, arithmetic); });
    PyObject* type = result_buffer_type(module);
    Ref dict = new_dict();
    const auto put = [&](const char* key, auto& values) { set_item(dict, key, make_result_buffer(type, std::move(values))); };
    put("positions", batch.positions);
    put("edges", batch.edges);
    put("edge_offsets", batch.edge_offsets);
    put("labels", batch.labels);
    put("rank", batch.rank);
    put("dof", batch.dof);
    put("edge_component", batch.edge_component);
    set_item(dict, "components", component_lists(batch));
    return dict;
}

}  // namespace tarvel::py
