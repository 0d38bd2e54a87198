#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quavelink::test {

//! A program the test runs, its standard output kept in a file. Killed when destroyed.
class ChildProcess {
  public:
    //! Starts `arguments` (the first is the program path) with `extraEnvironment` entries
    //! ("NAME=value") added. Standard input is /dev/null unless `pipeInput` (then use `send`).
    //! With `closedOutput`, standard output is a pipe whose reader is already gone, as after
    //! `| head` has read its lines: every write to it fails (or raises SIGPIPE).
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& extraEnvironment = {}, bool pipeInput = false,
                 bool closedOutput = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    //! Writes `text` to the program's standard input.
    void send(const std::string& text);
    //! Waits up to `limit` for the program to end; its exit status, or nothing (still running).
    std::optional<int> wait(std::chrono::milliseconds limit);
    //! Sends SIGTERM and waits for the end.
    std::optional<int> stop();
    //! Sends `signal` (SIGKILL...) to the program, unless it has ended.
    void sendSignal(int signal);
    //! Stops the program with SIGSTOP and waits up to 10 s until it is stopped, so that every
    //! system call it made is complete; false when it did not stop. `resume` lets it go on.
    bool pause();
    void resume();
    //! Waits up to `limit` until standard output holds `text`.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
    //! Everything written to standard output so far.
    std::string output() const;
    //! Everything written to standard error so far.
    std::string errors() const;

  private:
    pid_t pid = -1;
    int inputFd = -1;
    std::string outPath, errPath;
    std::optional<int> exitStatus;
};

//! Whether this process runs in a network namespace of its own, with nothing but loopback.
bool inPrivateNetwork();

//! The value of `key` ("received" for "received=123") in the last line of `text` starting with
//! `linePrefix`; nothing when absent.
std::optional<std::string> fieldOf(const std::string& text, const std::string& linePrefix,
                                   const std::string& key);

}  // namespace quavelink::test
