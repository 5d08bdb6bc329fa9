// Buffers of O(n^2) values for the reconstruction's passes and the rank test.
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
#include <utility>
#include <vector>

#include "numeric/fault.hpp"

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

// `bytes` of uninitialised memory for one call's work (std::bad_alloc if
// there are none). From a mapping of its own, aligned to huge pages and asked
// to use them, when it spans at least one; from the heap otherwise. A mapping
// goes back to the system when released, so where its pages come from does
// not depend on what the allocator has seen before or on other threads.
void* allocate_working_memory(std::size_t bytes);
void release_working_memory(void* data, std::size_t bytes) noexcept;

// An owned array of `size` uninitialised T in working memory.
template <class T>
class WorkingArray {
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);

public:
    WorkingArray() = default;
    explicit WorkingArray(std::uint64_t size)
        : data_(static_cast<T*>(allocate_working_memory(checked_count(size, sizeof(T)) * sizeof(T)))),
          size_(static_cast<std::size_t>(size)) {}
    WorkingArray(WorkingArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    WorkingArray& operator=(WorkingArray other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~WorkingArray() { release_working_memory(data_, size_ * sizeof(T)); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace tarvel
