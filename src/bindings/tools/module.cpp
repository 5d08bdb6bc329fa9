// Module entry of tarvel_tools._native: multi-phase initialisation with all
// state in the module object, so every (sub-)interpreter gets its own.
#include <Python.h>

#include "errors.hpp"
#include "framework/batch_rng.hpp"
#include "functions.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {
namespace {

template <Ref (*Impl)(PyObject*, PyObject* const*, Py_ssize_t)>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tools_entry<Impl>));
}

PyMethodDef functions[] = {
    {"label_bars", fastcall<label_bars>(), METH_FASTCALL,
     "label_bars(positions, edges, tol, /)\n--\n\nLabels of the bars by the numeric rank test."},
    {"generic_labels", fastcall<generic_labels>(), METH_FASTCALL,
     "generic_labels(n, edges, d, seed, /)\n--\n\nLabels of the generic rigidity matroid, exact modulo a prime."},
    {"pebble_game", fastcall<pebble_game>(), METH_FASTCALL,
     "pebble_game(n, edges, k, l, /)\n--\n\nThe (k, l) pebble game with its components."},
    {"is_redundantly_rigid", fastcall<is_redundantly_rigid>(), METH_FASTCALL,
     "is_redundantly_rigid(n, edges, /)\n--\n\nRigid in the plane after removing any one edge."},
    {"is_globally_rigid", fastcall<is_globally_rigid>(), METH_FASTCALL,
     "is_globally_rigid(n, edges, /)\n--\n\nGeneric global rigidity in the plane."},
    {"rigid_rank", fastcall<rigid_rank>(), METH_FASTCALL,
     "rigid_rank(n, d, /)\n--\n\nThe rank of a rigid framework on n nodes in d dimensions."},
    {"generate_graph_batch", fastcall<generate_graph_batch>(), METH_FASTCALL,
     "generate_graph_batch(n_graphs, n_nodes, d, seed, request, /)\n--\n\n"
     "Seeded model graphs, labelled, as flat buffers; `request` is a dict of the labelling (labels, tol), the "
     "graph model and its parameters (model, m, p, radius, k, split_probability, removed_bars, extra_bars) and "
     "the point model and its parameters (points, grid_side, groups, cluster_radius)."},
    {nullptr, nullptr, 0, nullptr},
};

ToolsState* state_of(PyObject* module) { return static_cast<ToolsState*>(PyModule_GetState(module)); }

// The training batch's generator, for tarvel_tools.positions, which
// recomputes its points in NumPy: one definition of its constants.
Ref batch_generator_constants() {
    Ref constants = Ref::check(PyDict_New());
    const auto add = [&](const char* key, Ref value) { check_status(PyDict_SetItemString(constants.get(), key, value.get())); };
    add("multiplier", Ref::check(PyLong_FromUnsignedLongLong(GraphRng::multiplier)));
    add("increment", Ref::check(PyLong_FromUnsignedLongLong(GraphRng::increment)));
    add("shift", Ref::check(PyLong_FromUnsignedLong(GraphRng::shift)));
    add("divisor", Ref::check(PyFloat_FromDouble(GraphRng::divisor)));
    add("coordinate_scale", Ref::check(PyFloat_FromDouble(GraphRng::coordinate_scale)));
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
        set_tools_error_from_current_exception();
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
