#include "numeric/fault.hpp"

namespace tarvel {

void raise_fault(const std::string& message) { throw InternalFault(message); }

void raise_capacity_overflow() { throw CapacityOverflow(); }

void raise_unequal(const std::string& what, std::uint64_t left, std::uint64_t right) {
    throw InternalFault("assertion `left == right` failed: " + what + "\n  left: " +
                        std::to_string(left) + "\n right: " + std::to_string(right));
}

std::size_t checked_count(std::uint64_t count, std::size_t element_size) {
    // Allocations are limited to PTRDIFF_MAX bytes, like every object size.
    constexpr std::uint64_t max_bytes = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (element_size != 0 && count > max_bytes / element_size) raise_capacity_overflow();
    return static_cast<std::size_t>(count);
}

std::uint64_t checked_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) raise_capacity_overflow();
    return product;
}

std::uint64_t pair_count(std::uint64_t n) {
    if (n < 2) return 0;
    // One of n, n-1 is even: halve it first so the product is exact.
    const std::uint64_t a = (n % 2 == 0) ? n / 2 : n;
    const std::uint64_t b = (n % 2 == 0) ? n - 1 : (n - 1) / 2;
    return checked_product(a, b);
}

}  // namespace tarvel
