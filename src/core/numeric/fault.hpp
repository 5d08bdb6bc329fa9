// Faults raised by the numeric core.
//
// The core never touches Python. It reports two kinds of failure as C++
// exceptions, which the boundary layer translates after taking the
// interpreter lock back:
//   * InvalidInput  - a documented check of the caller's input failed
//                     (becomes ValueError);
//   * InternalFault - a condition the numeric code relies on was breached
//                     (becomes PanicException).
// std::bad_alloc stays what it is and becomes MemoryError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvel {

class InvalidInput : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A size that cannot be addressed: too large for the machine, not a bug.
// Its message is always "capacity overflow".
class CapacityOverflow : public InternalFault {
public:
    CapacityOverflow() : InternalFault("capacity overflow") {}
};

// Work refused before it starts because its memory would exceed what the
// machine has: a std::bad_alloc whose message says how much was needed.
class MemoryRefused : public std::bad_alloc {
public:
    MemoryRefused(const std::string& work, double needed_bytes, double available_bytes);
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] void raise_fault(const std::string& message);
[[noreturn]] void raise_capacity_overflow();

// A failed equality check: "assertion `left == right` failed: <what>" then
// both values, each on its own line.
[[noreturn]] void raise_unequal(const std::string& what, std::uint64_t left, std::uint64_t right);

inline void require_equal(std::uint64_t left, std::uint64_t right, const char* what) {
    if (left != right) raise_unequal(what, left, right);
}

// Element count whose storage (count * element_size bytes) fits the address
// space; otherwise CapacityOverflow.
std::size_t checked_count(std::uint64_t count, std::size_t element_size);

// a * b as an element count, CapacityOverflow if the product does not fit.
std::uint64_t checked_product(std::uint64_t a, std::uint64_t b);

template <class T>
void reserve_checked(std::vector<T>& v, std::uint64_t count) {
    v.reserve(checked_count(count, sizeof(T)));
}

// n(n-1)/2, the number of unordered pairs of n places, CapacityOverflow
// when it does not fit.
std::uint64_t pair_count(std::uint64_t n);

}  // namespace tarvel
