#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "numeric/random_stream.hpp"

namespace tarvel {
namespace {

// Datasets promise the same graphs on every machine and in every release:
// these are the first words of both generators for seed 0 (splitmix64's are
// its published reference values).
TEST(RandomStream, FirstWordsOfSeedZeroArePinned) {
    SeedSequence seeds(0);
    EXPECT_EQ(seeds.next(), 0xe220a8397b1dcdafULL);
    EXPECT_EQ(seeds.next(), 0x6e789e6aa1b965f4ULL);
    SeedSequence again(0);
    RandomStream stream(again);
    const std::vector<std::uint64_t> words{stream.next(), stream.next(), stream.next(), stream.next()};
    EXPECT_EQ(words, (std::vector<std::uint64_t>{0x99ec5f36cb75f2b4ULL, 0xbf6e1f784956452aULL,
                                                 0x1a5f849d4933e6e0ULL, 0x6aa594f1262d2d2cULL}));
}

TEST(RandomStream, UnitIsTheTop53BitsScaled) {
    SeedSequence seeds(0), same(0);
    RandomStream stream(seeds), twin(same);
    for (int k = 0; k < 100; ++k) {
        const double x = stream.unit();
        EXPECT_EQ(x, static_cast<double>(twin.next() >> 11) / 9007199254740992.0);
        EXPECT_TRUE(x >= 0.0 && x < 1.0);
    }
}

// Counts of each outcome over many draws stay within five standard
// deviations of their expectation (a fault such as an off-by-one bound or a
// biased reduction moves some count by far more).
template <class Key>
void expect_uniform(const std::map<Key, int>& counts, std::size_t outcomes, int draws) {
    ASSERT_EQ(counts.size(), outcomes);
    const double expected = static_cast<double>(draws) / static_cast<double>(outcomes);
    const double spread = 5.0 * std::sqrt(expected);
    for (const auto& [key, count] : counts) EXPECT_NEAR(count, expected, spread);
}

TEST(RandomStream, BelowAndDistinctDrawsAreUniform) {
    SeedSequence seeds(7);
    RandomStream stream(seeds);
    constexpr int draws = 60000;
    std::map<std::uint64_t, int> values;
    for (int k = 0; k < draws; ++k) ++values[stream.below(6)];
    expect_uniform(values, 6, draws);

    std::map<std::vector<std::uint64_t>, int> subsets, orders;
    for (int k = 0; k < draws; ++k) {
        std::vector<std::uint64_t> drawn = distinct_draws(stream, 2, 4);
        ++orders[drawn];
        std::sort(drawn.begin(), drawn.end());
        ++subsets[drawn];
    }
    expect_uniform(subsets, 6, draws);
    expect_uniform(orders, 12, draws);
}

TEST(RandomStream, BelowStaysBelowHugeBounds) {
    SeedSequence seeds(1);
    RandomStream stream(seeds);
    EXPECT_EQ(stream.below(1), 0u);
    const std::uint64_t bound = (std::uint64_t{1} << 63) + 1;
    for (int k = 0; k < 1000; ++k) EXPECT_LT(stream.below(bound), bound);
}

// Drawing a whole population gives every value once, whether the values
// taken are marked in bits (up to 4096) or hashed (past it); taking a value
// twice is seen either way.
TEST(RandomStream, DistinctDrawsOfAWholePopulationTakeEveryValue) {
    SeedSequence seeds(3);
    RandomStream stream(seeds);
    for (const std::uint64_t population : {std::uint64_t{50}, std::uint64_t{4096}, std::uint64_t{4097}}) {
        std::vector<std::uint64_t> sorted = distinct_draws(stream, population, population);
        std::sort(sorted.begin(), sorted.end());
        for (std::uint64_t k = 0; k < population; ++k) ASSERT_EQ(sorted[k], k) << population;
        TakenValues taken(population, 2);
        EXPECT_TRUE(taken.insert(population - 1));
        EXPECT_FALSE(taken.insert(population - 1));
        EXPECT_TRUE(taken.contains(population - 1));
        EXPECT_FALSE(taken.contains(0));
    }
}

}  // namespace
}  // namespace tarvel
