#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "reconstruction/centred_gram_product.hpp"

namespace tarvel {
namespace {

// B = -1/2 H (D∘D) H formed entry by entry, the definition the product must agree with.
std::vector<double> explicit_gram(const std::vector<double>& dist, std::size_t n) {
    std::vector<double> squares(n * n), row_mean(n, 0.0), col_mean(n, 0.0), gram(n * n);
    double grand = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const double s = dist[i * n + j] * dist[i * n + j];
            squares[i * n + j] = s;
            row_mean[i] += s / n;
            col_mean[j] += s / n;
            grand += s / (n * n);
        }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            gram[i * n + j] = -0.5 * (squares[i * n + j] - row_mean[i] - col_mean[j] + grand);
    return gram;
}

TEST(CentredGramProduct, EqualsTheFormedMatrixTimesTheBlockOnAnyMatrix) {
    // Asymmetric, non-Euclidean entries: the product is B X whatever D is.
    const std::size_t n = 37, width = 5;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> uniform(-2.0, 3.0);
    std::vector<double> dist(n * n), block(n * width), product(n * width);
    for (double& value : dist) value = uniform(rng);
    for (double& value : block) value = uniform(rng);
    centred_gram_product(dist.data(), n, block.data(), width, product.data());

    const std::vector<double> gram = explicit_gram(dist, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < width; ++k) {
            double expected = 0.0;
            for (std::size_t j = 0; j < n; ++j) expected += gram[i * n + j] * block[j * width + k];
            EXPECT_NEAR(product[i * width + k], expected, 1e-12 * 40.0) << i << ", " << k;
        }
}

TEST(CentredGramProduct, IsTheGramOfThePointsForEuclideanDistances) {
    // For centred points P, B = P P^T: so B e_j is P p_j, to rounding.
    const std::size_t n = 50;
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> points(2 * n);
    for (double& value : points) value = uniform(rng);
    double mean[2] = {0.0, 0.0};
    for (std::size_t i = 0; i < n; ++i) mean[0] += points[2 * i] / n, mean[1] += points[2 * i + 1] / n;
    for (std::size_t i = 0; i < n; ++i) points[2 * i] -= mean[0], points[2 * i + 1] -= mean[1];
    std::vector<double> dist(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            dist[i * n + j] = std::hypot(points[2 * i] - points[2 * j], points[2 * i + 1] - points[2 * j + 1]);
    std::vector<double> block(n, 0.0), product(n);
    block[4] = 1.0;
    centred_gram_product(dist.data(), n, block.data(), 1, product.data());
    // B e_4 = P p_4 minus (1/n) P sum p = P p_4 (P centred)
    for (std::size_t i = 0; i < n; ++i) {
        const double expected = points[2 * i] * points[8] + points[2 * i + 1] * points[9];
        EXPECT_NEAR(product[i], expected, 1e-14);
    }
}

}  // namespace
}  // namespace tarvel
