#include "numeric/fault.hpp"

#include <cstdio>

namespace tarvel {

namespace {

// Bytes in the largest binary unit that keeps the figure at 1 or more.
std::string format_bytes(double bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(units)) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace

MemoryRefused::MemoryRefused(const std::string& work, double needed_bytes, double available_bytes)
    : message_(work + " needs " + format_bytes(needed_bytes) + " of working memory, more than the machine's " +
               format_bytes(available_bytes)) {}

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
