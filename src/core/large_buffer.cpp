#include "large_buffer.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarvel {

void advise_huge_pages([[maybe_unused]] const void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
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

}  // namespace tarvel
