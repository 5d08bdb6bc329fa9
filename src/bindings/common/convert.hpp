// Python objects from C++ values, and dictionaries filled key by key; every
// function returns an owning Ref or throws PythonErrorSet.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bindings/common/ref.hpp"

namespace tarvel::py {

inline Ref python_int(std::uint64_t value) { return Ref::check(PyLong_FromUnsignedLongLong(value)); }
inline Ref python_float(double value) { return Ref::check(PyFloat_FromDouble(value)); }
inline Ref python_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref new_dict() { return Ref::check(PyDict_New()); }

// Inserts `value` under `key`; keys keep their insertion order.
inline void set_item(const Ref& dict, const char* key, const Ref& value) {
    check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

}  // namespace tarvel::py
