#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "numeric/prime_field.hpp"

namespace tarvel::prime_field {
namespace {

std::uint64_t reference_mod(Product x) { return static_cast<std::uint64_t>(x % kPrime); }

// Against 128-bit remainders, with the extremes of every operand's range
// (p - 1, and 2^62 - 1 for a value not yet made canonical) among random ones.
TEST(PrimeField, AgreesWithRemainders) {
    std::mt19937_64 rng(1);
    std::uniform_int_distribution<std::uint64_t> residue(0, kPrime - 1), lazy(0, (std::uint64_t{1} << 62) - 1);
    for (int trial = 0; trial < 20000; ++trial) {
        const bool extreme = trial < 8;
        const std::uint64_t a = extreme && (trial & 1) ? kPrime - 1 : residue(rng);
        const std::uint64_t b = extreme && (trial & 2) ? kPrime - 1 : residue(rng);
        const std::uint64_t x = extreme && (trial & 4) ? (std::uint64_t{1} << 62) - 1 : lazy(rng);
        const Product product = static_cast<Product>(a) * b;
        ASSERT_EQ(mul(a, b), reference_mod(product));
        ASSERT_EQ(sub(a, b), reference_mod(Product{a} + kPrime - b));
        ASSERT_EQ(canonical(~x), reference_mod(~x));
        const std::uint64_t lazy_result = subtract_product(x, a, b);
        ASSERT_LT(lazy_result, std::uint64_t{1} << 62);
        ASSERT_EQ(canonical(lazy_result), reference_mod(Product{x} + Product{kPrime} * kPrime - product));
        if (a != 0) {
            ASSERT_EQ(mul(inverse(a), a), 1u);
        }
    }
}

}  // namespace
}  // namespace tarvel::prime_field
