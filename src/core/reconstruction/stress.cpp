#include "reconstruction/stress.hpp"

#include <cmath>
#include <vector>

#include "numeric/vector_kernel.hpp"

namespace tarvel {

namespace {

using lanes::Doubles;
using lanes::load;

// How far ahead of the sums the given distances are fetched (16 cache lines).
constexpr std::size_t kDoublesPerLine = 8;
constexpr std::size_t kFetchAhead = 16 * kDoublesPerLine;

struct StressSums {
    double num = 0.0;  // sum of (delta - delta_hat)^2
    double den = 0.0;  // sum of delta^2
};

// The sums over the pairs (i, j), i < j, row by row, each pair in turn.
// delta_hat is the square root of the squared differences summed over the
// axes left to right; `axis[k]` holds coordinate k of every point. The two
// sums are chains of dependent additions; everything else runs ahead of
// them, a few pairs side by side. Axes is d when known at compile time,
// else 0.
template <std::size_t Axes>
[[gnu::always_inline]] inline StressSums add_pairs(const double* dist, const double* const* axis, std::size_t n,
                                                   std::size_t d) {
    const std::size_t axes = Axes != 0 ? Axes : d;
    double num = 0.0;
    double den = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double* given = dist + i * n;
        // The sums wait on each distance they read: ask for the distances
        // well ahead, and for the start of the next row before reaching it.
        for (std::size_t ahead = 0; ahead < kFetchAhead; ahead += kDoublesPerLine)
            __builtin_prefetch(given + n + i + 2 + ahead);
        std::size_t j = i + 1;
        for (; j + lanes::kWidth <= n; j += lanes::kWidth) {
            __builtin_prefetch(given + j + kFetchAhead);
            const Doubles difference = axis[0][i] - load<Doubles>(axis[0] + j);
            Doubles squared = difference * difference;
            for (std::size_t k = 1; k < axes; ++k) {
                const Doubles along = axis[k][i] - load<Doubles>(axis[k] + j);
                squared = squared + along * along;
            }
            Doubles fitted;
            // Never negative, and the unit is built without errno: packed roots.
            for (std::size_t l = 0; l < lanes::kWidth; ++l) fitted[l] = std::sqrt(squared[l]);
            const Doubles delta = load<Doubles>(given + j);
            const Doubles error = delta - fitted;
            const Doubles error_squared = error * error;
            const Doubles delta_squared = delta * delta;
            for (std::size_t l = 0; l < lanes::kWidth; ++l) {
                num = num + error_squared[l];
                den = den + delta_squared[l];
            }
        }
        for (; j < n; ++j) {
            double squared = (axis[0][i] - axis[0][j]) * (axis[0][i] - axis[0][j]);
            for (std::size_t k = 1; k < axes; ++k)
                squared = squared + (axis[k][i] - axis[k][j]) * (axis[k][i] - axis[k][j]);
            const double error = given[j] - std::sqrt(squared);
            num = num + error * error;
            den = den + given[j] * given[j];
        }
    }
    return {num, den};
}

TARVEL_VECTOR_KERNEL StressSums stress_sums(const double* dist, const double* const* axis, std::size_t n,
                                            std::size_t d) {
    if (d == 2) return add_pairs<2>(dist, axis, n, d);
    if (d == 3) return add_pairs<3>(dist, axis, n, d);
    return add_pairs<0>(dist, axis, n, d);
}

}  // namespace

double kruskal_stress(const double* dist, const double* coords, std::size_t n, std::size_t d) {
    // Coordinates by axis, so that consecutive points' values load together.
    std::vector<double> by_axis(n * d);
    std::vector<const double*> axis(d);
    for (std::size_t k = 0; k < d; ++k) {
        axis[k] = by_axis.data() + k * n;
        for (std::size_t i = 0; i < n; ++i) by_axis[k * n + i] = coords[i * d + k];
    }
    const StressSums sums = stress_sums(dist, axis.data(), n, d);
    return sums.den < 1e-15 ? 0.0 : std::sqrt(sums.num / sums.den);
}

}  // namespace tarvel
