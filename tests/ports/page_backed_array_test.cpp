// The rings' memory on each system: a mapping of its own where there is
// mmap, zeroed heap memory elsewhere. Both are built and tested here.
#include "page_backed_array.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

namespace keyflip {
namespace {

struct Slot {
    std::int32_t value;
    std::int16_t extra;
};

template <typename Array>
class PageBackedArrayTest : public ::testing::Test {};

#if defined(_WIN32)
using Arrays = ::testing::Types<HeapArray<Slot>>;
#else
using Arrays = ::testing::Types<MappedArray<Slot>, HeapArray<Slot>>;
#endif
TYPED_TEST_SUITE(PageBackedArrayTest, Arrays);

constexpr std::size_t kCount = 1 << 16;

TYPED_TEST(PageBackedArrayTest, StartsZeroedAndKeepsWhatIsWritten) {
    TypeParam array(kCount);
    for (const std::size_t index : {std::size_t{0}, kCount / 2, kCount - 1}) {
        EXPECT_EQ(array[index].value, 0) << index;
        EXPECT_EQ(array[index].extra, 0) << index;
    }
    for (std::size_t index = 0; index < kCount; index += 97) {
        array[index] = {static_cast<std::int32_t>(index), 7};
    }
    for (std::size_t index = 0; index < kCount; index += 97) {
        ASSERT_EQ(array[index].value, static_cast<std::int32_t>(index));
        ASSERT_EQ(array[index].extra, 7);
    }
}

}  // namespace
}  // namespace keyflip
