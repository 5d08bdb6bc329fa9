#include "results.hpp"

#include "errors.hpp"
#include "numpy_api.hpp"

namespace tarvel::py {

Ref to_python_int(std::uint64_t value) { return Ref::check(PyLong_FromUnsignedLongLong(value)); }

Ref to_python_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref to_python_float(double value) { return Ref::check(PyFloat_FromDouble(value)); }

namespace {

constexpr std::uint64_t kMostSharedTuples = std::uint64_t{1} << 20;

Ref new_edge_tuple(const Pair& edge) {
    Ref i = to_python_int(edge.i);
    Ref j = to_python_int(edge.j);
    return Ref::check(PyTuple_Pack(2, i.get(), j.get()));
}

}  // namespace

EdgeTuples::EdgeTuples(std::uint64_t n_nodes) : n_nodes_(n_nodes) {
    if (n_nodes < 2 || n_nodes > (std::uint64_t{1} << 21)) return;  // no pairs, or far too many to keep
    const std::uint64_t pairs = n_nodes * (n_nodes - 1) / 2;
    if (pairs <= kMostSharedTuples) cache_.resize(pairs);
}

Ref EdgeTuples::tuple_for(const Pair& edge) {
    // Position of (i, j) in the candidate order (0,1), (0,2), ..., (n-2,n-1).
    const std::uint64_t position = edge.i * (2 * n_nodes_ - edge.i - 1) / 2 + (edge.j - edge.i - 1);
    if (edge.i >= edge.j || edge.j >= n_nodes_ || position >= cache_.size()) return new_edge_tuple(edge);
    Ref& slot = cache_[position];
    if (!slot) slot = new_edge_tuple(edge);
    return Ref::borrow(slot.get());
}

Ref edge_list(std::span<const Pair> edges, EdgeTuples* shared) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(edges.size())));
    for (std::size_t k = 0; k < edges.size(); ++k) {
        Ref pair = shared ? shared->tuple_for(edges[k]) : new_edge_tuple(edges[k]);
        // Steals the tuple; cannot fail for a new list and an index inside it.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), pair.release()) < 0) python_api_call_failed();
    }
    return list;
}

void set_item(const Ref& dict, const char* key, Ref value) {
    check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

Ref make_result_dict(SimulationOutcome&& outcome, EdgeTuples* shared) {
    // Consume both buffers up front: if anything below fails, they are
    // freed with `labels`/`distances` (or by the arrays that adopted them).
    std::vector<std::uint8_t> labels = std::move(outcome.labels);
    std::vector<double> distances = std::move(outcome.distance_matrix);
    const auto n = static_cast<npy_intp>(outcome.n_nodes);

    Ref dict = Ref::check(PyDict_New());
    set_item(dict, "labels", adopt_as_uint8_array(std::move(labels)));
    set_item(dict, "accepted_edges", edge_list(outcome.accepted_edges, shared));
    set_item(dict, "distance_matrix", adopt_as_float64_array(std::move(distances), {n, n}));
    set_item(dict, "final_rank", to_python_int(outcome.final_rank));
    set_item(dict, "max_rank", to_python_int(outcome.max_rank));
    set_item(dict, "is_rigid", to_python_bool(outcome.final_rank == outcome.max_rank));
    set_item(dict, "n_nodes", to_python_int(outcome.n_nodes));
    set_item(dict, "d", to_python_int(outcome.d));
    return dict;
}

}  // namespace tarvel::py
