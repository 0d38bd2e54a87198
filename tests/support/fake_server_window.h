#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/input_device_choice.h"
#include "server/server_window.h"

namespace quavelink::test {

//! A main window that remembers what the core told it. Any thread.
class FakeServerWindow : public ServerWindow {
  public:
    struct Status {
        int connectedCount;
        std::optional<std::string> name;  // nullopt: "keep the last name"
    };

    void SetConnectionStatus(int connectedCount, const char* clientName) override {
        std::lock_guard lock(mutex);
        statuses.push_back(
            {connectedCount, clientName ? std::optional<std::string>(clientName) : std::nullopt});
    }
    bool TakeInputDeviceChange(int& index) override { return choice.take(index); }
    void SetCaptureRateText(const std::string& text) override {
        std::lock_guard lock(mutex);
        rateTexts.push_back(text);
    }
    void SetCaptureRateColor(std::uint32_t colorRef) override {
        std::lock_guard lock(mutex);
        rateColors.push_back(colorRef);
    }
    void SetCaptureStatus(const std::string& reason) override {
        std::lock_guard lock(mutex);
        captureStatuses.push_back(reason);
    }
    void SetMeterData(const int* values, int first, int count) override {
        std::lock_guard lock(mutex);
        meterCalls.push_back({std::vector<int>(values, values + count), first});
    }
    void ShowMessageBox(const std::string& text) override {
        std::lock_guard lock(mutex);
        // Death tests read the box from standard error.
        fprintf(stderr, "message box: %s\n", text.c_str());
        messageBoxes.push_back(text);
    }

    template <typename T>
    T read(T FakeServerWindow::*member) {
        std::lock_guard lock(mutex);
        return this->*member;
    }

    struct MeterCall {
        std::vector<int> values;
        int first;
    };

    InputDeviceChoice choice;
    std::vector<Status> statuses;
    std::vector<std::string> rateTexts;
    std::vector<std::uint32_t> rateColors;
    std::vector<std::string> captureStatuses;
    std::vector<MeterCall> meterCalls;
    std::vector<std::string> messageBoxes;

  private:
    std::mutex mutex;
};

}  // namespace quavelink::test
