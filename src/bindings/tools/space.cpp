// The rigidity matroid in the plane and in space, answered from equilibrium
// stresses and infinitesimal motions of a generic framework modulo a prime:
// global rigidity by the stress matrix, bars in circuits, fundamental
// circuits, the closure and the rigid components.
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "functions.hpp"
#include "graph/graph.hpp"
#include "graph/rigidity_closure.hpp"
#include "graph/stress_rigidity.hpp"
#include "numeric/fault.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {
namespace {

// (n, edge rows) of the caller, viewed for the call; edges() copies and
// checks them without the lock.
class GraphArguments {
public:
    GraphArguments(PyObject* n, PyObject* edges) : n_(to_u64(n)), view_(edges, "edges"), rows_(view_.int64_rows(2)) {}
    std::uint64_t n() const { return n_; }
    std::vector<Pair> edges() const {
        try {
            return edges_from_rows(rows_, n_);
        } catch (const InvalidInput& error) {
            throw InvalidInput(std::string("edges: ") + error.what());
        }
    }

private:
    std::uint64_t n_;
    BufferView view_;
    std::span<const std::int64_t> rows_;
};

void set_item(const Ref& dict, const char* key, Ref value) {
    check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

std::vector<std::int64_t> as_int64(const std::vector<std::uint64_t>& values) {
    return std::vector<std::int64_t>(values.begin(), values.end());  // node and bar numbers < 2^63
}

}  // namespace

Ref stress_globally_rigid(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "stress_globally_rigid");
    const GraphArguments graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    const bool rigid = without_interpreter_lock([&] { return is_globally_rigid_by_stress(graph.n(), graph.edges(), d, seed); });
    return Ref::borrow(rigid ? Py_True : Py_False);
}

Ref circuit_bars(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "circuit_bars");
    const GraphArguments graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    std::uint64_t max_rank = 0;
    CircuitBars found = without_interpreter_lock([&] {
        max_rank = rigid_rank(graph.n(), d);
        return generic_circuit_bars(graph.n(), graph.edges(), d, seed);
    });
    Ref dict = Ref::check(PyDict_New());
    set_item(dict, "in_circuit", make_result_buffer(result_buffer_type(module), std::move(found.in_circuit)));
    set_item(dict, "rank", Ref::check(PyLong_FromUnsignedLongLong(found.rank)));
    set_item(dict, "max_rank", Ref::check(PyLong_FromUnsignedLongLong(max_rank)));
    return dict;
}

Ref fundamental_circuit(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 5, "fundamental_circuit");
    const GraphArguments graph(args[0], args[1]);
    const std::uint64_t bar = to_u64(args[2]), d = to_u64(args[3]), seed = to_u64(args[4]);
    std::vector<std::uint64_t> circuit =
        without_interpreter_lock([&] { return generic_fundamental_circuit(graph.n(), graph.edges(), bar, d, seed); });
    return make_result_buffer(result_buffer_type(module), as_int64(circuit));
}

Ref rigidity_closure(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 4, "rigidity_closure");
    const GraphArguments graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    std::vector<std::int64_t> pairs = without_interpreter_lock([&] {
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
    const GraphArguments graph(args[0], args[1]);
    const std::uint64_t d = to_u64(args[2]), seed = to_u64(args[3]);
    RigidComponents found = without_interpreter_lock([&] {
        const std::vector<Pair> edges = graph.edges();
        return components_of_closure(implied_pairs(graph.n(), edges, d, seed), edges);
    });
    PyObject* buffer_type = result_buffer_type(module);
    Ref dict = Ref::check(PyDict_New());
    set_item(dict, "edge_component", make_result_buffer(buffer_type, std::move(found.edge_component)));
    set_item(dict, "component_offsets", make_result_buffer(buffer_type, as_int64(found.offsets)));
    set_item(dict, "component_nodes", make_result_buffer(buffer_type, as_int64(found.nodes)));
    return dict;
}

}  // namespace tarvel::py
