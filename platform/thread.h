#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <stop_token>

namespace quavelink {

//! Stack size the worker threads ask for.
constexpr std::size_t kWorkerStackBytes = 32768;

//! Starts a detached thread that runs `body` on a stack of `stackBytes` (raised to the
//! system minimum, and for sanitizer builds to what their instrumentation needs), plus a fixed
//! reserve for the system libraries' own use.
//! Returns false when the thread could not be created; `body` is then not run.
bool startDetachedThread(std::function<void()> body, std::size_t stackBytes);

//! A joinable thread on a stack of the same size rules, stopped through the std::stop_token its
//! body is given. Start and stop from one thread.
class WorkerThread {
  public:
    WorkerThread() = default;
    //! Stops the thread (see stop).
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    //! Runs `body` on a new thread. False when the thread could not be created (`body` is then
    //! not run) or one runs already.
    bool start(std::function<void(std::stop_token)> body, std::size_t stackBytes);
    //! Requests the stop and waits for the body to return. Harmless when none runs.
    void stop();
    bool running() const { return started; }

  private:
    std::stop_source stopSource;
    pthread_t thread{};
    bool started = false;
};

}  // namespace quavelink
