// Module entry of tarvel_tools._native: multi-phase initialisation with all
// state in the module object, so every (sub-)interpreter gets its own.
#include <Python.h>

#include "errors.hpp"
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
     "label_bars(positions, edges, tol, arithmetic, /)\n--\n\nLabels of the bars by the numeric rank test."},
    {"generic_labels", fastcall<generic_labels>(), METH_FASTCALL,
     "generic_labels(n, edges, d, seed, /)\n--\n\nLabels of the generic rigidity matroid, exact modulo a prime."},
    {"pebble_game", fastcall<pebble_game>(), METH_FASTCALL,
     "pebble_game(n, edges, k, l, /)\n--\n\nThe (k, l) pebble game with its components."},
    {"is_redundantly_rigid", fastcall<is_redundantly_rigid>(), METH_FASTCALL,
     "is_redundantly_rigid(n, edges, /)\n--\n\nRigid in the plane after removing any one edge."},
    {"is_globally_rigid", fastcall<is_globally_rigid>(), METH_FASTCALL,
     "is_globally_rigid(n, edges, /)\n--\n\nGeneric global rigidity in the plane."},
    {"generate_graph_batch", fastcall<generate_graph_batch>(), METH_FASTCALL,
     "generate_graph_batch(n_graphs, n_nodes, d, seed, labels, tol, model, m, p, radius, k, split_probability, "
     "removed_bars, extra_bars, points, grid_side, groups, cluster_radius, arithmetic, /)\n--\n\n"
     "Seeded model graphs, labelled, as flat buffers."},
    {nullptr, nullptr, 0, nullptr},
};

ToolsState* state_of(PyObject* module) { return static_cast<ToolsState*>(PyModule_GetState(module)); }

int execute(PyObject* module) {
    try {
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
