#include "reconstruction/centred_gram_product.hpp"

#include <vector>

#include "numeric/interrupt.hpp"

namespace tarvel {
namespace {

// Column means of an n*width row-major block, summed row by row.
std::vector<double> column_means(const double* block, std::size_t n, std::size_t width) {
    std::vector<double> mean(width, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < width; ++k) mean[k] += block[i * width + k];
    for (double& value : mean) value /= static_cast<double>(n);
    return mean;
}

// out[i] = sum_j dist[i][j]^2 * centred[j] for the rows of one band: the
// O(n^2 width) part, vectorised over the block's columns.
__attribute__((target_clones("arch=x86-64-v3", "default")))
void squared_rows_times(const double* dist, std::size_t n, const double* centred, std::size_t width,
                        std::size_t first, std::size_t last, double* out) {
    std::vector<double> sum(width);
    for (std::size_t i = first; i < last; ++i) {
        const double* row = dist + i * n;
        for (double& value : sum) value = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double square = row[j] * row[j];
            const double* x = centred + j * width;
            for (std::size_t k = 0; k < width; ++k) sum[k] += square * x[k];
        }
        for (std::size_t k = 0; k < width; ++k) out[i * width + k] = sum[k];
    }
}

}  // namespace

void centred_gram_product(const double* dist, std::size_t n, const double* block, std::size_t width,
                          double* product) {
    if (n == 0 || width == 0) return;
    // H X: subtracting the column means first keeps the sums small, so
    // exact data in d dimensions gives a product of rank d to rounding.
    const std::vector<double> mean = column_means(block, n, width);
    std::vector<double> centred(n * width);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < width; ++k) centred[i * width + k] = block[i * width + k] - mean[k];

    constexpr std::size_t band = 64;  // rows between checks for Ctrl-C
    for (std::size_t first = 0; first < n; first += band) {
        check_interrupt();
        const std::size_t last = first + band < n ? first + band : n;
        squared_rows_times(dist, n, centred.data(), width, first, last, product);
    }
    // -1/2 H (D∘D) H X
    const std::vector<double> product_mean = column_means(product, n, width);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < width; ++k)
            product[i * width + k] = -0.5 * (product[i * width + k] - product_mean[k]);
}

}  // namespace tarvel
