// Binding a call's arguments to parameters, and converting them.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "numpy_api.hpp"
#include "bindings/common/ref.hpp"

namespace tarvel::py {

constexpr std::size_t kMaxParameters = 4;

struct FunctionDescription {
    const char* name;
    std::array<const char*, kMaxParameters> parameters;
    std::size_t parameter_count;
    std::size_t required_count;
};

// Borrowed references to the bound arguments, in parameter order; NULL for
// an optional parameter that was not given.
using BoundArguments = std::array<PyObject*, kMaxParameters>;

// A call in the vectorcall convention: the positional values, then the
// keyword values in the order of `keyword_names` (a tuple, or NULL).
struct CallArguments {
    PyObject* const* values;
    Py_ssize_t positional_count;
    PyObject* keyword_names;
};

// Binds positional then keyword arguments, raising the interpreter's usual
// TypeErrors for surplus, unknown, repeated or missing arguments.
BoundArguments bind_arguments(const FunctionDescription& function, const CallArguments& call);

// The three argument kinds. Each throws PythonErrorSet on failure, a
// TypeError prefixed with "argument '<name>': ".
MatrixArgument convert_matrix(PyObject* object, const char* name);
std::uint64_t convert_u64(PyObject* object, const char* name);
double convert_optional_float(PyObject* object, const char* name, double default_value);

}  // namespace tarvel::py
