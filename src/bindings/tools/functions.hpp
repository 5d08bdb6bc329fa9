// The functions of tarvel_tools._native: convert the prepared arguments,
// run the core without the interpreter lock, hand the results over as
// buffers and Python scalars.
#pragma once

#include <Python.h>

#include "bindings/common/ref.hpp"

namespace tarvel::py {

// What the functions keep per module object.
struct ToolsState {
    PyObject* result_buffer_type;
};

inline PyObject* result_buffer_type(PyObject* module) {
    return static_cast<ToolsState*>(PyModule_GetState(module))->result_buffer_type;
}

Ref label_bars(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref generic_labels(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref pebble_game(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref is_rigid(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref is_minimally_rigid(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref is_redundantly_rigid(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref is_globally_rigid(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref rank_of_rigid_framework(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref generate_graph_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs);  // graph_batch.cpp
// space.cpp: the rigidity matroid from stresses and motions, in the plane and in space
Ref stress_globally_rigid(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref circuit_bars(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref fundamental_circuit(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref rigidity_closure(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref closure_components(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// matroid.cpp: the plane's circuits, closure and k-redundancy from pebble games
Ref is_plane_circuit(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref plane_closure(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref k_redundantly_rigid(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tarvel::py
