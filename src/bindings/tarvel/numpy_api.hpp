// NumPy's C array API, loaded at run time from its capsule.
//
// No NumPy header is needed to build: the array object's leading fields and
// the few table slots used here are the same in NumPy 1.26 and 2.x, so one
// binary serves both.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "numeric/matrix_view.hpp"
#include "bindings/common/ref.hpp"

namespace tarvel::py {

using npy_intp = Py_ssize_t;

// Leading fields of every ndarray (PyArrayObject_fields).
struct ArrayObject {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
    PyObject* weakreflist;
};

// A float64 matrix argument: the caller's array, kept referenced for the
// whole call and only ever read.
struct MatrixArgument {
    Ref array;
    MatrixView view;
};

// Converts `object` to a read-only view of a 2-D float64 array, or throws a
// TypeError "'<type>' object cannot be converted to 'PyArray<T, D>'".
MatrixArgument to_float64_matrix(PyObject* object);

// New writeable C-ordered arrays that take over `buffer` without a copy; the
// array's base is a small holder object that frees it. A float64 array has one
// or two dimensions; a shape that is not that, or whose size is not the
// buffer's, is an internal fault.
Ref adopt_as_float64_array(std::vector<double>&& buffer, std::initializer_list<npy_intp> shape);
Ref adopt_as_uint8_array(std::vector<std::uint8_t>&& buffer);

}  // namespace tarvel::py
