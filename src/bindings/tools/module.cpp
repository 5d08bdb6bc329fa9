// Module entry of tarvel_tools._native: multi-phase initialisation with all
// state in the module object, so every (sub-)interpreter gets its own.
#include <Python.h>

#include "bindings/common/convert.hpp"
#include "errors.hpp"
#include "framework/batch_rng.hpp"
#include "functions.hpp"
#include "realization.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {
namespace {

PyMethodDef functions[] = {
    {"label_bars", tools_entry<label_bars>(), METH_FASTCALL,
     "label_bars(positions, edges, tol, arithmetic, /)\n--\n\nLabels of the bars by the numeric rank test."},
    {"generic_labels", tools_entry<generic_labels>(), METH_FASTCALL,
     "generic_labels(n, edges, d, seed, /)\n--\n\nLabels of the generic rigidity matroid, exact modulo a prime."},
    {"pebble_game", tools_entry<pebble_game>(), METH_FASTCALL,
     "pebble_game(n, edges, k, l, /)\n--\n\nThe (k, l) pebble game with its components."},
    {"is_redundantly_rigid", tools_entry<is_redundantly_rigid>(), METH_FASTCALL,
     "is_redundantly_rigid(n, edges, /)\n--\n\nRigid in the plane after removing any one edge."},
    {"is_globally_rigid", tools_entry<is_globally_rigid>(), METH_FASTCALL,
     "is_globally_rigid(n, edges, /)\n--\n\nGeneric global rigidity in the plane."},
    {"rigid_rank", tools_entry<rank_of_rigid_framework>(), METH_FASTCALL,
     "rigid_rank(n, d, /)\n--\n\nThe rank of a rigid framework on n nodes in d dimensions."},
    {"generate_graph_batch", tools_entry<generate_graph_batch>(), METH_FASTCALL,
     "generate_graph_batch(n_graphs, n_nodes, d, seed, request, /)\n--\n\n"
     "Seeded model graphs, labelled, as flat buffers; `request` is a dict of the labelling (labels, tol, "
     "arithmetic), the "
     "graph model and its parameters (model, m, p, radius, k, split_probability, removed_bars, extra_bars) and "
     "the point model and its parameters (points, grid_side, groups, cluster_radius)."},
    {"stress_globally_rigid", tools_entry<stress_globally_rigid>(), METH_FASTCALL,
     "stress_globally_rigid(n, edges, d, seed, /)\n--\n\nGeneric global rigidity by the rank of a random stress matrix."},
    {"circuit_bars", tools_entry<circuit_bars>(), METH_FASTCALL,
     "circuit_bars(n, edges, d, seed, /)\n--\n\nThe rank and the bars in circuits, from a random stress."},
    {"fundamental_circuit", tools_entry<fundamental_circuit>(), METH_FASTCALL,
     "fundamental_circuit(n, edges, bar, d, seed, /)\n--\n\nThe circuit a bar closes with the basis of the bars before it."},
    {"rigidity_closure", tools_entry<rigidity_closure>(), METH_FASTCALL,
     "rigidity_closure(n, edges, d, seed, /)\n--\n\nThe implied node pairs, flat (i, j) with i < j."},
    {"closure_components", tools_entry<closure_components>(), METH_FASTCALL,
     "closure_components(n, edges, d, seed, /)\n--\n\nRigid components from the closure, in the plane or in space."},
    {"is_rigid", tools_entry<is_rigid>(), METH_FASTCALL,
     "is_rigid(n, edges, d, seed, /)\n--\n\nGeneric rigidity in the plane or in space."},
    {"is_minimally_rigid", tools_entry<is_minimally_rigid>(), METH_FASTCALL,
     "is_minimally_rigid(n, edges, d, seed, /)\n--\n\nGeneric minimal rigidity in the plane or in space."},
    {"centred_gram_product", tools_entry<centred_gram_product>(), METH_FASTCALL,
     "centred_gram_product(dist, block, /)\n--\n\n-1/2 H (D*D) H times an (n, k) block, flat, without forming it."},
    {"kruskal_stress", tools_entry<kruskal_stress>(), METH_FASTCALL,
     "kruskal_stress(dist, coords, /)\n--\n\nKruskal's stress-1 of points against their distance matrix."},
    {"is_plane_circuit", tools_entry<is_plane_circuit>(), METH_FASTCALL,
     "is_plane_circuit(n, edges, /)\n--\n\nWhether the bars are a circuit of the plane's generic rigidity matroid."},
    {"plane_closure", tools_entry<plane_closure>(), METH_FASTCALL,
     "plane_closure(n, edges, byte_limit, /)\n--\n\nThe node pairs inside the plane's rigid components, flat (i, j) with i < j."},
    {"k_redundantly_rigid", tools_entry<k_redundantly_rigid>(), METH_FASTCALL,
     "k_redundantly_rigid(n, edges, k, /)\n--\n\nRigid in the plane after removing any k edges."},
    {nullptr, nullptr, 0, nullptr},
};

ToolsState* state_of(PyObject* module) { return static_cast<ToolsState*>(PyModule_GetState(module)); }

// The training batch's generator, for tarvel_tools.positions, which
// recomputes its points in NumPy: one definition of its constants.
Ref batch_generator_constants() {
    Ref constants = new_dict();
    set_item(constants, "multiplier", python_int(GraphRng::multiplier));
    set_item(constants, "increment", python_int(GraphRng::increment));
    set_item(constants, "shift", python_int(GraphRng::shift));
    set_item(constants, "divisor", python_float(GraphRng::divisor));
    set_item(constants, "coordinate_scale", python_float(GraphRng::coordinate_scale));
    return constants;
}

int execute(PyObject* module) {
    try {
        check_status(PyModule_AddObjectRef(module, "BATCH_GENERATOR", batch_generator_constants().get()));
        Ref type = create_result_buffer_type(module);
        check_status(PyModule_AddObjectRef(module, "ResultBuffer", type.get()));
        state_of(module)->result_buffer_type = type.release();
        return 0;
    } catch (...) {
        set_error_from_current_exception(tools_policy);
        return -1;
    }
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    ToolsState* state = state_of(module);
    if (state != nullptr) Py_VISIT(state->result_buffer_type);
    return 0;
}

int clear(PyObject* module) {
    ToolsState* state = state_of(module);
    if (state != nullptr) Py_CLEAR(state->result_buffer_type);
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tarvel_tools._native",
    "Native core of tarvel_tools.rigidity; call it through that module.",
    sizeof(ToolsState),
    functions,
    module_slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace tarvel::py

extern "C" PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&tarvel::py::module_definition); }
