// The entries of tarvel_tools._native behind tarvel_tools.realization.
#pragma once

#include <Python.h>

#include "bindings/common/ref.hpp"

namespace tarvel::py {

// centred_gram_product(dist, block): -1/2 H (D∘D) H times an (n, width) block, flat.
Ref centred_gram_product(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// kruskal_stress(dist, coords): Kruskal's stress-1 of points against distances.
Ref kruskal_stress(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tarvel::py
