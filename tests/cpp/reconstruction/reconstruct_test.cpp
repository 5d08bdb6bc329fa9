#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "reconstruction/centering.hpp"
#include "numeric/fault.hpp"
#include "reconstruction/reconstruct.hpp"
#include "reconstruction/stress.hpp"
#include "support/fault_capture.hpp"
#include "support/reference_jacobi.hpp"
#include "support/stored_matrix.hpp"

namespace tarvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Bitwise equality: tells -0.0 from 0.0 and matches NaN with the same NaN.
::testing::AssertionResult same_bits(const std::vector<double>& actual, const std::vector<double>& expected) {
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "size " << actual.size() << " vs " << expected.size();
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(actual[i]) != std::bit_cast<std::uint64_t>(expected[i]))
            return ::testing::AssertionFailure()
                   << "element " << i << ": " << actual[i] << " vs " << expected[i];
    }
    return ::testing::AssertionSuccess();
}

Reconstruction reconstruct_of(const std::vector<double>& dist, std::size_t n, std::uint64_t d, double tol) {
    return reconstruct_coords(DistanceCopy(MatrixView::row_major(dist.data(), n, n)), d, tol);
}

std::vector<double> symmetric(std::vector<double> m, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j) m[i * n + j] = m[j * n + i];
    return m;
}

std::vector<double> random_matrix(std::mt19937_64& rng, std::size_t n) {
    std::normal_distribution<double> normal;
    std::vector<double> m(n * n);
    for (double& x : m) x = normal(rng);
    return m;
}

// Small integers: many off-diagonal magnitudes tie and many diagonal
// differences are exactly zero.
std::vector<double> integer_matrix(std::mt19937_64& rng, std::size_t n) {
    std::uniform_int_distribution<int> small(-2, 2);
    std::vector<double> m(n * n);
    for (double& x : m) x = small(rng);
    return symmetric(m, n);
}

std::vector<double> points_distances(std::mt19937_64& rng, std::size_t n, std::size_t d) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> x(n * d);
    for (double& v : x) v = unit(rng);
    std::vector<double> dist(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double s = 0.0;
            for (std::size_t k = 0; k < d; ++k) s = s + (x[i * d + k] - x[j * d + k]) * (x[i * d + k] - x[j * d + k]);
            dist[i * n + j] = std::sqrt(s);
        }
    return dist;
}

std::vector<double> gram_of_points(std::mt19937_64& rng, std::size_t n, std::size_t d) {
    const std::vector<double> dist = points_distances(rng, n, d);
    return double_center(MatrixView::row_major(dist.data(), n, n));
}

void expect_same_as_reference(const std::vector<double>& a, std::size_t n) {
    const EigenDecomposition fast = jacobi_eigen(a, n);
    const EigenDecomposition slow = reference::jacobi_eigen(a, n);
    EXPECT_TRUE(same_bits(fast.values, slow.values)) << "n = " << n;
    EXPECT_TRUE(same_bits(fast.vectors, slow.vectors)) << "n = " << n;
}

// ---------------------------------------------------------------------------
// double_center

enum class Layout { RowMajor, ColumnMajor, Strided, Reversed };

// The same logical matrix stored in different ways; `storage` keeps it alive.
MatrixView view_as(const std::vector<double>& m, std::size_t n, Layout layout, std::vector<double>& storage) {
    const auto d = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto sn = static_cast<std::ptrdiff_t>(n);
    switch (layout) {
        case Layout::RowMajor:
            storage = m;
            return MatrixView::row_major(storage.data(), n, n);
        case Layout::ColumnMajor:
            storage.assign(n * n, 0.0);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) storage[j * n + i] = m[i * n + j];
            return MatrixView{reinterpret_cast<const char*>(storage.data()), n, n, d, sn * d};
        case Layout::Strided:  // every other element of rows twice as long
            storage.assign(2 * n * n + 1, kNaN);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) storage[i * 2 * n + 2 * j] = m[i * n + j];
            return MatrixView{reinterpret_cast<const char*>(storage.data()), n, n, 2 * sn * d, 2 * d};
        case Layout::Reversed:  // rows and columns walked backwards
            storage.assign(n * n, 0.0);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) storage[(n - 1 - i) * n + (n - 1 - j)] = m[i * n + j];
            return MatrixView{reinterpret_cast<const char*>(storage.data() + (n * n == 0 ? 0 : n * n - 1)), n, n,
                              -sn * d, -d};
    }
    return {};
}

