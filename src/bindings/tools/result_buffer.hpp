// Results handed to NumPy without a copy: a small Python type that owns a
// std::vector and exports it through the buffer protocol (stable ABI).
// np.asarray(buffer) wraps the memory and keeps the object alive as the
// array's base; the vector is freed with the last reference.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "bindings/common/ref.hpp"

namespace tarvel::py {

// Creates the type `tarvel_tools._native.ResultBuffer` for `module`.
Ref create_result_buffer_type(PyObject* module);

// A one-dimensional buffer over `values`, which it takes over, of NumPy's
// uint8, int64 or float64.
Ref make_result_buffer(PyObject* buffer_type, std::vector<std::uint8_t>&& values);
Ref make_result_buffer(PyObject* buffer_type, std::vector<std::int64_t>&& values);
Ref make_result_buffer(PyObject* buffer_type, std::vector<double>&& values);

}  // namespace tarvel::py
