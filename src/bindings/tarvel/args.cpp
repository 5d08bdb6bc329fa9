#include "args.hpp"

#include <string>

namespace tarvel::py {
namespace {

// Raises a TypeError formatted as by PyErr_Format and ends the call.
template <class... Values>
[[noreturn]] void type_error(const char* format, Values... values) {
    PyErr_Format(PyExc_TypeError, format, values...);
    throw PythonErrorSet{};
}

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string joined_names(std::span<const char* const> names) {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) text += names.size() == 2 ? " and " : (k + 1 == names.size() ? ", and " : ", ");
        text += quoted(names[k]);
    }
    return text;
}

void refuse_surplus_positionals(const FunctionDescription& f, Py_ssize_t given) {
    if (f.required_count == f.parameter_count) {
        type_error("%s() takes %zu positional arguments but %zd were given", f.name, f.parameter_count, given);
    }
    type_error("%s() takes from %zu to %zu positional arguments but %zd were given", f.name, f.required_count,
               f.parameter_count, given);
}

// Index of the parameter named `key`, or kMaxParameters.
std::size_t parameter_index(const FunctionDescription& f, PyObject* key) {
    if (!PyUnicode_Check(key)) return kMaxParameters;
    for (std::size_t k = 0; k < f.parameter_count; ++k) {
        if (PyUnicode_CompareWithASCIIString(key, f.parameters[k]) == 0) return k;
    }
    return kMaxParameters;
}

// Keyword values follow the positional ones in `args`, in the order of `kwnames`.
void bind_keywords(const FunctionDescription& f, PyObject* const* values, PyObject* kwnames, BoundArguments& bound) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t position = 0; position < count; ++position) {
        PyObject* key = PyTuple_GetItem(kwnames, position);
        PyObject* value = values[position];
        const std::size_t k = parameter_index(f, key);
        if (k == kMaxParameters) {
            // Formatted from the key object itself: names need not survive a
            // trip through UTF-8 (lone surrogates, NUL characters).
            type_error("%s() got an unexpected keyword argument '%S'", f.name, key);
        }
        if (bound[k] != nullptr) {
            type_error("%s() got multiple values for argument '%s'", f.name, f.parameters[k]);
        }
        bound[k] = value;
    }
}

void refuse_missing(const FunctionDescription& f, const BoundArguments& bound) {
    std::array<const char*, kMaxParameters> missing{};
    std::size_t count = 0;
    for (std::size_t k = 0; k < f.required_count; ++k) {
        if (bound[k] == nullptr) missing[count++] = f.parameters[k];
    }
    if (count == 0) return;
    const std::string names = joined_names(std::span(missing.data(), count));
    type_error("%s() missing %zu required positional argument%s: %s", f.name, count, count == 1 ? "" : "s",
               names.c_str());
}

// Re-raises a pending TypeError (exactly TypeError, not a subclass) as
// "argument '<name>': <message>" with the original's cause; any other
// exception passes unchanged.
[[noreturn]] void prefix_argument_error(const char* name) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (error && Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        Ref message = Ref::check(PyUnicode_FromFormat("argument '%s': %S", name, error.get()));
        Ref prefixed = Ref::check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
        PyException_SetCause(prefixed.get(), PyException_GetCause(error.get()));  // steals the cause
        error = std::move(prefixed);
    }
    PyErr_SetRaisedException(error.release());
    throw PythonErrorSet{};
}

}  // namespace

BoundArguments bind_arguments(const FunctionDescription& f, const CallArguments& call) {
    BoundArguments bound{};
    if (static_cast<std::size_t>(call.positional_count) > f.parameter_count) {
        refuse_surplus_positionals(f, call.positional_count);
    }
    for (Py_ssize_t k = 0; k < call.positional_count; ++k) bound[k] = call.values[k];
    if (call.keyword_names != nullptr) {
        bind_keywords(f, call.values + call.positional_count, call.keyword_names, bound);
    }
    refuse_missing(f, bound);
    return bound;
}

MatrixArgument convert_matrix(PyObject* object, const char* name) {
    try {
        return to_float64_matrix(object);
    } catch (const PythonErrorSet&) {
        prefix_argument_error(name);
    }
}

std::uint64_t convert_u64(PyObject* object, const char* name) {
    Ref integer = PyLong_Check(object) ? Ref::borrow(object) : Ref::steal(PyNumber_Index(object));
    if (!integer) prefix_argument_error(name);
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) prefix_argument_error(name);
    return value;
}

double convert_optional_float(PyObject* object, const char* name, double default_value) {
    if (object == nullptr || object == Py_None) return default_value;
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) prefix_argument_error(name);
    return value;
}

}  // namespace tarvel::py
