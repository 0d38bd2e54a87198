#pragma once

#include <mutex>
#include <string>

#include "server/input_device_choice.h"
#include "server/server_window.h"

namespace quavelink {

//! The main window of a server without a display: what a window would show becomes status
//! lines on standard output, and a message box is written to the log and answered OK at once.
class HeadlessWindow : public ServerWindow {
  public:
    //! The network host's owner (HostOwner).
    void SetConnectionStatus(int connectedCount, const char* clientName) override;
    //! Server thread.
    bool TakeInputDeviceChange(int& index) override { return choice.take(index); }
    void SetCaptureRateText(const std::string& text) override;
    void SetCaptureRateColor(std::uint32_t) override {}
    void SetCaptureStatus(const std::string& reason) override;
    //! Capture thread; there is no meter to feed.
    void SetMeterData(const int*, int, int) override {}
    //! Any thread.
    void ShowMessageBox(const std::string& text) override;

    //! The capture rate text shown last (" 48.0 kHz", or empty). Any thread.
    std::string captureRateText();

    //! The endpoint chosen for capture; the server thread picks it up.
    InputDeviceChoice choice;

  private:
    std::mutex mutex;
    std::string lastClientName;  // the network host's owner only
    std::string rateText;        // guarded by mutex
};

}  // namespace quavelink
