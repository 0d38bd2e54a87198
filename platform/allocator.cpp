#include "platform/allocator.h"

#include <malloc.h>

namespace quavelink {

// The C library's own starting value: setting it explicitly is what stops it from moving.
constexpr int kLargeAllocationBytes = 128 * 1024;

void keepLargeAllocationsMapped() { mallopt(M_MMAP_THRESHOLD, kLargeAllocationBytes); }

}  // namespace quavelink
