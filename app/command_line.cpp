#include "app/command_line.h"

#include <string_view>

#include "quavelink_version.h"

namespace quavelink {

TerminalRequest terminalRequest(int argc, const char* const* argv) {
    TerminalRequest request = TerminalRequest::None;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "-h" || arg == "--help") return TerminalRequest::Help;
        if (arg == "--version") request = TerminalRequest::Version;
    }
    return request;
}

const char* serverUsage() {
    return "Usage: quavelink-server [options]\n"
           "Streams what this PC plays (or a microphone or line-in) live to QuaveLink clients on\n"
           "the local network, with a window, a tray icon and global hot keys. Only one copy runs\n"
           "per user; a second start shows a message and ends.\n"
           "\n"
           "Options:\n"
           "  -h, --help     show this text and exit\n"
           "      --version  show the version and exit\n"
           "Qt's own options, such as -platform NAME or -display DISPLAY, go to Qt.\n"
           "\n"
           "Environment:\n"
           "  QUAVELINK_SERVER_PORT         server port (discovery listens one above)\n"
           "  QUAVELINK_SERVER_CONSOLE      1 or on: diagnostics in a log window (Ctrl+D)\n"
           "  QUAVELINK_SERVER_NOSILENCE    1 or on: no silence keep-alive stream\n"
           "  QUAVELINK_SERVER_NOWARN_48K   1 or on: no 48 kHz advice\n"
           "  QUAVELINK_SERVER_VERSION_URL  where the version check asks\n";
}

const char* serverVersionLine() { return "quavelink-server " QUAVELINK_VERSION_TEXT "\n"; }

}  // namespace quavelink
