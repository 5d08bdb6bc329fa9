#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "framework/orthogonal_labels.hpp"
#include "support/fault_capture.hpp"

namespace tarvel {
namespace {

// Greedy labels by dense Gram-Schmidt, twice over, in long double: a row is
// independent when its distance from the accepted rows' span exceeds
// tol * its length (zero rows of bars shorter than tol * size included).
std::vector<std::uint8_t> reference_labels(const std::vector<double>& points, std::uint64_t d,
                                           const std::vector<Pair>& bars, double tol) {
    const std::uint64_t n = points.size() / d, columns = n * d;
    std::vector<std::vector<long double>> basis;
    std::vector<std::uint8_t> labels;
    for (const Pair& bar : bars) {
        std::vector<long double> row(columns, 0.0L);
        for (std::uint64_t a = 0; a < d; ++a) {
            const long double difference = static_cast<long double>(points[bar.i * d + a]) - points[bar.j * d + a];
            row[bar.i * d + a] = difference;
            row[bar.j * d + a] = -difference;
        }
        long double length = 0.0L;
        for (long double value : row) length += value * value;
        length = std::sqrt(length);
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& q : basis) {
                long double dot = 0.0L;
                for (std::uint64_t c = 0; c < columns; ++c) dot += q[c] * row[c];
                for (std::uint64_t c = 0; c < columns; ++c) row[c] -= dot * q[c];
            }
        }
        long double distance = 0.0L;
        for (long double value : row) distance += value * value;
        distance = std::sqrt(distance);
        const bool independent = length > 0.0L && distance > tol * length;
        labels.push_back(independent ? 1 : 0);
        if (!independent) continue;
        for (long double& value : row) value /= distance;
        basis.push_back(row);
    }
    return labels;
}

std::vector<std::uint8_t> orthogonal_labels(const std::vector<double>& points, std::uint64_t d,
                                            const std::vector<Pair>& bars) {
    return label_bars(points, d, bars, 1e-9, LabelArithmetic::orthogonal).labels;
}

// Random multigraphs on small integer grids, where collinear and coplanar
// nodes, coincident nodes and repeated bars are common: every bar counts
// against the dense reference, and labels do not move with scale or place.
TEST(OrthogonalLabels, AgreeWithDenseReferenceOnDegenerateGrids) {
    std::mt19937_64 random(7);
    for (std::uint64_t d : {2u, 3u}) {
        for (int trial = 0; trial < 60; ++trial) {
            const std::uint64_t n = 4 + random() % 14, m = random() % (3 * n);
            std::vector<double> points(n * d);
            for (double& x : points) x = static_cast<double>(random() % 3);
            std::vector<Pair> bars;
            while (bars.size() < m) {
                const std::uint64_t i = random() % n, j = random() % n;
                if (i != j) bars.push_back(Pair{i, j});
            }
            const std::vector<std::uint8_t> labels = orthogonal_labels(points, d, bars);
            ASSERT_EQ(labels, reference_labels(points, d, bars, 1e-9)) << "d " << d << " trial " << trial;
            for (double factor : {1e-3, 1e3}) {
                std::vector<double> moved(points);
                for (std::uint64_t k = 0; k < moved.size(); ++k) moved[k] = moved[k] * factor + 0.25 * (k % d + 1);
                EXPECT_EQ(orthogonal_labels(moved, d, bars), labels) << "factor " << factor;
            }
        }
    }
}

TEST(OrthogonalLabels, RankCountsAndRefusals) {
    const std::vector<double> square{0, 0, 1, 0, 1, 1, 0, 1};
    const std::vector<Pair> bars{{0, 1}, {1, 2}, {2, 3}, {3, 0}, {0, 2}, {1, 3}};
    const BarLabels out = label_bars(square, 2, bars, 1e-9, LabelArithmetic::orthogonal);
    EXPECT_EQ(out.labels, (std::vector<std::uint8_t>{1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(out.rank, 5u);
    EXPECT_EQ(out.max_rank, 5u);
    EXPECT_EQ(invalid_input_of([&] { label_bars(square, 4, std::vector<Pair>{}, 1e-9, LabelArithmetic::orthogonal); }),
              "d must be 2 or 3, got 4");
    EXPECT_EQ(invalid_input_of([&] { label_bars(square, 2, std::vector<Pair>{{0, 4}}, 1e-9, LabelArithmetic::orthogonal); }),
              "edge 0 (0, 4) has an end outside the 4 nodes");
}

}  // namespace
}  // namespace tarvel
