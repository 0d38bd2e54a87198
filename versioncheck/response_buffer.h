#pragma once

#include <cstddef>
#include <string>

namespace quavelink {

//! What one version check has received so far. A version file is a few bytes and a frame
//! page a few kilobytes; a server that sends more than kMaxBytes is not sending either, and the
//! transfer is stopped rather than filling memory.
class ResponseBuffer {
  public:
    static constexpr std::size_t kMaxBytes = 1 << 20;

    enum class AppendResult { Taken, TooLarge, OutOfMemory };

    //! Appends `size` bytes from `data`; on failure the buffer keeps what it had. Never throws.
    AppendResult append(const char* data, std::size_t size) noexcept;
    //! Empties the buffer so that the next piece starts from the beginning.
    void clear() noexcept { received.clear(); }

    //! The received bytes; always followed by a zero byte (std::string keeps one).
    const std::string& bytes() const { return received; }
    std::size_t size() const { return received.size(); }

  private:
    std::string received;
};

}  // namespace quavelink
