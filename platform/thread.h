#pragma once

#include <cstddef>
#include <functional>

namespace quavelink {

//! Stack size the worker threads ask for.
constexpr std::size_t kWorkerStackBytes = 32768;

//! Starts a detached thread that runs `body` on a stack of `stackBytes` (raised to the
//! system minimum, and for sanitizer builds to what their instrumentation needs), plus a fixed
//! reserve for the system libraries' own use.
//! Returns false when the thread could not be created; `body` is then not run.
bool startDetachedThread(std::function<void()> body, std::size_t stackBytes);

}  // namespace quavelink
