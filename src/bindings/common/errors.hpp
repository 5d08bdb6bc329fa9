// The one place where C++ failures become Python exceptions, for both
// extensions. What is common: a pending Python error stays, InvalidInput
// becomes ValueError, exhausted memory MemoryError, an interrupted
// computation KeyboardInterrupt (or the error the signal handler raised), and
// a forced unwind passes untouched. What an extension decides: how a
// breached internal condition and a size past the address space are reported
// (its ErrorPolicy).
#pragma once

#include <Python.h>

#include "bindings/common/ref.hpp"

namespace tarvel::py {

struct ErrorPolicy {
    // Sets the Python error for an internal fault with this message.
    void (*internal_fault)(const char* message);
    // Sets the Python error for a size that cannot be addressed.
    void (*capacity_overflow)();
    // Sets the Python error for an allocation the machine refused.
    void (*out_of_memory)();
};

// Translates the exception being handled (call only inside a catch block)
// into the pending Python error. A forced unwind is rethrown untouched.
void set_error_from_current_exception(const ErrorPolicy& policy);

// A METH_FASTCALL entry point: runs `Impl` and turns every failure into
// NULL with a Python exception set, as `Policy` says.
template <const ErrorPolicy& Policy, Ref (*Impl)(PyObject* module, PyObject* const* args, Py_ssize_t nargs)>
PyObject* fastcall_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    try {
        return Impl(module, args, nargs).release();
    } catch (...) {
        set_error_from_current_exception(Policy);
        return nullptr;
    }
}

}  // namespace tarvel::py
