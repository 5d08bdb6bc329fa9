#include "stress.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cmath>
#include <vector>

namespace tarvel {

namespace {

// Squared reconstructed distances from point i to points i+1 .. n-1, each
// a left-to-right sum over the axes of squared differences. Inlined into the
// dispatcher below so that d = 2 and d = 3 get loops with a constant bound.
[[gnu::always_inline]] inline void squared_distances_from_any(const double* coords, std::size_t n, std::size_t d,
                                                              std::size_t i, double* out) {
    const double* xi = coords + i * d;
    for (std::size_t j = i + 1; j < n; ++j) {
        const double* xj = coords + j * d;
        double squared = (xi[0] - xj[0]) * (xi[0] - xj[0]);
        for (std::size_t k = 1; k < d; ++k) squared = squared + (xi[k] - xj[k]) * (xi[k] - xj[k]);
        out[j - i - 1] = squared;
    }
}

void squared_distances_from(const double* coords, std::size_t n, std::size_t d, std::size_t i, double* out) {
    if (d == 2) return squared_distances_from_any(coords, n, 2, i, out);
    if (d == 3) return squared_distances_from_any(coords, n, 3, i, out);
    squared_distances_from_any(coords, n, d, i, out);
}

// Stress sums over one row: num += (delta - sqrt(squared))^2 and
// den += delta^2, pair by pair in order. Square roots are taken two at a
// time where SSE2 exists: IEEE square roots are correctly rounded either
// way, and the packed form avoids the errno check that keeps std::sqrt
// scalar (the argument is a sum of squares, never negative).
void accumulate_stress(const double* given, const double* squared, std::size_t count, double& num, double& den) {
    std::size_t t = 0;
#if defined(__SSE2__)
    for (; t + 2 <= count; t += 2) {
        double fitted[2];
        _mm_storeu_pd(fitted, _mm_sqrt_pd(_mm_loadu_pd(squared + t)));
        for (std::size_t l = 0; l < 2; ++l) {
            const double error = given[t + l] - fitted[l];
            num = num + error * error;
            den = den + given[t + l] * given[t + l];
        }
    }
#endif
    for (; t < count; ++t) {
        const double error = given[t] - std::sqrt(squared[t]);
        num = num + error * error;
        den = den + given[t] * given[t];
    }
}

}  // namespace

double kruskal_stress(const double* dist, const double* coords, std::size_t n, std::size_t d) {
    std::vector<double> squared(n);
    double num = 0.0;
    double den = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        squared_distances_from(coords, n, d, i, squared.data());
        accumulate_stress(dist + i * n + i + 1, squared.data(), n - i - 1, num, den);
    }
    return den < 1e-15 ? 0.0 : std::sqrt(num / den);
}

}  // namespace tarvel
