// Exact arithmetic modulo the Mersenne prime p = 2^61 - 1, on 64-bit words.
// Since 2^61 = 1 (mod p), reducing is folding the bits above the 61st onto
// the low ones: no division, and no branch but the final comparison.
#pragma once

#include <cstdint>

namespace tarvel::prime_field {

inline constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;

__extension__ typedef unsigned __int128 Product;

// Congruent to x and below 2^61 + 8.
constexpr std::uint64_t fold(std::uint64_t x) { return (x & kPrime) + (x >> 61); }

// Congruent to a * b and below 2^62, for a * b < 2^122 (as when a, b < p).
constexpr std::uint64_t fold_product(std::uint64_t a, std::uint64_t b) {
    const Product product = static_cast<Product>(a) * b;
    return (static_cast<std::uint64_t>(product) & kPrime) + static_cast<std::uint64_t>(product >> 61);
}

// The representative in [0, p) of any x < 2^64.
constexpr std::uint64_t canonical(std::uint64_t x) {
    x = fold(x);
    return x >= kPrime ? x - kPrime : x;
}

// Operands below p, results in [0, p).
constexpr std::uint64_t sub(std::uint64_t a, std::uint64_t b) { return canonical(a + kPrime - b); }
constexpr std::uint64_t mul(std::uint64_t a, std::uint64_t b) { return canonical(fold_product(a, b)); }

// a^(p-2) = 1/a for a in (0, p), by Fermat.
constexpr std::uint64_t inverse(std::uint64_t a) {
    std::uint64_t result = 1;
    for (std::uint64_t exponent = kPrime - 2; exponent != 0; exponent >>= 1, a = mul(a, a)) {
        if (exponent & 1) result = mul(result, a);
    }
    return result;
}

// x - a * b for a, b < p and x < 2^62: congruent, and again below 2^62, so
// a value can take any number of these steps before it is made canonical.
// Branch-free, as in elimination the outcomes of a comparison are random.
constexpr std::uint64_t subtract_product(std::uint64_t x, std::uint64_t a, std::uint64_t b) {
    return fold(x + 4 * kPrime - fold_product(a, b));  // fold_product < 2^62 < 4p
}

}  // namespace tarvel::prime_field
