#pragma once

#include <cstdint>
#include <string>

namespace quavelink {

//! Colours as 0x00BBGGRR, the form the core hands over.
constexpr std::uint32_t kDisconnectedColor = 0x000040FF;  // red 255, green 64, blue 0
constexpr std::uint32_t kConnectedColor = 0x0000A000;     // red 0, green 160, blue 0

//! Program icons: 128 while a client is connected, 140 while none is.
constexpr int kConnectedIconId = 128;
constexpr int kDisconnectedIconId = 140;

//! What the connection status shows after one client event.
struct ConnectionStatusView {
    std::string text;
    std::uint32_t color;
    int iconId;
};

//! The status text logic: remembers the name of the client that last asked for audio so that
//! a later event without a name can still show it. One thread at a time (the window's).
class ConnectionStatus {
  public:
    //! `clientName` null: keep the remembered name; empty: no name (and forget it). The name
    //! comes from the network: its bytes are shown as they are, cut as connectionStatusText
    //! cuts them.
    ConnectionStatusView update(int clientCount, const char* clientName);

    const std::string& lastClientName() const { return lastName; }

  private:
    std::string lastName;
};

//! The address text for an IPv4 address given as its four bytes in network order: " a.b.c.d",
//! or " (Unknown)" for any loop-back address (127.0.0.0/8; Debian maps the host name to
//! 127.0.1.1, which says as little about the LAN address as 127.0.0.1 does).
std::string formatAddressText(const std::uint8_t (&bytes)[4]);

//! This machine's address as the status shows it: the LAN address of the interfaces that are
//! up (chooseLanAddress), formatted by formatAddressText; " (Unknown)" when only loop-back is
//! up; empty when the interfaces cannot be listed. Main thread; no name service is asked.
std::string GetLocalAddressText();

//! The version as the caption shows it: "2.1" for 2.1.0.0, "2.1.3" for 2.1.3.0, all four
//! parts when the last is not 0.
std::string versionTextFor(int major, int minor, int patch, int tweak);

//! The running program's version text (from the build), e.g. "2.1".
std::string programVersionText();

}  // namespace quavelink
