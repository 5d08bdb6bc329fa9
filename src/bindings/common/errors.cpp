#include "bindings/common/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "numeric/fault.hpp"
#include "numeric/interrupt.hpp"

namespace tarvel::py {

void set_error_from_current_exception(const ErrorPolicy& policy) {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const Interrupted&) {
        // The hook that stopped the work left the signal handler's error
        // pending; without one, the request to stop was a plain Ctrl-C.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const InvalidInput& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const CapacityOverflow&) {
        policy.capacity_overflow();
    } catch (const InternalFault& fault) {
        policy.internal_fault(fault.what());
    } catch (const MemoryRefused& refusal) {
        PyErr_SetString(PyExc_MemoryError, refusal.what());
    } catch (const std::bad_alloc&) {
        policy.out_of_memory();
    } catch (const std::length_error&) {
        policy.capacity_overflow();
    } catch (const std::exception& error) {
        policy.internal_fault(error.what());
    } catch (...) {
        // Only a foreign exception has no exception_ptr: the forced unwind
        // that ends the thread when it re-takes the lock during interpreter
        // exit. Let it go (caught by type, it would bind a reference to an
        // object it does not have).
        if (!std::current_exception()) throw;
        policy.internal_fault("unknown internal error");
    }
}

}  // namespace tarvel::py
