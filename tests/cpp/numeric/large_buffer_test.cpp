#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <utility>

#include "numeric/large_buffer.hpp"

namespace tarvel {
namespace {

// Below a huge page from the heap, from one upward in a mapping of its own
// that starts on a huge page; every value is writable and reads back.
TEST(WorkingArray, HoldsItsValuesAtAnySize) {
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    for (const std::uint64_t size : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1000}, kHugePage / 8 - 1,
                                     kHugePage / 8, 3 * kHugePage / 8 + 5}) {
        WorkingArray<std::uint64_t> values(size);
        ASSERT_EQ(values.size(), size);
        std::iota(values.data(), values.data() + size, std::uint64_t{7});
        EXPECT_EQ(std::accumulate(values.data(), values.data() + size, std::uint64_t{0}), size * 7 + size * (size - 1) / 2);
        if (size * sizeof(std::uint64_t) >= kHugePage) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(values.data()) % kHugePage, 0u) << size;
        }
    }
}

TEST(WorkingArray, MovesItsStorage) {
    WorkingArray<double> first(1 << 19);
    first.data()[0] = 3.5;
    const double* storage = first.data();
    WorkingArray<double> second(std::move(first));
    EXPECT_EQ(second.data(), storage);
    EXPECT_EQ(first.size(), 0u);
    first = std::move(second);  // the emptied array takes it back
    EXPECT_EQ(first.data(), storage);
    EXPECT_EQ(first.data()[0], 3.5);
}

TEST(WorkingArray, UnaddressableSizesAreACapacityOverflow) {
    EXPECT_THROW(WorkingArray<double>(~std::uint64_t{0} / 4), InternalFault);
}

}  // namespace
}  // namespace tarvel
