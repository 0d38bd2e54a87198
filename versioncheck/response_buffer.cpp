#include "versioncheck/response_buffer.h"

#include <new>

namespace quavelink {

ResponseBuffer::AppendResult ResponseBuffer::append(const char* data, std::size_t size) noexcept {
    if (size > kMaxBytes - received.size()) return AppendResult::TooLarge;
    try {
        received.append(data, size);
    } catch (const std::bad_alloc&) {
        return AppendResult::OutOfMemory;
    }
    return AppendResult::Taken;
}

}  // namespace quavelink
