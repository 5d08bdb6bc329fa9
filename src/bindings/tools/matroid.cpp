// tarvel_tools._native: the plane's matroid questions that read one pebble
// game in their own way: whether the bars are a circuit, the closure as a
// list of pairs, and redundancy against the loss of k bars.
#include <vector>

#include "args.hpp"
#include "bindings/common/convert.hpp"
#include "functions.hpp"
#include "graph/bar_redundancy.hpp"
#include "graph/component_pairs.hpp"
#include "graph/kl_pebble_game.hpp"
#include "graph/plane_circuit.hpp"
#include "interruptible.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {

Ref is_plane_circuit(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 2, "is_plane_circuit");
    const GivenGraph graph(args[0], args[1]);
    return python_bool(without_lock_interruptible([&] { return is_circuit_in_plane(graph.n(), graph.edges()); }));
}

Ref plane_closure(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 3, "plane_closure");
    const GivenGraph graph(args[0], args[1]);
    const double byte_limit = to_double(args[2]);
    std::vector<std::int64_t> pairs = without_lock_interruptible([&] {
        const PebbleGameResult game = play_kl_pebble_game(graph.n(), graph.edges(), 2, 3);
        return pairs_within_components(game.components, byte_limit);
    });
    return make_result_buffer(result_buffer_type(module), std::move(pairs));
}

Ref k_redundantly_rigid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 3, "k_redundantly_rigid");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t k = to_u64(args[2]);
    return python_bool(
        without_lock_interruptible([&] { return is_k_redundantly_rigid_in_plane(graph.n(), graph.edges(), k); }));
}

}  // namespace tarvel::py
