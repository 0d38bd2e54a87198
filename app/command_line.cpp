#include "app/command_line.h"

#include <array>
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

namespace {

// Qt's own command-line options (QGuiApplication, QApplication and the X11 platform), which
// Qt takes out of the command line itself.
constexpr std::array<std::string_view, 16> kQtOptionsWithValue = {
    "platform",        "platformpluginpath",
    "platformtheme",   "plugin",
    "qwindowgeometry", "qwindowicon",
    "qwindowtitle",    "session",
    "display",         "geometry",
    "title",           "name",
    "visual",          "style",
    "stylesheet",      "qmljsdebugger"};
constexpr std::array<std::string_view, 5> kQtFlags = {"reverse", "widgetcount", "nograb", "dograb",
                                                      "sync"};

bool contains(const auto& list, std::string_view word) {
    for (std::string_view entry : list) {
        if (entry == word) return true;
    }
    return false;
}

// The option's name without its dashes and "=value", or empty when `arg` is no option.
std::string_view optionName(std::string_view arg) {
    if (arg.size() < 2 || arg[0] != '-') return {};
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    return arg.substr(0, arg.find('='));
}

// The value of Qt option `name` on the command line, or nothing.
std::optional<std::string> qtOption(int argc, const char* const* argv, std::string_view name) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") break;
        if (optionName(arg) != name) continue;
        if (auto equals = arg.find('='); equals != std::string_view::npos) {
            return std::string(arg.substr(equals + 1));
        }
        if (i + 1 < argc) return std::string(argv[i + 1]);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> unknownArgument(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "-h" || arg == "--help" || arg == "--version") continue;
        std::string_view name = optionName(arg);
        if (contains(kQtFlags, name)) continue;
        if (contains(kQtOptionsWithValue, name)) {
            if (arg.find('=') == std::string_view::npos) ++i;
            continue;
        }
        return std::string(arg);
    }
    return std::nullopt;
}

std::optional<std::string> missingDisplayLine(int argc, const char* const* argv,
                                              const EnvironmentLookup& environment) {
    auto set = [&](const char* name) {
        const char* value = environment(name);
        return value != nullptr && value[0] != '\0';
    };
    const bool x11 = set("DISPLAY") || qtOption(argc, argv, "display");
    const bool wayland = set("WAYLAND_DISPLAY");
    std::optional<std::string> platforms = qtOption(argc, argv, "platform");
    if (!platforms && set("QT_QPA_PLATFORM")) platforms = environment("QT_QPA_PLATFORM");
    std::string why;
    if (!platforms || platforms->empty()) {
        if (x11 || wayland) return std::nullopt;
        why = "neither DISPLAY nor WAYLAND_DISPLAY is set";
    } else {
        // Qt tries a ';'-separated list in order; a name may carry ":options".
        std::string_view list = *platforms;
        while (!list.empty()) {
            std::string_view entry = list.substr(0, list.find(';'));
            list.remove_prefix(std::min(list.size(), entry.size() + 1));
            std::string_view name = entry.substr(0, entry.find(':'));
            bool isX11 = name == "xcb";
            bool isWayland = name.rfind("wayland", 0) == 0;
            if ((isX11 && x11) || (isWayland && wayland) || (!isX11 && !isWayland)) {
                return std::nullopt;
            }
        }
        why = "the platform \"" + *platforms + "\" needs a display and none is set";
    }
    return "quavelink-server: no display to open the window on (" + why +
           "); without a desktop, run quavelink-serverd, the same server without a window";
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
           "Without a display (over ssh, on a text console) it says so and ends: run\n"
           "quavelink-serverd there, the same server without a window.\n"
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
