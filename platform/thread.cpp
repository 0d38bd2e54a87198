#include "thread.h"

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <memory>

namespace quavelink {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kInstrumentedStackBytes = 1 << 20;
#else
constexpr std::size_t kInstrumentedStackBytes = 0;
#endif

// Linux takes the threads' static TLS out of the requested stack, and the system libraries a
// worker calls need far more than the 32 KiB of its own work: PulseAudio's client library alone
// formats a log line (even one it then drops) in a large stack buffer while it reads its
// configuration. Without this reserve the server thread overflowed as soon as one more shared
// library joined the process.
constexpr std::size_t kSystemLibraryReserve = 32 * 1024;

void* runBody(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

bool createThread(std::function<void()> body, std::size_t stackBytes, bool detached,
                  pthread_t& thread) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    std::size_t size = std::max({stackBytes, static_cast<std::size_t>(PTHREAD_STACK_MIN),
                                 kInstrumentedStackBytes}) +
                       kSystemLibraryReserve;
    pthread_attr_setstacksize(&attr, size);
    if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* owned = new std::function<void()>(std::move(body));
    int result = pthread_create(&thread, &attr, runBody, owned);
    pthread_attr_destroy(&attr);
    if (result != 0) {
        delete owned;
        return false;
    }
    return true;
}

}  // namespace

bool startDetachedThread(std::function<void()> body, std::size_t stackBytes) {
    pthread_t thread;
    return createThread(std::move(body), stackBytes, true, thread);
}

WorkerThread::~WorkerThread() { stop(); }

bool WorkerThread::start(std::function<void(std::stop_token)> body, std::size_t stackBytes) {
    if (started) return false;
    stopSource = std::stop_source();
    started =
        createThread([body = std::move(body), token = stopSource.get_token()] { body(token); },
                     stackBytes, false, thread);
    return started;
}

void WorkerThread::stop() {
    if (!started) return;
    stopSource.request_stop();
    pthread_join(thread, nullptr);
    started = false;
}

}  // namespace quavelink
