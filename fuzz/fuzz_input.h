#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace quavelink::fuzz {

//! Reads a fuzz input front to back; once it runs out, every read gives zeros or empty text,
//! so a target never has to check how much is left.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    bool empty() const { return position >= size; }
    std::size_t remaining() const { return size - position; }

    std::uint8_t byte() { return position < size ? data[position++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::uint32_t u32() { return u16() | static_cast<std::uint32_t>(u16()) << 16; }

    //! The next `count` bytes (fewer at the end), pointing into the input.
    std::string_view bytes(std::size_t count) {
        if (count > remaining()) count = remaining();
        std::string_view out(reinterpret_cast<const char*>(data + position), count);
        position += count;
        return out;
    }
    //! A piece whose length comes first (one byte).
    std::string_view shortText() { return bytes(byte()); }
    //! A piece whose length comes first (two bytes).
    std::string_view longText() { return bytes(u16()); }
    //! Everything not read yet.
    std::string_view rest() { return bytes(remaining()); }

  private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};

//! A broken expectation: reported like a crash, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

}  // namespace quavelink::fuzz
