#pragma once

#include <functional>
#include <string>

namespace quavelink {

//! Writes one diagnostic line (printf format, the caller supplies any line feed) to standard
//! output. Any thread.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

//! Same as logLine, to standard error.
void logErrorLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

//! Hands every line written from now on to `observer` as well (nullptr removes it).
//! Meant for tests; any thread.
void setLogObserver(std::function<void(const std::string&)> observer);

}  // namespace quavelink
