#include "numeric/large_buffer.hpp"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarvel {

namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;

}  // namespace

void advise_huge_pages([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

std::vector<double> zeroed_large(std::uint64_t count) {
    std::vector<double> buffer;
    reserve_checked(buffer, count);
    advise_huge_pages(buffer.data(), buffer.capacity() * sizeof(double));
    buffer.resize(static_cast<std::size_t>(count), 0.0);
    return buffer;
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace {

bool has_own_mapping(std::size_t bytes) { return bytes >= kHugePage; }

std::size_t mapped_length(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void* allocate_working_memory(std::size_t bytes) {
    if (!has_own_mapping(bytes)) return ::operator new(bytes);
    const std::size_t length = mapped_length(bytes);
    if (length < bytes) throw std::bad_alloc();
    // Map one huge page more than needed and return the unaligned ends, so
    // that every huge page of the buffer can be backed by one.
    void* mapping = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    const auto begin = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = (begin + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > begin) ::munmap(mapping, aligned - begin);
    const std::uintptr_t tail = begin + length + kHugePage - (aligned + length);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void release_working_memory(void* data, std::size_t bytes) noexcept {
    if (data == nullptr) return;
    if (has_own_mapping(bytes)) {
        ::munmap(data, mapped_length(bytes));
    } else {
        ::operator delete(data);
    }
}

#else

void* allocate_working_memory(std::size_t bytes) { return ::operator new(bytes); }

void release_working_memory(void* data, std::size_t) noexcept { ::operator delete(data); }

#endif

}  // namespace tarvel
