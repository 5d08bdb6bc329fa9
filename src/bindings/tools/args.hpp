// Arguments of tarvel_tools._native, which only tarvel_tools.rigidity calls:
// it has checked and converted them (C-contiguous int64 / float64 arrays,
// Python ints and floats), so a mismatch here is a TypeError of a caller
// that went around it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "bindings/common/ref.hpp"
#include "graph/edge.hpp"

namespace tarvel::py {

// A C-contiguous buffer held for the duration of a call and released (with
// the interpreter lock held) on every path.
class BufferView {
public:
    BufferView(PyObject* exporter, const char* name);
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }

    // The rows x columns values of a two-dimensional buffer of int64 or
    // float64; TypeError for another shape or type.
    std::span<const std::int64_t> int64_rows(std::uint64_t columns) const;
    std::span<const double> float64_rows() const;
    std::uint64_t rows() const { return static_cast<std::uint64_t>(view_.shape[0]); }
    std::uint64_t columns() const { return static_cast<std::uint64_t>(view_.shape[1]); }

private:
    void require_matrix_of(char type_code, const char* type_name) const;

    Py_buffer view_{};
    const char* name_;
};

// The fields of a request given as a dict with str keys, read by name.
// Every field must be read once and the dict must hold nothing else
// (`finish()` checks), so a caller and this side cannot drift apart.
class Request {
public:
    Request(PyObject* dict, const char* name);
    std::uint64_t u64(const char* key);
    double real(const char* key);
    // TypeError naming the keys that were given but never read.
    void finish() const;

private:
    PyObject* field(const char* key);
    PyObject* dict_;
    const char* name_;
    Py_ssize_t read_ = 0;
};

// The caller's edge rows, copied and checked (InvalidInput naming the edge,
// prefixed "edges: "); needs no lock.
std::vector<Pair> copy_edges(std::span<const std::int64_t> rows, std::uint64_t n);

// A graph given as (n, edge rows): the node count and the caller's int64
// rows, viewed for the length of the call. `edges()` copies and checks them
// (InvalidInput naming the edge) and needs no lock.
class GivenGraph {
public:
    GivenGraph(PyObject* n, PyObject* edges);
    std::uint64_t n() const { return n_; }
    std::vector<Pair> edges() const { return copy_edges(rows_, n_); }

private:
    std::uint64_t n_;
    BufferView view_;
    std::span<const std::int64_t> rows_;
};

// Node and bar numbers as the int64 values NumPy hands to Python (< 2^63).
std::vector<std::int64_t> as_int64(const std::vector<std::uint64_t>& values);

void expect_argument_count(Py_ssize_t nargs, Py_ssize_t count, const char* function);
std::uint64_t to_u64(PyObject* object);
double to_double(PyObject* object);

}  // namespace tarvel::py
