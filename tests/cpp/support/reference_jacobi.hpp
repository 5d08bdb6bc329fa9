// Reference implementations of the Jacobi eigen-solver and of double
// centering, step by step and unoptimised: for the solver a complete copy of
// the working matrix per rotation and a search of the whole upper triangle
// for every pivot. Slow on purpose; the production code must agree with them
// bit for bit.
#pragma once

#include <math.h>  // sincos

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "numeric/matrix_view.hpp"
#include "support/eigen_decomposition.hpp"

namespace tarvel::reference {

struct JacobiRun {
    EigenDecomposition result;
    std::size_t rotations = 0;
};

inline JacobiRun jacobi_eigen_counted(const std::vector<double>& a, std::size_t n) {
    std::vector<std::vector<double>> w(n, std::vector<double>(n));
    std::vector<std::vector<double>> v(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) w[i][j] = a[i * n + j];
        v[i][i] = 1.0;
    }

    std::size_t rotations = 0;
    for (;;) {
        double best = 0.0;
        std::size_t p = 0, q = 1;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) {
                if (std::fabs(w[i][j]) > best) {
                    best = std::fabs(w[i][j]);
                    p = i;
                    q = j;
                }
            }
        }
        if (best < 1e-12) break;

        const double diff = w[q][q] - w[p][p];
        double theta;
        if (std::fabs(diff) < 1e-15) {
            theta = 0.7853981633974483;
        } else {
            theta = std::atan((w[p][q] + w[p][q]) / diff) * 0.5;
        }
        double s, c;
        ::sincos(theta, &s, &c);

        std::vector<std::vector<double>> next = w;
        for (std::size_t k = 0; k < n; ++k) {
            if (k == p || k == q) continue;
            next[k][p] = w[k][p] * c - w[k][q] * s;
            next[p][k] = next[k][p];
            next[k][q] = w[k][q] * c + w[k][p] * s;
            next[q][k] = next[k][q];
        }
        const double c2 = c * c;
        const double s2 = s * s;
        const double cs2 = (s + s) * c;
        next[p][p] = w[q][q] * s2 + (w[p][p] * c2 - w[p][q] * cs2);
        next[q][q] = c2 * w[q][q] + (cs2 * w[p][q] + s2 * w[p][p]);
        next[p][q] = 0.0;
        next[q][p] = 0.0;
        w = std::move(next);

        for (std::size_t k = 0; k < n; ++k) {
            const double vp = v[k][p];
            const double vq = v[k][q];
            v[k][p] = c * vp - s * vq;
            v[k][q] = vq * c + vp * s;
        }

        ++rotations;
        if (rotations == 500) break;
    }

    std::vector<std::pair<double, std::size_t>> pairs;
    for (std::size_t i = 0; i < n; ++i) pairs.emplace_back(w[i][i], i);
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& x, const auto& y) { return x.first > y.first; });

    JacobiRun run;
    run.rotations = rotations;
    run.result.values.resize(n);
    run.result.vectors.resize(n * n);
    for (std::size_t k = 0; k < n; ++k) {
        run.result.values[k] = pairs[k].first;
        for (std::size_t r = 0; r < n; ++r) run.result.vectors[r * n + k] = v[r][pairs[k].second];
    }
    return run;
}

inline EigenDecomposition jacobi_eigen(const std::vector<double>& a, std::size_t n) {
    return jacobi_eigen_counted(a, n).result;
}

// Double centering in the same plain style: divide nothing, multiply by the
// reciprocal, sum left to right from -0.0.
inline std::vector<double> double_center(const MatrixView& dist) {
    const std::size_t n = dist.rows;
    const double recip = 1.0 / static_cast<double>(n);
    std::vector<std::vector<double>> d2(n, std::vector<double>(n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) d2[i][j] = dist.at(i, j) * dist.at(i, j);
    std::vector<double> r(n);
    for (std::size_t i = 0; i < n; ++i) {
        double sum = -0.0;
        for (std::size_t j = 0; j < n; ++j) sum = sum + d2[i][j];
        r[i] = sum * recip;
    }
    double sum = -0.0;
    for (std::size_t i = 0; i < n; ++i) sum = sum + r[i];
    const double g = recip * sum;
    std::vector<double> out(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) out[i * n + j] = (((d2[i][j] - r[i]) - r[j]) + g) * -0.5;
    return out;
}

}  // namespace tarvel::reference
