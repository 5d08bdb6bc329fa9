#include "errors.hpp"

#include <string>

namespace tarvel::py {

namespace {

void raise_bug(const char* what) {
    const std::string message =
        std::string("internal error in tarvel_tools (a bug, please report it): ") + what;
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
}

// Sizes are checked before allocating: too large is not a bug.
void raise_too_large() { PyErr_SetString(PyExc_MemoryError, "the result would not fit in the address space"); }

void raise_out_of_memory() {
    PyErr_SetString(PyExc_MemoryError, "out of memory: the machine could not supply the memory this call needs");
}

}  // namespace

const ErrorPolicy tools_policy = {
    .internal_fault = raise_bug,
    .capacity_overflow = raise_too_large,
    .out_of_memory = raise_out_of_memory,
};

}  // namespace tarvel::py
