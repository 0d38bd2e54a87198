#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "server/server_thread.h"

namespace quavelink::test {

//! A scripted audio start-up layer: records every call ("stop", "start 2", "retry 0",
//! "probe 2"); starts and retries succeed for the endpoints marked present. Any thread.
class FakeCaptureControl : public CaptureControl {
  public:
    void stopCapture() override {
        std::lock_guard lock(mutex);
        calls.push_back("stop");
        running = false;
        ended = false;
    }
    int startCapture(int listIndex, std::atomic<bool>& streamIs48k) override {
        return open("start ", listIndex, streamIs48k);
    }
    int retryCapture(int listIndex, std::atomic<bool>& streamIs48k) override {
        return open("retry ", listIndex, streamIs48k);
    }
    bool captureEnded() override {
        std::lock_guard lock(mutex);
        return running && ended;
    }
    EndpointState probeEndpoint(int listIndex) override {
        std::lock_guard lock(mutex);
        calls.push_back("probe " + std::to_string(listIndex));
        return stateOf(listIndex);
    }

    //! What the endpoint is now; endpoints never set are present.
    void set(int listIndex, EndpointState state) {
        std::lock_guard lock(mutex);
        states[listIndex] = state;
    }
    //! The running capture ends on its own.
    void end() {
        std::lock_guard lock(mutex);
        ended = true;
    }
    std::vector<std::string> takeCalls() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }

    //! The result of a start on a present endpoint (a format it cannot capture: -2).
    int presentResult = 0;
    //! The result when the sound server is not there, as the audio layer reports it.
    int noServerResult = static_cast<int>(0x88890010u);
    bool startAt48k = true;

  private:
    EndpointState stateOf(int listIndex) {
        auto found = states.find(listIndex);
        return found == states.end() ? EndpointState::Present : found->second;
    }
    int open(const char* what, int listIndex, std::atomic<bool>& streamIs48k) {
        std::lock_guard lock(mutex);
        calls.push_back(what + std::to_string(listIndex));
        switch (stateOf(listIndex)) {
            case EndpointState::NoSoundServer:
                return noServerResult;
            case EndpointState::Gone:
                return -2;
            case EndpointState::Present:
                break;
        }
        if (presentResult != 0) return presentResult;
        streamIs48k = startAt48k;
        running = true;
        ended = false;
        return 0;
    }

    std::mutex mutex;
    std::vector<std::string> calls;
    std::map<int, EndpointState> states;
    bool running = false;
    bool ended = false;
};

}  // namespace quavelink::test
