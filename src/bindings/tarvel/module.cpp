// Module entry: creates `tarvel` once per process, registers the six
// functions in a fixed order with their text signatures and docstrings.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "args.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "bindings/common/ref.hpp"

namespace tarvel::py {
namespace {

// Each docstring is "<signature>\n--\n\n<body>": the interpreter reports the
// signature as __text_signature__ and the body as __doc__.
constexpr const char* kSimulateDoc =
    "simulate(coords, d, tol=None)\n--\n\n"
    "Run the rigidity simulation using the fast-path algorithm.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "coords : np.ndarray  shape (n, d)  \xe2\x80\x94 node coordinates\n"
    "d      : int         \xe2\x80\x94 embedding dimension (2 or 3)\n"
    "tol    : float, optional \xe2\x80\x94 tolerance for rank check (default 1e-9)\n"
    "\n"
    "Returns\n"
    "-------\n"
    "dict with keys:\n"
    "  \"labels\"           np.ndarray[u8]   1=independent, 0=redundant (GNN training signal)\n"
    "  \"accepted_edges\"   list[(i,j)]      the independent edges\n"
    "  \"distance_matrix\"  np.ndarray[f64]  shape (n,n), Euclidean distances\n"
    "  \"final_rank\"       int\n"
    "  \"max_rank\"         int              nd \xe2\x88\x92 d(d+1)/2\n"
    "  \"is_rigid\"         bool\n"
    "  \"n_nodes\"          int\n"
    "  \"d\"                int";

constexpr const char* kGramFromDistDoc =
    "gram_from_dist(dist)\n--\n\n"
    "Compute the Gram matrix from an Euclidean distance matrix using double-centering.\n"
    "\n"
    "Formula:  G = \xe2\x88\x92\xc2\xbd \xc2\xb7 H \xc2\xb7 D_sq \xc2\xb7 H   where H = I \xe2\x88\x92 (1/n)\xc2\xb7" "11\xe1\xb5\x80\n"
    "\n"
    "If G is positive semi-definite with rank \xe2\x89\xa4 d, the embedding is isometric (lossless).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "dist : np.ndarray  shape (n,n)  \xe2\x80\x94 Euclidean distance matrix (NOT squared)\n"
    "\n"
    "Returns\n"
    "-------\n"
    "np.ndarray  shape (n,n)  \xe2\x80\x94 Gram matrix G";

constexpr const char* kGenerateTrainingBatchDoc =
    "generate_training_batch(n_graphs, n_nodes, d, seed)\n--\n\n"
    "Generate a batch of random simulation results for GNN training.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "n_graphs : int \xe2\x80\x94 number of graphs\n"
    "n_nodes  : int \xe2\x80\x94 nodes per graph\n"
    "d        : int \xe2\x80\x94 embedding dimension (2 or 3)\n"
    "seed     : int \xe2\x80\x94 RNG seed (each graph gets seed+k)\n"
    "\n"
    "Returns\n"
    "-------\n"
    "list[dict]  \xe2\x80\x94 same format as `simulate`, one dict per graph";

constexpr const char* kMaxIndependentDoc =
    "max_independent(n, d)\n--\n\n"
    "Max independent edges for n nodes in d dimensions: nd \xe2\x88\x92 d(d+1)/2";

constexpr const char* kReconstructDoc =
    "reconstruct(distance_matrix, d, tol=None)\n--\n\n"
    "Reconstruct node coordinates from a Euclidean distance matrix (Classical MDS).\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "distance_matrix : np.ndarray shape (n, n) \xe2\x80\x94 from simulate()[\"distance_matrix\"]\n"
    "d               : int \xe2\x80\x94 target dimension (2 or 3)\n"
    "tol             : float, optional \xe2\x80\x94 stress threshold for is_isometric (default 1e-6)\n"
    "\n"
    "Returns dict with keys:\n"
    "  \"coords\"       np.ndarray[f64] shape (n, d) \xe2\x80\x94 recovered coordinates\n"
    "  \"stress\"       float \xe2\x80\x94 Kruskal's normalized stress-1 (0.0 = lossless)\n"
    "  \"eigenvalues\"  np.ndarray[f64] shape (d,) \xe2\x80\x94 top-d Gram matrix eigenvalues\n"
    "  \"is_isometric\" bool \xe2\x80\x94 True when stress < tol";

constexpr const char* kPebbleGameDoc =
    "pebble_game(coords, d)\n--\n\n"
    "Run the Pebble Game algorithm \xe2\x80\x94 O(n^2), deterministic, no matrix rank needed.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "coords : np.ndarray shape (n, d) \xe2\x80\x94 node coordinates (only d=2 supported)\n"
    "d      : int \xe2\x80\x94 must be 2\n"
    "\n"
    "Returns dict with keys:\n"
    "  \"labels\"          np.ndarray[u8]  1=independent, 0=redundant\n"
    "  \"accepted_edges\"  list[(i,j)]\n"
    "  \"n_nodes\"         int\n"
    "  \"d\"               int";

// Entry points of the module's functions (the fast calling convention):
// runs `Impl`, and turns every failure into NULL with a Python exception set.
template <Ref (*Impl)(const CallArguments&)>
PyObject* entry_point(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return Impl(CallArguments{args, PyVectorcall_NARGS(nargs), kwnames}).release();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

template <Ref (*Impl)(const CallArguments&)>
PyCFunction entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_point<Impl>));
}

// Registration order is part of the interface (it is the order of __all__).
PyMethodDef function_table[] = {
    {"simulate", entry<simulate>(), METH_FASTCALL | METH_KEYWORDS, kSimulateDoc},
    {"gram_from_dist", entry<gram_from_dist>(), METH_FASTCALL | METH_KEYWORDS, kGramFromDistDoc},
    {"generate_training_batch", entry<generate_training_batch>(), METH_FASTCALL | METH_KEYWORDS,
     kGenerateTrainingBatchDoc},
    {"max_independent", entry<max_independent>(), METH_FASTCALL | METH_KEYWORDS, kMaxIndependentDoc},
    {"reconstruct", entry<reconstruct>(), METH_FASTCALL | METH_KEYWORDS, kReconstructDoc},
    {"pebble_game", entry<pebble_game>(), METH_FASTCALL | METH_KEYWORDS, kPebbleGameDoc},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tarvel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> first_interpreter{-1};
PyObject* cached_module = nullptr;  // written once, with the interpreter lock held

constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";

void append_to_all(PyObject* module, PyObject* name) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        // Missing before the first function is added; anything else is an error.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (PyList_Append(all.get(), name) < 0) raise_fault_from_pending_error("could not append __name__ to __all__");
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
    Ref function = Ref::check(PyCFunction_NewEx(definition, module, module_name));
    Ref name = Ref::check(PyObject_GetAttrString(function.get(), "__name__"));
    append_to_all(module, name.get());
    check_status(PyObject_SetAttr(module, name.get(), function.get()));
}

Ref create_module() {
    Ref module = Ref::check(PyModule_Create2(&module_definition, 3));
    Ref module_name = Ref::check(PyModule_GetNameObject(module.get()));
    for (PyMethodDef& definition : function_table) add_function(module.get(), module_name.get(), &definition);
    return module;
}

void refuse_other_interpreters() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw PythonErrorSet{};
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
        throw PythonErrorSet{};
    }
}

PyObject* initialise() {
    try {
        refuse_other_interpreters();
        if (cached_module == nullptr) {
            Ref module = create_module();
            if (cached_module == nullptr) cached_module = module.release();
        }
        return Ref::borrow(cached_module).release();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace
}  // namespace tarvel::py

extern "C" PyMODINIT_FUNC PyInit_tarvel(void) { return tarvel::py::initialise(); }
