#pragma once

#include <utility>

namespace quavelink {

//! Logs, once per `where` for the process, that a sound server callback failed.
void logCallbackFailure(const char* where) noexcept;

//! The shape of every sound server callback body: `body` runs; an exception stops here (it must
//! not unwind through the sound server's C library), is logged once per `where`, and sets
//! `failed`.
template <typename Body>
void runGuarded(const char* where, bool& failed, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        failed = true;
        logCallbackFailure(where);
    }
}

}  // namespace quavelink
