#include "errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "numeric/fault.hpp"

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

void set_python_error_from_current_exception() {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
    } catch (const InvalidInput& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const InternalFault& fault) {
        raise_panic(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        raise_panic("capacity overflow");
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        // Only a foreign exception has no exception_ptr: the forced unwind
        // that ends the thread when it re-takes the lock during interpreter
        // exit. Let it go (caught by type, it would bind a reference to an
        // object it does not have).
        if (!std::current_exception()) throw;
        raise_panic("unknown internal error");
    }
}

}  // namespace tarvel::py