struct CenterCase {
    const char* name;
    std::size_t n;
    bool symmetric_input;
    double poison;  // placed at [n/2][n/3] unless 0
};

class DoubleCenterMatchesReference : public ::testing::TestWithParam<CenterCase> {};

TEST_P(DoubleCenterMatchesReference, InEveryLayout) {
    const CenterCase& c = GetParam();
    std::mt19937_64 rng(c.n * 7919 + 1);
    std::vector<double> m = random_matrix(rng, c.n);
    if (c.symmetric_input) m = symmetric(m, c.n);
    if (c.poison != 0.0 && c.n > 0) m[(c.n / 2) * c.n + c.n / 3] = c.poison;
    std::vector<double> plain;
    const std::vector<double> expected = reference::double_center(view_as(m, c.n, Layout::RowMajor, plain));
    for (Layout layout : {Layout::RowMajor, Layout::ColumnMajor, Layout::Strided, Layout::Reversed}) {
        std::vector<double> storage;
        EXPECT_TRUE(same_bits(double_center(view_as(m, c.n, layout, storage)), expected))
            << "layout " << static_cast<int>(layout);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DoubleCenterMatchesReference,
    ::testing::Values(CenterCase{"empty", 0, true, 0.0}, CenterCase{"single", 1, true, 0.0},
                      CenterCase{"seven", 7, true, 0.0}, CenterCase{"eight", 8, true, 0.0},
                      CenterCase{"nine_asymmetric", 9, false, 0.0}, CenterCase{"odd_asymmetric", 37, false, 0.0},
                      CenterCase{"wide", 130, true, 0.0}, CenterCase{"nan", 11, true, kNaN},
                      CenterCase{"infinite", 12, false, kInf}, CenterCase{"negative", 10, true, -3.5}),
    [](const auto& info) { return std::string(info.param.name); });

struct KnownGram {
    const char* name;
    std::size_t n;
    std::vector<double> dist;
    std::vector<double> gram;
};

class DoubleCenterKnownValues : public ::testing::TestWithParam<KnownGram> {};

TEST_P(DoubleCenterKnownValues, ExactBits) {
    const KnownGram& c = GetParam();
    EXPECT_TRUE(same_bits(double_center(MatrixView::row_major(c.dist.data(), c.n, c.n)), c.gram));
}

INSTANTIATE_TEST_SUITE_P(
    ReciprocalMeansAndSignedZeros, DoubleCenterKnownValues,
    ::testing::Values(
        KnownGram{"empty", 0, {}, {}},
        // A centred +0.0 times -0.5 is -0.0.
        KnownGram{"single", 1, {4.5}, {-0.0}},
        // The middle diagonal is 2^-53, a residue of the reciprocal
        // multiplication and the summation order; division would differ.
        KnownGram{"line", 3, {0, 1, 2, 1, 0, 1, 2, 1, 0},
                  {1.0, -0.0, -1.0, -0.0, 1.1102230246251565e-16, -0.0, -1.0, -0.0, 1.0}},
        KnownGram{"triangle_3_4_5",
                  3,
                  {0, 3, 4, 3, 0, 5, 4, 5, 0},
                  {2.7777777777777777, -0.22222222222222232, -2.5555555555555554, -0.22222222222222232,
                   5.777777777777778, -5.555555555555555, -2.5555555555555554, -5.555555555555555,
                   8.11111111111111}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DoubleCenter, NonSquareViewIsAnInternalFault) {
    const std::vector<double> dist(6, 1.0);
    EXPECT_NE(internal_fault_of([&] { double_center(MatrixView::row_major(dist.data(), 2, 3)); }), kNoFault);
}

TEST(DoubleCenter, NanInOneRowSpoilsEveryEntry) {
    std::vector<double> dist = {0, 1, 2, 1, 0, kNaN, 2, 1, 0};
    for (double g : double_center(MatrixView::row_major(dist.data(), 3, 3))) EXPECT_TRUE(std::isnan(g));
}

// The largest |g[i][j]| over the columns j > i of block b, for i < rows;
// -1.0 where none of them is a number.
std::vector<double> brute_block_maxima(const std::vector<double>& g, std::size_t n, std::size_t b, std::size_t width,
                                       std::size_t rows) {
    std::vector<double> maxima(rows, -1.0);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = std::max(b * width, i + 1); j < std::min(b * width + width, n); ++j)
            if (std::fabs(g[i * n + j]) > maxima[i]) maxima[i] = std::fabs(g[i * n + j]);
    return maxima;
}

enum class Entries { Gaussian, SmallIntegers, Infinite, NaN };

// The solver's starting matrix in a reconstruction: entries, row parts and
// (for bitwise symmetric distances) columns formed from the distances equal
// double centering's, bit for bit, and the block maxima found from the
// centring's spread equal those of the entries (ties, NaN and infinities
// included).
TEST(CentredGram, FormsTheEntriesOfDoubleCentering) {
    constexpr std::size_t kWidth = 4;
    for (const Entries kind : {Entries::Gaussian, Entries::SmallIntegers, Entries::Infinite, Entries::NaN}) {
        for (const bool symmetric_input : {true, false}) {
            for (const std::size_t n : {2u, 9u, 40u}) {
                std::mt19937_64 rng(n * 2 + symmetric_input);
                std::vector<double> dist = kind == Entries::SmallIntegers ? integer_matrix(rng, n) : random_matrix(rng, n);
                if (kind == Entries::Infinite) dist[n / 2] = -kInf;
                if (kind == Entries::NaN) dist[n - 1] = kNaN;
                if (symmetric_input) dist = symmetric(dist, n);
                const std::vector<double> g = double_center(MatrixView::row_major(dist.data(), n, n));
                const Centring centring = centring_for_solver(dist.data(), n, kWidth);
                bool bitwise_symmetric = true;
                for (std::size_t i = 0; i < n; ++i)
                    for (std::size_t j = 0; j < n; ++j)
                        bitwise_symmetric = bitwise_symmetric && same_bits({dist[i * n + j]}, {dist[j * n + i]});
                ASSERT_EQ(centring.symmetric, bitwise_symmetric);
                const CentredGram gram(dist.data(), centring, n);
                std::vector<double> row(n), column(n), entries(n * n);
                for (std::size_t i = 0; i < n; ++i) {
                    gram.row_part(i, 0, n, row.data());
                    EXPECT_TRUE(same_bits(row, {g.begin() + i * n, g.begin() + (i + 1) * n})) << "row " << i;
                    for (std::size_t j = 0; j < n; ++j) entries[i * n + j] = gram.at(i, j);
                    ASSERT_EQ(gram.column(i, column.data()), centring.symmetric);
                    if (!centring.symmetric) continue;
                    std::vector<double> expected(n);
                    for (std::size_t k = 0; k < n; ++k) expected[k] = g[k * n + i];
                    EXPECT_TRUE(same_bits(column, expected)) << "column " << i;
                }
                EXPECT_TRUE(same_bits(entries, g));
                for (std::size_t b = 0; b * kWidth < n; ++b) {
                    const std::size_t rows = std::min(n - 1, b * kWidth + kWidth - 1);
                    std::vector<double> maxima(rows);
                    ASSERT_TRUE(gram.block_maxima(b, kWidth, rows, maxima.data()));
                    EXPECT_TRUE(same_bits(maxima, brute_block_maxima(g, n, b, kWidth, rows))) << "block " << b;
                }
                EXPECT_FALSE(gram.block_maxima(0, kWidth + 1, 1, row.data()));
            }
        }
    }
}

// ---------------------------------------------------------------------------
// jacobi_eigen against the reference solver

enum class Kind { Gaussian, Integer, Diagonal, Gram2, Gram3, Asymmetric, NonFinite, Tied };

struct JacobiCase {
    const char* name;
    Kind kind;
    std::size_t n_from, n_to;  // every n in [n_from, n_to]
    int seeds;
};

std::vector<double> make_matrix(Kind kind, std::mt19937_64& rng, std::size_t n) {
    switch (kind) {
        case Kind::Gaussian:
            return symmetric(random_matrix(rng, n), n);
        case Kind::Integer:
            return integer_matrix(rng, n);
        case Kind::Diagonal: {
            std::vector<double> m(n * n, 0.0);
            std::uniform_int_distribution<int> small(-3, 3);
            for (std::size_t i = 0; i < n; ++i) m[i * n + i] = small(rng);
            return m;
        }
        case Kind::Gram2:
            return gram_of_points(rng, n, 2);
        case Kind::Gram3:
            return gram_of_points(rng, n, 3);
        case Kind::Asymmetric:
            return random_matrix(rng, n);
        case Kind::NonFinite: {
            std::vector<double> m = symmetric(random_matrix(rng, n), n);
            std::uniform_int_distribution<std::size_t> pick(0, n * n - 1);
            m[pick(rng)] = kNaN;
            m[pick(rng)] = rng() % 2 ? kInf : -kInf;
            return m;
        }
        case Kind::Tied: {
            // Equal largest magnitudes of both signs all over the triangle.
            std::vector<double> m = integer_matrix(rng, n);
            std::uniform_int_distribution<std::size_t> pick(0, n * n - 1);
            for (std::size_t t = 0; t < n; ++t) m[pick(rng)] = (t % 2 ? 5.0 : -5.0);
            return symmetric(m, n);
        }
    }
    return {};
}

class JacobiMatchesReference : public ::testing::TestWithParam<JacobiCase> {};

TEST_P(JacobiMatchesReference, BitForBit) {
    const JacobiCase& c = GetParam();
    for (std::size_t n = c.n_from; n <= c.n_to; ++n) {
        for (int seed = 0; seed < c.seeds; ++seed) {
            std::mt19937_64 rng(n * 1000 + static_cast<std::size_t>(seed));
            expect_same_as_reference(make_matrix(c.kind, rng, n), n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Matrices, JacobiMatchesReference,
                         ::testing::Values(JacobiCase{"gaussian_small", Kind::Gaussian, 1, 12, 6},
                                           JacobiCase{"gaussian_budget", Kind::Gaussian, 40, 44, 1},
                                           JacobiCase{"integer", Kind::Integer, 2, 30, 3},
                                           JacobiCase{"tied", Kind::Tied, 3, 30, 2},
                                           JacobiCase{"diagonal", Kind::Diagonal, 1, 8, 3},
                                           JacobiCase{"gram_plane", Kind::Gram2, 3, 40, 1},
                                           JacobiCase{"gram_space", Kind::Gram3, 50, 60, 1},
                                           // Rows of several pivot blocks, stale blocks, the budget.
                                           JacobiCase{"gram_wide", Kind::Gram2, 130, 131, 1},
                                           JacobiCase{"tied_wide", Kind::Tied, 100, 100, 1},
                                           JacobiCase{"asymmetric_wide", Kind::Asymmetric, 90, 90, 1},
                                           JacobiCase{"asymmetric", Kind::Asymmetric, 2, 25, 2},
                                           JacobiCase{"non_finite", Kind::NonFinite, 2, 15, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JacobiBudget, LargeMatricesStopAfterExactly500Rotations) {
    std::mt19937_64 rng(42);
    const std::vector<double> a = symmetric(random_matrix(rng, 45), 45);
    EXPECT_EQ(reference::jacobi_eigen_counted(a, 45).rotations, 500u);
    expect_same_as_reference(a, 45);
}

// ---------------------------------------------------------------------------
// jacobi_eigen on matrices with known decompositions

constexpr double kCos = 0.7071067811865476;  // cos and sin of the double nearest pi/4
constexpr double kSin = 0.7071067811865475;

struct EigenCase {
    const char* name;
    std::size_t n;
    std::vector<double> a;
    std::vector<double> values;
    std::vector<double> vectors;
};

class JacobiKnownValues : public ::testing::TestWithParam<EigenCase> {};

TEST_P(JacobiKnownValues, ExactBits) {
    const EigenCase& c = GetParam();
    const EigenDecomposition result = jacobi_eigen(c.a, c.n);
    EXPECT_TRUE(same_bits(result.values, c.values));
    EXPECT_TRUE(same_bits(result.vectors, c.vectors));
}

const double kBelowThreshold = std::nextafter(1e-12, 0.0);

INSTANTIATE_TEST_SUITE_P(
    OrderTiesAndThreshold, JacobiKnownValues,
    ::testing::Values(
        EigenCase{"empty", 0, {}, {}, {}}, EigenCase{"single", 1, {-7.25}, {-7.25}, {1.0}},
        EigenCase{"diagonal_sorted_descending", 3, {1, 0, 0, 0, 3, 0, 0, 0, 2}, {3, 2, 1}, {0, 0, 1, 1, 0, 0, 0, 1, 0}},
        EigenCase{"ties_keep_index_order", 3, {2, 0, 0, 0, 2, 0, 0, 0, 1}, {2, 2, 1}, {1, 0, 0, 0, 1, 0, 0, 0, 1}},
        // Equal diagonal: one rotation at the fixed angle pi/4.
        EigenCase{"equal_diagonal", 2, {2, 1, 1, 2}, {3.0, 1.0}, {kSin, kCos, kCos, -kSin}},
        // Exactly at the threshold a pivot is still rotated away ...
        EigenCase{"pivot_at_threshold", 2, {0, 1e-12, 1e-12, 0}, {1e-12, -1e-12}, {kSin, kCos, kCos, -kSin}},
        // ... just below it nothing happens.
        EigenCase{"pivot_below_threshold",
                  2,
                  {0, kBelowThreshold, kBelowThreshold, 0},
                  {0.0, 0.0},
                  {1, 0, 0, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

struct AngleCase {
    const char* name;
    double diff;
    bool fixed_angle;
};

class JacobiAngleBranch : public ::testing::TestWithParam<AngleCase> {};

// With W = [[0, 1e-9], [1e-9, diff]] the arctangent gives an angle far from
// pi/4, so the eigenvector shows which branch was taken.
TEST_P(JacobiAngleBranch, EqualDiagonalThresholdIsStrict) {
    const AngleCase& c = GetParam();
    const std::vector<double> a = {0.0, 1e-9, 1e-9, c.diff};
    const EigenDecomposition result = jacobi_eigen(a, 2);
    const bool saw_fixed_angle = result.vectors[1] == kCos && result.vectors[2] == kCos;
    EXPECT_EQ(saw_fixed_angle, c.fixed_angle);
    expect_same_as_reference(a, 2);
}

INSTANTIATE_TEST_SUITE_P(DiagonalDifferences, JacobiAngleBranch,
                         ::testing::Values(AngleCase{"diff_exactly_threshold", 1e-15, false},
                                           AngleCase{"diff_below_threshold", std::nextafter(1e-15, 0.0), true},
                                           AngleCase{"diff_negative_below", -std::nextafter(1e-15, 0.0), true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JacobiPivotOrder, EqualMagnitudesRotateTheEarlierEntryFirst) {
    // |W[0][2]| == |W[1][2]|: row 0 goes first, so V mixes columns 0 and 2
    // before column 1. Compared against the reference solver as well.
    const std::vector<double> a = {1, 0, -3, 0, 1, 3, -3, 3, 1};
    expect_same_as_reference(a, 3);
    const std::vector<double> same_row = {1, 3, -3, 3, 1, 0, -3, 0, 1};
    expect_same_as_reference(same_row, 3);
}

// ---------------------------------------------------------------------------
// reconstruct_coords

// The whole pipeline from the reference implementations, to compare with the production one.
Reconstruction reference_reconstruction(const std::vector<double>& dist, std::size_t n, std::size_t d, double tol) {
    const EigenDecomposition eig =
        reference::jacobi_eigen(reference::double_center(MatrixView::row_major(dist.data(), n, n)), n);
    Reconstruction r;
    r.coords.resize(n * d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < d; ++k)
            r.coords[i * d + k] = std::sqrt(eig.values[k] > 0.0 ? eig.values[k] : 0.0) * eig.vectors[i * n + k];
    r.eigenvalues.assign(eig.values.begin(), eig.values.begin() + static_cast<std::ptrdiff_t>(d));
    double num = 0.0, den = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) {
            const double delta = dist[i * n + j];
            double s = (r.coords[i * d] - r.coords[j * d]) * (r.coords[i * d] - r.coords[j * d]);
            for (std::size_t k = 1; k < d; ++k)
                s = s + (r.coords[i * d + k] - r.coords[j * d + k]) * (r.coords[i * d + k] - r.coords[j * d + k]);
            const double hat = std::sqrt(s);
            num = num + (delta - hat) * (delta - hat);
            den = den + delta * delta;
        }
    r.stress = den < 1e-15 ? 0.0 : std::sqrt(num / den);
    r.is_isometric = r.stress < tol;
    return r;
}

TEST(ReconstructMatchesReference, RandomPointsAndPerturbedDistances) {
    for (std::size_t d : {2u, 3u}) {
        for (std::size_t n : {4u, 9u, 25u, 48u}) {
            std::mt19937_64 rng(n * 31 + d);
            std::vector<double> dist = points_distances(rng, n, d);
            dist[1] += 0.25;  // not Euclidean any more; the lower triangle disagrees
            const Reconstruction fast = reconstruct_of(dist, n, d, 1e-6);
            const Reconstruction slow = reference_reconstruction(dist, n, d, 1e-6);
            EXPECT_TRUE(same_bits(fast.coords, slow.coords)) << n << " " << d;
            EXPECT_TRUE(same_bits(fast.eigenvalues, slow.eigenvalues)) << n << " " << d;
            EXPECT_TRUE(same_bits({fast.stress}, {slow.stress})) << n << " " << d;
        }
    }
}

// Distance matrices that steer the solver down each of its paths: exactly
// symmetric ones let it form Gram columns from distance rows, anything
// short of bitwise symmetry (even one -0.0) must not; NaN rotations keep
// every row of V in the replay; enough nodes exhaust the budget with
// pivots spread over several pivot blocks. Symmetry is checked a block of
// rows at a time, so asymmetries are also placed past the first block and
// in the last rows, which no full block covers. The pivot table starts
// from block maxima found from the centring's spread: points of a grid
// give many equal magnitudes, an infinite distance infinite and NaN Gram
// entries, and 64 integer points on a line placed symmetrically about 0
// (every mean exact) tie the largest magnitude, in row 0, between its first
// two blocks of columns, at columns 5 and 40: the first is the pivot.
enum class Distances {
    Euclidean,
    SignedZero,
    NaNEntry,
    InfiniteEntry,
    Perturbed,
    PerturbedLaterBlock,
    PerturbedLastRows,
    Grid,
    TiedLine
};

struct ReconstructCase {
    const char* name;
    Distances kind;
    std::size_t n;
    std::size_t d;
};

class ReconstructPaths : public ::testing::TestWithParam<ReconstructCase> {};

TEST_P(ReconstructPaths, MatchReferenceBitForBit) {
    const ReconstructCase& c = GetParam();
    std::mt19937_64 rng(c.n * 7 + c.d);
    std::vector<double> dist = points_distances(rng, c.n, c.d);
    switch (c.kind) {
        case Distances::Euclidean:
            break;
        case Distances::SignedZero:  // equal by value, not by bits
            dist[(c.n - 2) * c.n + 1] = 0.0;
            dist[1 * c.n + (c.n - 2)] = -0.0;
            break;
        case Distances::NaNEntry:
            dist[3 * c.n + 1] = kNaN;
            dist[1 * c.n + 3] = kNaN;
            break;
        case Distances::InfiniteEntry:
            dist[2 * c.n + 7] = kInf;
            dist[7 * c.n + 2] = kInf;
            break;
        case Distances::TiedLine: {  // x = +-10 at 0, 5 | 40, 41; pairs +-k, k < 10, elsewhere
            std::vector<double> x(c.n);
            x[0] = x[40] = 10.0;
            x[5] = x[41] = -10.0;
            double k = 1.0;
            for (std::size_t i = 1, sign = 0; i < c.n; ++i) {
                if (i == 5 || i == 40 || i == 41) continue;
                x[i] = sign++ % 2 == 0 ? k : -k;
                if (sign % 2 == 0) k = k == 9.0 ? 1.0 : k + 1.0;
            }
            for (std::size_t i = 0; i < c.n; ++i)
                for (std::size_t j = 0; j < c.n; ++j) dist[i * c.n + j] = std::fabs(x[i] - x[j]);
            break;
        }
        case Distances::Grid:
            for (std::size_t i = 0; i < c.n; ++i)
                for (std::size_t j = 0; j < c.n; ++j)
                    dist[i * c.n + j] = std::hypot(double(i % 8) - double(j % 8), double(i / 8) - double(j / 8));
            break;
        case Distances::Perturbed:
            dist[c.n + 5] += 0.125;
            break;
        case Distances::PerturbedLaterBlock:  // below the diagonal
            dist[40 * c.n + 33] += 0.125;
            break;
        case Distances::PerturbedLastRows:
            dist[(c.n - 1) * c.n + (c.n - 3)] += 0.125;
            break;
    }
    const Reconstruction fast = reconstruct_of(dist, c.n, c.d, 1e-6);
    const Reconstruction slow = reference_reconstruction(dist, c.n, c.d, 1e-6);
    EXPECT_TRUE(same_bits(fast.coords, slow.coords));
    EXPECT_TRUE(same_bits(fast.eigenvalues, slow.eigenvalues));
    EXPECT_TRUE(same_bits({fast.stress}, {slow.stress}));
    EXPECT_EQ(fast.is_isometric, slow.is_isometric);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ReconstructPaths,
    ::testing::Values(ReconstructCase{"euclidean_plane", Distances::Euclidean, 40, 2},
                      ReconstructCase{"euclidean_space_budget", Distances::Euclidean, 150, 3},
                      ReconstructCase{"euclidean_plane_budget", Distances::Euclidean, 97, 2},
                      ReconstructCase{"signed_zero", Distances::SignedZero, 70, 2},
                      ReconstructCase{"nan_entry", Distances::NaNEntry, 45, 2},
                      ReconstructCase{"infinite_entry", Distances::InfiniteEntry, 45, 3},
                      ReconstructCase{"grid_ties", Distances::Grid, 72, 2},
                      ReconstructCase{"ties_across_blocks", Distances::TiedLine, 64, 2},
                      ReconstructCase{"perturbed_budget", Distances::Perturbed, 120, 3},
                      ReconstructCase{"perturbed_later_block", Distances::PerturbedLaterBlock, 100, 2},
                      ReconstructCase{"perturbed_last_rows", Distances::PerturbedLastRows, 75, 2},
                      ReconstructCase{"perturbed_last_rows_tail", Distances::PerturbedLastRows, 69, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// The private copy reads the view by logical index whatever its layout.
TEST(DistanceCopy, ReadsEveryLayoutByLogicalIndex) {
    constexpr std::size_t n = 13;  // not a multiple of the rows copied together
    std::mt19937_64 rng(5);
    const std::vector<double> m = random_matrix(rng, n);
    std::vector<double> transposed(n * n), padded(n * 2 * n * 3);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            transposed[j * n + i] = m[i * n + j];
            padded[i * 2 * (n * 3) + j * 3] = m[i * n + j];
        }
    const auto b = [](const std::vector<double>& v) { return reinterpret_cast<const char*>(v.data()); };
    const auto s = [](std::size_t count) { return static_cast<std::ptrdiff_t>(count * sizeof(double)); };
    const MatrixView views[] = {
        MatrixView::row_major(m.data(), n, n),
        MatrixView{b(transposed), n, n, s(1), s(n)},
        MatrixView{b(padded), n, n, s(2 * n * 3), s(3)},
        MatrixView{b(m) + s(n * n - 1), n, n, -s(n), -s(1)},  // both axes reversed
    };
    for (std::size_t v = 0; v < std::size(views); ++v) {
        const DistanceCopy copy(views[v]);
        ASSERT_EQ(copy.size(), n);
        std::vector<double> expected(n * n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) expected[i * n + j] = views[v].at(i, j);
        EXPECT_TRUE(same_bits(std::vector<double>(copy.data(), copy.data() + n * n), expected)) << "view " << v;
    }
}

TEST(DistanceCopy, NonSquareViewIsAnInternalFault) {
    const std::vector<double> m(6, 1.0);
    EXPECT_NE(internal_fault_of([&] { DistanceCopy copy(MatrixView::row_major(m.data(), 2, 3)); }), kNoFault);
}

TEST(Reconstruct, ThreePointsOnALine) {
    const std::vector<double> dist = {0, 1, 2, 1, 0, 1, 2, 1, 0};
    const Reconstruction r = reconstruct_of(dist, 3, 2, 1e-6);
    EXPECT_TRUE(same_bits(r.eigenvalues, {2.0, 1.1102230246251565e-16}));
    // The 2^-53 residue of the second eigenvalue becomes a visible coordinate.
    EXPECT_TRUE(same_bits(r.coords, {1.0000000000000002, 0.0, 0.0, 1.0536712127723509e-08, -1.0, 0.0}));
    EXPECT_LT(r.stress, 1e-15);
    EXPECT_TRUE(r.is_isometric);
}

TEST(Reconstruct, RightTriangleReproducesItsSides) {
    const std::vector<double> dist = {0, 3, 4, 3, 0, 5, 4, 5, 0};
    const Reconstruction r = reconstruct_of(dist, 3, 2, 1e-6);
    EXPECT_NEAR(r.eigenvalues[0], 12.9641479965, 1e-9);
    EXPECT_NEAR(r.eigenvalues[1], 3.7025186702, 1e-9);
    EXPECT_LT(r.stress, 1e-15);
    EXPECT_TRUE(r.is_isometric);
    const auto side = [&](std::size_t i, std::size_t j) {
        return std::hypot(r.coords[2 * i] - r.coords[2 * j], r.coords[2 * i + 1] - r.coords[2 * j + 1]);
    };
    EXPECT_NEAR(side(0, 1), 3.0, 1e-14);
    EXPECT_NEAR(side(0, 2), 4.0, 1e-14);
    EXPECT_NEAR(side(1, 2), 5.0, 1e-14);
}

TEST(Reconstruct, AllZeroDistancesHaveZeroStress) {
    const Reconstruction r = reconstruct_of(std::vector<double>(9, 0.0), 3, 2, 1e-6);
    EXPECT_TRUE(same_bits(r.eigenvalues, {-0.0, -0.0}));
    for (double x : r.coords) EXPECT_EQ(x, 0.0);
    EXPECT_TRUE(same_bits({r.stress}, {0.0}));
    EXPECT_TRUE(r.is_isometric);
}

TEST(Reconstruct, NegativeLeadingEigenvalueGivesZeroAxis) {
    // Squared gaps of a line used as distances: far from Euclidean, the Gram
    // matrix has one positive eigenvalue, the null one and then negatives, so
    // the third axis collapses while the reported eigenvalue stays negative.
    const std::vector<double> dist = {0, 1, 4, 9, 1, 0, 1, 4, 4, 1, 0, 1, 9, 4, 1, 0};
    const Reconstruction r = reconstruct_of(dist, 4, 3, 1e-6);
    EXPECT_NEAR(r.eigenvalues[2], -0.860009363, 1e-8);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(r.coords[3 * i + 2], 0.0);
    EXPECT_FALSE(r.is_isometric);
}

struct TolCase {
    const char* name;
    double tol;
    bool isometric;
};

class ReconstructTolerance : public ::testing::TestWithParam<TolCase> {};

TEST_P(ReconstructTolerance, IsStrict) {
    const std::vector<double> dist = {0, 3, 4, 3, 0, 5, 4, 5, 0};
    EXPECT_EQ(reconstruct_of(dist, 3, 2, GetParam().tol).is_isometric, GetParam().isometric);
}

INSTANTIATE_TEST_SUITE_P(StressAgainstTol, ReconstructTolerance,
                         ::testing::Values(TolCase{"default", 1e-6, true}, TolCase{"zero", 0.0, false},
                                           TolCase{"nan", kNaN, false}, TolCase{"negative", -1.0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FaultCase {
    const char* name;
    std::size_t n;
    std::uint64_t d;
    const char* message;
};

class ReconstructFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ReconstructFaults, DimensionCheckedBeforeNodeCount) {
    const FaultCase& c = GetParam();
    const std::vector<double> dist(c.n * c.n, 1.0);
    EXPECT_EQ(internal_fault_of([&] { reconstruct_of(dist, c.n, c.d, 1e-6); }), c.message);
}

constexpr const char* kBadDimension = "Only d=2 and d=3 are supported";
constexpr const char* kTooFewNodes = "Need at least d+1 nodes to reconstruct in d dimensions";

INSTANTIATE_TEST_SUITE_P(DimensionsAndNodeCounts, ReconstructFaults,
                         ::testing::Values(FaultCase{"d0", 5, 0, kBadDimension}, FaultCase{"d1", 5, 1, kBadDimension},
                                           FaultCase{"d4", 5, 4, kBadDimension},
                                           FaultCase{"d_huge", 0, std::uint64_t{1} << 63, kBadDimension},
                                           FaultCase{"empty", 0, 2, kTooFewNodes},
                                           FaultCase{"three_in_space", 3, 3, kTooFewNodes},
                                           FaultCase{"two_in_plane", 2, 2, kTooFewNodes},
                                           FaultCase{"three_in_plane", 3, 2, kNoFault},
                                           FaultCase{"four_in_space", 4, 3, kNoFault}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KruskalStress, ReadsOnlyTheUpperTriangle) {
    // One pair at the wrong distance: num = (2 - 1)^2 = 1, den = 4 + 4 + 1.
    const std::vector<double> coords = {0.0, 1.0, 2.0};
    const std::vector<double> dist = {0, 2, 2, kNaN, 0, 1, kNaN, kNaN, 0};
    EXPECT_EQ(kruskal_stress(dist.data(), coords.data(), 3, 1), std::sqrt(1.0 / 9.0));
}

TEST(KruskalStress, TinyDistancesCountAsZero) {
    const std::vector<double> coords = {0.0, 5.0};
    const double tiny[] = {0, 3e-8, 3e-8, 0}, small[] = {0, 4e-8, 4e-8, 0};
    EXPECT_EQ(kruskal_stress(tiny, coords.data(), 2, 1), 0.0);   // den = 9e-16
    EXPECT_GT(kruskal_stress(small, coords.data(), 2, 1), 0.9);  // den = 1.6e-15
}

}  // namespace
}  // namespace tarvel
