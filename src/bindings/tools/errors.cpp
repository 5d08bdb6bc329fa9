#include "errors.hpp"

#include <cxxabi.h>

#include <new>
#include <stdexcept>
#include <string>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel::py {
namespace {

void raise_bug(const char* what) {
    const std::string message =
        std::string("internal error in tarvel_tools (a bug, please report it): ") + what;
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
}

}  // namespace

void set_tools_error_from_current_exception() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: let it go
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const Interrupted&) {
        // A signal handler raised inside the work (KeyboardInterrupt for
        // Ctrl-C): its exception is pending and is the call's error.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const InvalidInput& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory: the machine could not supply the memory this call needs");
    } catch (const InternalFault& fault) {
        // Sizes are checked before allocating: too large is not a bug.
        if (std::string(fault.what()) == "capacity overflow") {
            PyErr_SetString(PyExc_MemoryError, "the result would not fit in the address space");
        } else {
            raise_bug(fault.what());
        }
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError, "the result would not fit in the address space");
    } catch (const std::exception& error) {
        raise_bug(error.what());
    } catch (...) {
        raise_bug("unknown exception");
    }
}

}  // namespace tarvel::py
