// The one place where C++ failures become Python exceptions.
#pragma once

#include <Python.h>

#include <string>

#include "args.hpp"
#include "bindings/common/ref.hpp"

namespace tarvel::py {

// The type of internal faults: "pyo3_runtime.PanicException", derived from
// BaseException, created on first use. Returns a borrowed reference, or NULL
// with an error set.
PyObject* panic_exception_type();

// Translates the exception being handled (call only inside a catch block)
// into the pending Python error. A forced unwind is rethrown untouched.
void set_python_error_from_current_exception();

// An object the interpreter should have been able to create could not be:
// prints the pending error and throws the internal fault
// "Python API call failed".
[[noreturn]] void python_api_call_failed();

// Ref::check for objects whose creation "cannot" fail.
inline Ref created(PyObject* object) {
    if (object == nullptr) python_api_call_failed();
    return Ref::steal(object);
}

// Entry points of the module's functions (the fast calling convention):
// runs `Impl`, and turns every failure into NULL with a Python exception set.
template <Ref (*Impl)(const CallArguments&)>
PyObject* entry_point(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return Impl(CallArguments{args, PyVectorcall_NARGS(nargs), kwnames}).release();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tarvel::py
