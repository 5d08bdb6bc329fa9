// The one place where C++ failures of tarvel_tools._native become Python
// exceptions: InvalidInput -> ValueError, exhausted memory (or a size past
// the address space) -> MemoryError, a breached internal condition ->
// RuntimeError saying it is a bug.
#pragma once

#include <Python.h>

#include "bindings/common/errors.hpp"
#include "bindings/common/ref.hpp"

namespace tarvel::py {

// tarvel_tools' answer to internal faults: RuntimeError saying it is a bug;
// a size past the address space is a MemoryError saying so.
extern const ErrorPolicy tools_policy;

// The functions' entry points (METH_FASTCALL, positional only).
template <Ref (*Impl)(PyObject* module, PyObject* const* args, Py_ssize_t nargs)>
PyCFunction tools_entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<tools_policy, Impl>));
}

}  // namespace tarvel::py
