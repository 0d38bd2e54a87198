#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace quavelink {
namespace {

std::mutex observerMutex;
std::function<void(const std::string&)> logObserver;

void writeLine(FILE* stream, const char* format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    fputs(text, stream);
    std::lock_guard lock(observerMutex);
    if (logObserver) logObserver(text);
}

}  // namespace

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeLine(stdout, format, args);
    va_end(args);
}

void logErrorLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeLine(stderr, format, args);
    va_end(args);
}

void setLogObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard lock(observerMutex);
    logObserver = std::move(observer);
}

}  // namespace quavelink
