#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "numeric/modular_echelon.hpp"
#include "numeric/prime_field.hpp"
#include "numeric/random_stream.hpp"

namespace tarvel {
namespace {

namespace field = prime_field;
using Matrix = std::vector<std::vector<std::uint64_t>>;

// Dense Gaussian elimination modulo p: the independent reference.
std::uint64_t dense_rank(Matrix rows) {
    std::uint64_t rank = 0;
    const std::size_t columns = rows.empty() ? 0 : rows[0].size();
    for (std::size_t c = 0; c < columns && rank < rows.size(); ++c) {
        std::size_t pivot = rank;
        while (pivot < rows.size() && rows[pivot][c] == 0) ++pivot;
        if (pivot == rows.size()) continue;
        std::swap(rows[rank], rows[pivot]);
        const std::uint64_t inverse = field::inverse(rows[rank][c]);
        for (std::size_t r = rank + 1; r < rows.size(); ++r) {
            const std::uint64_t factor = field::mul(rows[r][c], inverse);
            for (std::size_t k = c; k < columns; ++k) rows[r][k] = field::sub(rows[r][k], field::mul(factor, rows[rank][k]));
        }
        ++rank;
    }
    return rank;
}

// Sparse rows of low rank: random combinations of a few random rows, with
// entries of small sets of columns, so that rejections and fill both occur.
Matrix low_rank_rows(std::size_t count, std::size_t columns, std::size_t generators, std::mt19937_64& rng) {
    std::uniform_int_distribution<std::uint64_t> value(0, field::kPrime - 1), column(0, columns - 1);
    Matrix basis(generators, std::vector<std::uint64_t>(columns, 0));
    for (auto& row : basis) {
        for (int k = 0; k < 3; ++k) row[column(rng)] = value(rng);
    }
    Matrix rows;
    std::uniform_int_distribution<std::size_t> pick(0, generators - 1);
    for (std::size_t r = 0; r < count; ++r) {
        std::vector<std::uint64_t> row(columns, 0);
        for (int k = 0; k < 2; ++k) {
            const auto& g = basis[pick(rng)];
            const std::uint64_t a = value(rng);
            for (std::size_t c = 0; c < columns; ++c) row[c] = field::canonical(row[c] + field::mul(a, g[c]));
        }
        rows.push_back(row);
    }
    return rows;
}

std::uint64_t dot(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b) {
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k < a.size(); ++k) sum = field::canonical(sum + field::mul(a[k], b[k]));
    return sum;
}

TEST(ModularEchelon, RankAndBothNullSpacesAgreeWithDenseElimination) {
    std::mt19937_64 rng(11);
    SeedSequence seeds(5);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t columns = 4 + trial % 9, generators = 1 + trial % 7, count = 3 + trial % 13;
        const Matrix rows = low_rank_rows(count, columns, generators, rng);
        ModularEchelon echelon(columns, true);
        std::vector<std::size_t> accepted;
        std::vector<std::uint64_t> gathered;  // sum over rejected rows r of weight_r * factors_r
        std::vector<std::uint64_t> weights(count, 0);
        std::uniform_int_distribution<std::uint64_t> value(1, field::kPrime - 1);
        for (std::size_t r = 0; r < count; ++r) {
            for (std::size_t c = 0; c < columns; ++c) {
                if (rows[r][c] != 0) echelon.add(c, rows[r][c]);
            }
            const bool independent = echelon.accept_offered();
            // Greedy independence, row by row, follows the dense rank's growth.
            EXPECT_EQ(echelon.rank(), dense_rank(Matrix(rows.begin(), rows.begin() + r + 1)));
            if (independent) {
                accepted.push_back(r);
                continue;
            }
            weights[r] = value(rng);
            gathered.resize(echelon.rank(), 0);
            for (const auto& f : echelon.last_factors()) gathered[f.row] = field::canonical(gathered[f.row] + field::mul(weights[r], f.value));
        }
        EXPECT_EQ(echelon.rank(), dense_rank(rows));
        // Left null vector: weights on the rejected rows, minus the combination on the accepted ones.
        gathered.resize(echelon.rank(), 0);
        const std::vector<std::uint64_t> basis_weights = echelon.accepted_combination(gathered);
        for (std::size_t k = 0; k < accepted.size(); ++k) weights[accepted[k]] = field::sub(0, basis_weights[k]);
        for (std::size_t c = 0; c < columns; ++c) {
            std::uint64_t sum = 0;
            for (std::size_t r = 0; r < count; ++r) sum = field::canonical(sum + field::mul(weights[r], rows[r][c]));
            EXPECT_EQ(sum, 0u) << "trial " << trial << " column " << c;
        }
        // Right null vector: orthogonal to every row.
        RandomStream stream(seeds);
        const std::vector<std::uint64_t> x = echelon.random_null_vector(stream);
        for (const auto& row : rows) EXPECT_EQ(dot(row, x), 0u) << "trial " << trial;
    }
}

}  // namespace
}  // namespace tarvel
