#include "platform/allocator.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace quavelink {
namespace {

// Number of blocks that live in mappings of their own.
std::size_t mappedBlocks() { return mallinfo2().hblks; }

// A large buffer freed and made again (a capture's packet ring across a restart) gets a
// mapping of its own again, so that its pages go back when it is freed: they do not settle in
// the heap.
TEST(Allocator, ALargeBufferMadeAgainAfterItWasFreedStaysOutOfTheHeap) {
#ifdef QUAVELINK_SANITIZED
    GTEST_SKIP() << "the sanitizers bring their own allocator";
#endif
    keepLargeAllocationsMapped();
    constexpr std::size_t kRingBytes = 960 * 1024;
    const std::size_t before = mappedBlocks();
    void* first = std::malloc(kRingBytes);
    ASSERT_NE(first, nullptr);
    std::memset(first, 1, kRingBytes);
    EXPECT_EQ(mappedBlocks(), before + 1);
    std::free(first);
    void* second = std::malloc(kRingBytes);
    ASSERT_NE(second, nullptr);
    std::memset(second, 1, kRingBytes);
    EXPECT_EQ(mappedBlocks(), before + 1);
    std::free(second);
    EXPECT_EQ(mappedBlocks(), before);
}

}  // namespace
}  // namespace quavelink
