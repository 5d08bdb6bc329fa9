// The rigidity matroid in the plane and in space, answered from equilibrium
// stresses and infinitesimal motions of a generic framework modulo a prime:
// global rigidity by the stress matrix, bars in circuits, fundamental
// circuits, the closure and the rigid components.
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "bindings/common/convert.hpp"
#include "functions.hpp"
#include "interruptible.hpp"
#include "graph/graph.hpp"
#include "graph/rigidity_closure.hpp"
#include "graph/stress_rigidity.hpp"
#include "numeric/fault.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {

Ref stress_globally_rigid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "stress_globally_rigid");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    const bool rigid = without_lock_interruptible([&] { return is_globally_rigid_by_stress(graph.n(), graph.edges(), d, seed); });
    return python_bool(rigid);
}

Ref circuit_bars(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "circuit_bars");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    std::uint64_t max_rank = 0;
    CircuitBars found = without_lock_interruptible([&] {
        max_rank = rigid_rank(graph.n(), d);
        return generic_circuit_bars(graph.n(), graph.edges(), d, seed);
    });
    Ref dict = new_dict();
    set_item(dict, "in_circuit", make_result_buffer(result_buffer_type(module), std::move(found.in_circuit)));
    set_item(dict, "rank", python_int(found.rank));
    set_item(dict, "max_rank", python_int(max_rank));
    return dict;
}

Ref fundamental_circuit(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 5, "fundamental_circuit");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t bar = to_u64(args[2]), d = to_u64(args[3]), seed = to_u64(args[4]);
    std::vector<std::uint64_t> circuit =
        without_lock_interruptible([&] { return generic_fundamental_circuit(graph.n(), graph.edges(), bar, d, seed); });
    return make_result_buffer(result_buffer_type(module), as_int64(circuit));
}

Ref rigidity_closure(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "rigidity_closure");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    std::vector<std::int64_t> pairs = without_lock_interruptible([&] {
        const ImpliedPairs implied = implied_pairs(graph.n(), graph.edges(), d, seed);
        std::vector<std::int64_t> flat;
        for (std::uint64_t i = 0; i < implied.size(); ++i) {
            for (std::uint64_t j = i + 1; j < implied.size(); ++j) {
                if (!implied.implied(i, j)) continue;
                flat.push_back(static_cast<std::int64_t>(i));
                flat.push_back(static_cast<std::int64_t>(j));
            }
        }
        return flat;
    });
    return make_result_buffer(result_buffer_type(module), std::move(pairs));
}

Ref closure_components(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "closure_components");
    const GivenGraph graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    RigidComponents found = without_lock_interruptible([&] {
        const std::vector<Pair> edges = graph.edges();
        return components_of_closure(implied_pairs(graph.n(), edges, d, seed), edges);
    });
    PyObject* buffer_type = result_buffer_type(module);
    Ref dict = new_dict();
    set_item(dict, "edge_component", make_result_buffer(buffer_type, std::move(found.edge_component)));
    set_item(dict, "component_offsets", make_result_buffer(buffer_type, as_int64(found.offsets)));
    set_item(dict, "component_nodes", make_result_buffer(buffer_type, as_int64(found.nodes)));
    return dict;
}

}  // namespace tarvel::py
