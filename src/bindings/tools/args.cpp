#include "args.hpp"

#include <cstring>
#include <string>

#include "graph/graph.hpp"
#include "numeric/fault.hpp"

namespace tarvel::py {
namespace {

[[noreturn]] void type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// Native byte order and standard 8-byte items: "<c>", "@<c>" or "=<c>".
bool is_native_format(const char* format, char type_code) {
    if (format == nullptr) return false;
    if (format[0] == '@' || format[0] == '=') ++format;
    return format[0] == type_code && format[1] == '\0';
}

}  // namespace

BufferView::BufferView(PyObject* exporter, const char* name) : name_(name) {
    if (PyObject_GetBuffer(exporter, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) throw PythonErrorSet{};
}

void BufferView::require_matrix_of(char type_code, const char* type_name) const {
    const bool native = is_native_format(view_.format, type_code) ||
                        (type_code == 'q' && view_.itemsize == 8 && is_native_format(view_.format, 'l'));
    if (view_.ndim != 2 || view_.itemsize != 8 || !native) {
        type_error(std::string(name_) + " must be a two-dimensional C-contiguous " + type_name + " buffer");
    }
}

std::span<const std::int64_t> BufferView::int64_rows(std::uint64_t columns) const {
    require_matrix_of('q', "int64");
    if (this->columns() != columns) {
        type_error(std::string(name_) + " must have " + std::to_string(columns) + " columns");
    }
    return {static_cast<const std::int64_t*>(view_.buf), static_cast<std::size_t>(rows() * columns)};
}

std::span<const double> BufferView::float64_rows() const {
    require_matrix_of('d', "float64");
    return {static_cast<const double*>(view_.buf), static_cast<std::size_t>(rows() * columns())};
}

Request::Request(PyObject* dict, const char* name) : dict_(dict), name_(name) {
    if (!PyDict_Check(dict)) type_error(std::string(name_) + " must be a dict");
}

PyObject* Request::field(const char* key) {
    PyObject* value = PyDict_GetItemString(dict_, key);  // borrowed; the dict outlives the call
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PythonErrorSet{};
        type_error(std::string(name_) + " has no field '" + key + "'");
    }
    ++read_;
    return value;
}

std::uint64_t Request::u64(const char* key) { return to_u64(field(key)); }

double Request::real(const char* key) { return to_double(field(key)); }

void Request::finish() const {
    if (PyDict_Size(dict_) != read_) {
        type_error(std::string(name_) + " has " + std::to_string(PyDict_Size(dict_) - read_) + " fields that are not read");
    }
}

GivenGraph::GivenGraph(PyObject* n, PyObject* edges) : n_(to_u64(n)), view_(edges, "edges"), rows_(view_.int64_rows(2)) {}

std::vector<Pair> copy_edges(std::span<const std::int64_t> rows, std::uint64_t n) {
    try {
        return edges_from_rows(rows, n);
    } catch (const InvalidInput& error) {
        throw InvalidInput(std::string("edges: ") + error.what());
    }
}

std::vector<std::int64_t> as_int64(const std::vector<std::uint64_t>& values) {
    return std::vector<std::int64_t>(values.begin(), values.end());
}

void expect_argument_count(Py_ssize_t nargs, Py_ssize_t count, const char* function) {
    if (nargs != count) {
        type_error(std::string(function) + "() takes " + std::to_string(count) + " positional arguments but " +
                   std::to_string(nargs) + " were given");
    }
}

std::uint64_t to_u64(PyObject* object) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
    return value;
}

double to_double(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
    return value;
}

}  // namespace tarvel::py
