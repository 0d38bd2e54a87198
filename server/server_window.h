#pragma once

#include <cstdint>
#include <string>

#include "platform/message_box.h"

namespace quavelink {

//! What the streaming core needs of the main window. The Qt window, the headless host and the
//! tests implement it; the core never sees a widget.
class ServerWindow : public MessageBoxHost {
  public:
    //! The network host's owner (HostOwner: the capture thread while a capture runs, otherwise
    //! the server thread), on client connect, disconnect and Data request. `clientName` null keeps
    //! the name shown last. A name comes from the network, made harmless by
    //! displayableClientName (at most 255 bytes, no control characters, valid UTF-8); it is
    //! still shown as plain text only, never as markup or a format.
    virtual void SetConnectionStatus(int connectedCount, const char* clientName) = 0;

    //! Server thread, every 500 ms. Returns whether an endpoint was chosen since the last call
    //! (and clears that mark); always writes the chosen endpoint's list index to `index`.
    virtual bool TakeInputDeviceChange(int& index) = 0;

    //! Server thread: the capture rate text (" 48.0 kHz", or empty after a failed start).
    virtual void SetCaptureRateText(const std::string& text) = 0;
    //! Server thread: that text's colour as 0x00BBGGRR, then a repaint.
    virtual void SetCaptureRateColor(std::uint32_t colorRef) = 0;
    //! Server thread: why no capture runs ("No sound server", "Device gone", ...), shown in
    //! place of the rate while the capture is being tried again; empty once it runs.
    virtual void SetCaptureStatus(const std::string& reason) { (void)reason; }

    //! Capture thread: level values for the meter bands first..first+count-1. Never blocks
    //! for long (the meter's own short lock).
    virtual void SetMeterData(const int* values, int first, int count) = 0;
};

}  // namespace quavelink
