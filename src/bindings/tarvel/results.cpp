#include "results.hpp"

#include "numeric/fault.hpp"
#include "errors.hpp"
#include "numpy_api.hpp"

namespace tarvel::py {

namespace {

constexpr std::uint64_t kMostSharedTuples = std::uint64_t{1} << 20;

Ref new_edge_tuple(const Pair& edge) {
    Ref i = python_int(edge.i);
    Ref j = python_int(edge.j);
    return Ref::check(PyTuple_Pack(2, i.get(), j.get()));
}

// Places `item` at `index` of a new list made by PyList_New.
void fill_list_item(const Ref& list, std::size_t index, Ref item) {
    // Steals the item; cannot fail for a new list and an index inside it.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), item.release()) < 0) python_api_call_failed();
}

// [(i, j), ...] for the candidate pairs of n nodes labelled 1, in candidate
// order: (0,1), (0,2), ..., (0,n-1), (1,2), ...
Ref accepted_edge_list(std::span<const std::uint8_t> labels, std::uint64_t n_nodes, EdgeTuples* shared) {
    require_equal(labels.size(), pair_count(n_nodes), "one label per candidate pair");
    std::size_t accepted = 0;
    for (const std::uint8_t label : labels) accepted += label == 1;
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(accepted)));
    std::size_t filled = 0;
    std::uint64_t position = 0;
    for (std::uint64_t i = 0; filled < accepted; ++i) {
        for (std::uint64_t j = i + 1; j < n_nodes; ++j, ++position) {
            if (labels[position] != 1) continue;
            const Pair pair{i, j};
            fill_list_item(list, filled++, shared ? shared->tuple_for(pair, position) : new_edge_tuple(pair));
        }
    }
    return list;
}

}  // namespace

EdgeTuples::EdgeTuples(std::uint64_t n_nodes) {
    if (n_nodes < 2 || n_nodes > (std::uint64_t{1} << 21)) return;  // no pairs, or far too many to keep
    const std::uint64_t pairs = n_nodes * (n_nodes - 1) / 2;
    if (pairs <= kMostSharedTuples) cache_.resize(pairs);
}

Ref EdgeTuples::tuple_for(const Pair& pair, std::uint64_t position) {
    if (position >= cache_.size()) return new_edge_tuple(pair);
    Ref& slot = cache_[position];
    if (!slot) slot = new_edge_tuple(pair);
    return Ref::borrow(slot.get());
}

Ref edge_list(std::span<const Pair> edges) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(edges.size())));
    for (std::size_t k = 0; k < edges.size(); ++k) fill_list_item(list, k, new_edge_tuple(edges[k]));
    return list;
}

Ref make_result_dict(SimulationResult&& result, EdgeTuples* shared) {
    // Consume both buffers up front: if anything below fails, they are
    // freed with `labels`/`distances` (or by the arrays that adopted them).
    std::vector<std::uint8_t> labels = std::move(result.labels);
    std::vector<double> distances = std::move(result.distance_matrix);
    const auto n = static_cast<npy_intp>(result.n_nodes);

    Ref dict = new_dict();
    Ref accepted = accepted_edge_list(labels, result.n_nodes, shared);  // before the labels move into their array
    set_item(dict, "labels", adopt_as_uint8_array(std::move(labels)));
    set_item(dict, "accepted_edges", std::move(accepted));
    set_item(dict, "distance_matrix", adopt_as_float64_array(std::move(distances), {n, n}));
    set_item(dict, "final_rank", python_int(result.final_rank));
    set_item(dict, "max_rank", python_int(result.max_rank));
    set_item(dict, "is_rigid", python_bool(result.final_rank == result.max_rank));
    set_item(dict, "n_nodes", python_int(result.n_nodes));
    set_item(dict, "d", python_int(result.d));
    return dict;
}

}  // namespace tarvel::py
