#include "headless/headless_window.h"

#include "platform/log.h"
#include "server/connection_status_text.h"

namespace quavelink {

void HeadlessWindow::SetConnectionStatus(int connectedCount, const char* clientName) {
    // The sessions hand over names already cut and free of control characters.
    logLine("Status:%s\n",
            connectionStatusText(connectedCount, clientName, lastClientName).c_str());
}

void HeadlessWindow::SetCaptureRateText(const std::string& text) {
    {
        std::lock_guard lock(mutex);
        rateText = text;
    }
    if (text.empty()) {
        logLine("Not capturing\n");
    } else {
        logLine("Capturing at%s\n", text.c_str());
    }
}

void HeadlessWindow::SetCaptureStatus(const std::string& reason) {
    if (!reason.empty()) logLine("Not capturing: %s\n", reason.c_str());
}

std::string HeadlessWindow::captureRateText() {
    std::lock_guard lock(mutex);
    return rateText;
}

void HeadlessWindow::ShowMessageBox(const std::string& text) {
    logLine("Message: %s%s", text.c_str(), !text.empty() && text.back() == '\n' ? "" : "\n");
}

}  // namespace quavelink
