// Buffers of O(n^2) values for the reconstruction's passes.
//
// Large buffers ask for transparent huge pages before they are first
// touched: on fresh memory the page faults of an O(n^2) pass otherwise cost
// more than its arithmetic, and the solver's walks down a column would miss
// the TLB on every row. Only a hint: if the kernel declines, nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "fault.hpp"

namespace tarvel {

// Asks for huge pages over the whole huge pages inside [data, data + bytes).
void advise_huge_pages(const void* data, std::size_t bytes);

// `count` zeros ("capacity overflow" if they cannot be addressed).
std::vector<double> zeroed_large(std::uint64_t count);

// Scratch that is written before it is read: no zero fill.
template <class T = double>
std::unique_ptr<T[]> uninitialised_large(std::uint64_t count) {
    static_assert(std::is_trivially_default_constructible_v<T>);
    const std::size_t size = checked_count(count, sizeof(T));
    std::unique_ptr<T[]> buffer(new T[size]);
    advise_huge_pages(buffer.get(), size * sizeof(T));
    return buffer;
}

}  // namespace tarvel
