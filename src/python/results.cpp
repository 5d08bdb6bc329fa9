#include "results.hpp"

#include "errors.hpp"
#include "numpy_api.hpp"

namespace tarvel::py {

Ref to_python_int(std::uint64_t value) { return created(PyLong_FromUnsignedLongLong(value)); }

Ref to_python_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref to_python_float(double value) { return created(PyFloat_FromDouble(value)); }

Ref edge_list(std::span<const Pair> edges) {
    Ref list = created(PyList_New(static_cast<Py_ssize_t>(edges.size())));
    for (std::size_t k = 0; k < edges.size(); ++k) {
        Ref i = to_python_int(edges[k].i);
        Ref j = to_python_int(edges[k].j);
        Ref pair = created(PyTuple_Pack(2, i.get(), j.get()));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), pair.release());  // steals; cannot fail here
    }
    return list;
}

void set_item(const Ref& dict, const char* key, Ref value) {
    check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

Ref make_result_dict(SimulationOutcome&& outcome) {
    // Consume both buffers up front: if anything below fails, they are
    // freed with `labels`/`distances` (or by the arrays that adopted them).
    std::vector<std::uint8_t> labels = std::move(outcome.labels);
    std::vector<double> distances = std::move(outcome.distance_matrix);
    const auto n = static_cast<npy_intp>(outcome.n_nodes);

    Ref dict = created(PyDict_New());
    set_item(dict, "labels", adopt_as_uint8_array(std::move(labels)));
    set_item(dict, "accepted_edges", edge_list(outcome.accepted_edges));
    set_item(dict, "distance_matrix", adopt_as_float64_array(std::move(distances), {n, n}));
    set_item(dict, "final_rank", to_python_int(outcome.final_rank));
    set_item(dict, "max_rank", to_python_int(outcome.max_rank));
    set_item(dict, "is_rigid", to_python_bool(outcome.final_rank == outcome.max_rank));
    set_item(dict, "n_nodes", to_python_int(outcome.n_nodes));
    set_item(dict, "d", to_python_int(outcome.d));
    return dict;
}

}  // namespace tarvel::py
