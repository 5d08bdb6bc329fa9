#include "realization.hpp"

#include <stdexcept>
#include <vector>

#include "args.hpp"
#include "bindings/common/convert.hpp"
#include "functions.hpp"
#include "reconstruction/centred_gram_product.hpp"
#include "reconstruction/stress.hpp"
#include "result_buffer.hpp"

namespace tarvel::py {
namespace {

// The (n, n) distances of a call, checked square.
std::span<const double> square_distances(const BufferView& view) {
    const std::span<const double> values = view.float64_rows();
    if (view.rows() != view.columns()) {
        PyErr_SetString(PyExc_ValueError, "dist must be a square matrix");
        throw PythonErrorSet{};
    }
    return values;
}

void require_rows(const BufferView& view, std::uint64_t n, const char* name) {
    if (view.rows() != n) {
        PyErr_Format(PyExc_ValueError, "%s must have one row per node", name);
        throw PythonErrorSet{};
    }
}

}  // namespace

Ref centred_gram_product(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 2, "centred_gram_product");
    const BufferView dist_view(args[0], "dist");
    const BufferView block_view(args[1], "block");
    const std::span<const double> dist = square_distances(dist_view);
    const std::span<const double> block = block_view.float64_rows();
    const std::uint64_t n = dist_view.rows(), width = block_view.columns();
    require_rows(block_view, n, "block");

    std::vector<double> product = without_interpreter_lock([&] {
        std::vector<double> out(n * width);
        tarvel::centred_gram_product(dist.data(), n, block.data(), width, out.data());
        return out;
    });
    return make_result_buffer(result_buffer_type(module), std::move(product));
}

Ref kruskal_stress(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    expect_argument_count(nargs, 2, "kruskal_stress");
    const BufferView dist_view(args[0], "dist");
    const BufferView coords_view(args[1], "coords");
    const std::span<const double> dist = square_distances(dist_view);
    const std::span<const double> coords = coords_view.float64_rows();
    const std::uint64_t n = dist_view.rows(), d = coords_view.columns();
    require_rows(coords_view, n, "coords");
    return python_float(without_interpreter_lock([&] { return tarvel::kruskal_stress(dist.data(), coords.data(), n, d); }));
}

}  // namespace tarvel::py
