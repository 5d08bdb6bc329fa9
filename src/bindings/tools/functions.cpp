#include "functions.hpp"

#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "bindings/common/convert.hpp"
#include "framework/bar_labels.hpp"
#include "framework/orthogonal_labels.hpp"
#include "numeric/fault.hpp"
#include "graph/generic_rigidity.hpp"
#include "graph/global_rigidity.hpp"
#include "graph/graph.hpp"
#include "graph/kl_pebble_game.hpp"
#include "graph/redundant_rigidity.hpp"
#include "interruptible.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {
namespace {

// The dictionary of a labelling: "labels", "rank", "max_rank".
Ref labels_dict(PyObject* module, std::vector<std::uint8_t>&& labels, std::uint64_t rank, std::uint64_t max_rank) {
    Ref dict = new_dict();
    set_item(dict, "labels", make_result_buffer(result_buffer_type(module), std::move(labels)));
    set_item(dict, "rank", python_int(rank));
    set_item(dict, "max_rank", python_int(max_rank));
    return dict;
}

// The arithmetic of numeric labels by its number (tarvel_tools maps the names).
LabelArithmetic arithmetic_of(PyObject* code) {
    const std::uint64_t value = to_u64(code);
    if (value > static_cast<std::uint64_t>(LabelArithmetic::simulate)) throw InvalidInput("unknown arithmetic");
    return static_cast<LabelArithmetic>(value);
}

}  // namespace

Ref label_bars(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "label_bars");
    const BufferView positions(args[0], "positions");
    const BufferView edge_rows(args[1], "edges");
    const std::span<const double> coordinates = positions.float64_rows();
    const std::span<const std::int64_t> rows = edge_rows.int64_rows(2);
    const std::uint64_t n = positions.rows(), d = positions.columns();
    const double tol = to_double(args[2]);
    const LabelArithmetic arithmetic = arithmetic_of(args[3]);

    BarLabels bars = without_lock_interruptible([&] {
        // Copied first: the caller's memory is read once.
        const std::vector<double> points(coordinates.begin(), coordinates.end());
        return tarvel::label_bars(points, d, copy_edges(rows, n), tol, arithmetic);
    });
    return labels_dict(module, std::move(bars.labels), bars.rank, bars.max_rank);
}

Ref generic_labels(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "generic_labels");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);

    GenericRigidity generic =
        without_lock_interruptible([&] { return generic_rigidity(graph.n(), graph.edges(), d, seed); });
    return labels_dict(module, std::move(generic.labels), generic.rank, generic.max_rank);
}

Ref is_rigid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "is_rigid");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    return python_bool(without_lock_interruptible([&] { return is_generically_rigid(graph.n(), graph.edges(), d, seed); }));
}

Ref is_minimally_rigid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "is_minimally_rigid");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    return python_bool(
        without_lock_interruptible([&] { return is_generically_minimally_rigid(graph.n(), graph.edges(), d, seed); }));
}

Ref pebble_game(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "pebble_game");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t k = to_u64(args[2]), l = to_u64(args[3]);

    PebbleGameResult game = without_lock_interruptible([&] { return play_kl_pebble_game(graph.n(), graph.edges(), k, l); });
    PyObject* buffer_type = result_buffer_type(module);
    Ref dict = new_dict();
    set_item(dict, "labels", make_result_buffer(buffer_type, std::move(game.labels)));
    set_item(dict, "edge_component", make_result_buffer(buffer_type, std::move(game.components.edge_component)));
    set_item(dict, "component_offsets", make_result_buffer(buffer_type, as_int64(game.components.offsets)));
    set_item(dict, "component_nodes", make_result_buffer(buffer_type, as_int64(game.components.nodes)));
    set_item(dict, "dof", python_int(game.dof));
    set_item(dict, "is_rigid", python_bool(game.is_rigid));
    set_item(dict, "is_minimally_rigid", python_bool(game.is_minimally_rigid));
    return dict;
}

Ref is_redundantly_rigid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 2, "is_redundantly_rigid");
    const GivenGraph graph(args[0], args[1]);
    return python_bool(without_lock_interruptible([&] { return is_redundantly_rigid_in_plane(graph.n(), graph.edges()); }));
}

Ref is_globally_rigid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 2, "is_globally_rigid");
    const GivenGraph graph(args[0], args[1]);
    return python_bool(without_lock_interruptible([&] { return is_globally_rigid_in_plane(graph.n(), graph.edges()); }));
}

Ref rank_of_rigid_framework(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 2, "rigid_rank");
    const std::uint64_t n = to_u64(args[0]);
    const std::uint64_t d = to_u64(args[1]);
    return python_int(rigid_rank(n, d));
}

}  // namespace tarvel::py
