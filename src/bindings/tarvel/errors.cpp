#include "errors.hpp"


namespace tarvel::py {
namespace {

PyObject* panic_type = nullptr;  // created once, with the interpreter lock held

constexpr const char* kPanicDoc =
    "\nThe exception raised when an internal check of the numeric code fails.\n\n"
    "Like SystemExit, it derives from BaseException, not from Exception, so that\n"
    "a handler for Exception does not swallow it and it normally propagates to\n"
    "the top level.\n";

// The type of internal faults: "pyo3_runtime.PanicException", derived from
// BaseException, created on first use. Returns a borrowed reference, or NULL
// with an error set.
PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation failed and set an error
    PyErr_SetString(type, message);
}

}  // namespace

void raise_fault_from_pending_error(const char* message) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonErrorSet{};  // a failed allocation, not a fault
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    raise_panic(message);
    Ref fault = Ref::steal(PyErr_GetRaisedException());
    if (fault && cause) PyException_SetCause(fault.get(), cause.release());  // steals the cause
    PyErr_SetRaisedException(fault.release());
    throw PythonErrorSet{};
}

void python_api_call_failed() { raise_fault_from_pending_error("Python API call failed"); }

const ErrorPolicy panic_policy = {
    .internal_fault = raise_panic,
    .capacity_overflow = [] { raise_panic("capacity overflow"); },
    .out_of_memory = [] { PyErr_NoMemory(); },
};

}  // namespace tarvel::py
