// The one place where C++ failures of tarvel_tools._native become Python
// exceptions: InvalidInput -> ValueError, exhausted memory (or a size past
// the address space) -> MemoryError, a breached internal condition ->
// RuntimeError saying it is a bug.
#pragma once

#include <Python.h>

#include "bindings/common/ref.hpp"

namespace tarvel::py {

// Translates the exception being handled (call only inside a catch block)
// into the pending Python error. A forced unwind is rethrown untouched.
void set_tools_error_from_current_exception();

// The functions' entry points (METH_FASTCALL, positional only): runs `Impl`
// and turns every failure into NULL with a Python exception set.
template <Ref (*Impl)(PyObject* module, PyObject* const* args, Py_ssize_t nargs)>
PyObject* tools_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    try {
        return Impl(module, args, nargs).release();
    } catch (...) {
        set_tools_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tarvel::py
