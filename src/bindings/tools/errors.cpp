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

}  // namespace

const ErrorPolicy tools_policy = {.internal_fault = raise_bug, .capacity_overflow = raise_too_large};

}  // namespace tarvel::py
