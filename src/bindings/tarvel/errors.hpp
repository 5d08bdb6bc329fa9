// The one place where C++ failures become Python exceptions.
#pragma once

#include <Python.h>

#include "bindings/common/errors.hpp"
#include "bindings/common/ref.hpp"

namespace tarvel::py {

// tarvel's answer to internal faults: PanicException (a BaseException), with
// the message "capacity overflow" for a size past the address space.
extern const ErrorPolicy panic_policy;

// Translates the exception being handled (call only inside a catch block)
// into the pending Python error, by panic_policy. A forced unwind is
// rethrown untouched.
inline void set_python_error_from_current_exception() { set_error_from_current_exception(panic_policy); }

// Raises the internal fault `message` in place of the pending Python error,
// which becomes the fault's __cause__ (no cause if none is pending), and
// throws PythonErrorSet. A pending MemoryError stays what it is: a failed
// allocation is not a fault.
[[noreturn]] void raise_fault_from_pending_error(const char* message);

// A call that cannot fail did: the internal fault "Python API call failed",
// caused by the pending error.
[[noreturn]] void python_api_call_failed();

}  // namespace tarvel::py
