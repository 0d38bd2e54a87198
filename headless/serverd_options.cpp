#include "headless/serverd_options.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

#include "quavelink_version.h"

namespace quavelink {
namespace {

// The MP3 bit rates the save dialog offers, in kbit/s; 0 is VBR.
constexpr std::array<int, 7> kMp3BitRates{64, 128, 160, 192, 224, 320, 0};

std::optional<int> wholeNumber(std::string_view text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

const char* serverdUsage() {
    return "Usage: quavelink-serverd [options]\n"
           "Streams what this PC plays (or an input) to QuaveLink clients, without a window.\n"
           "  -d, --device INDEX|NAME  capture endpoint by list index or list text\n"
           "                           (default: the one chosen last, else the default device)\n"
           "  -l, --list               list the capture endpoints and exit\n"
           "  -r, --record FILE        record the stream into FILE (.wav, or .mp3)\n"
           "      --kbps N             MP3 bit rate: 64, 128, 160, 192, 224, 320, or 0 for VBR\n"
           "  -h, --help               show this text\n"
           "      --version            show the version\n"
           "Stops cleanly on SIGINT, SIGTERM or SIGHUP, finishing a running recording.\n"
           "QUAVELINK_SERVER_PORT sets the server port (discovery listens one above).\n";
}

const char* serverdVersionLine() { return "quavelink-serverd " QUAVELINK_VERSION_TEXT "\n"; }

ServerdOptions parseServerdOptions(int argc, const char* const* argv) {
    ServerdOptions options;
    for (int i = 1; i < argc && options.error.empty(); ++i) {
        std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                options.error = std::string(arg) + " needs a value";
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "-l" || arg == "--list") {
            options.listDevices = true;
        } else if (arg == "-d" || arg == "--device") {
            options.device = value();
        } else if (arg == "-r" || arg == "--record") {
            if (auto path = value()) {
                options.recordPath = *path;
                if (path->empty()) options.error = std::string(arg) + " needs a file name";
            }
        } else if (arg == "--kbps") {
            auto text = value();
            if (!text) break;
            auto kbps = wholeNumber(*text);
            if (!kbps ||
                std::find(kMp3BitRates.begin(), kMp3BitRates.end(), *kbps) == kMp3BitRates.end()) {
                options.error = "--kbps takes 64, 128, 160, 192, 224, 320 or 0";
            } else {
                options.mp3Kbps = *kbps;
            }
        } else {
            options.error = "unknown option " + std::string(arg);
        }
    }
    return options;
}

std::optional<int> chooseEndpoint(const std::vector<std::string>& names,
                                  const std::optional<std::string>& option,
                                  const std::string& stored, std::string& error) {
    auto byName = [&](const std::string& name) -> std::optional<int> {
        auto found = std::find(names.begin(), names.end(), name);
        if (found == names.end()) return std::nullopt;
        return static_cast<int>(found - names.begin());
    };
    if (option) {
        if (auto index = wholeNumber(*option)) {
            if (*index >= 0 && *index < static_cast<int>(names.size())) return *index;
        } else if (auto index = byName(*option)) {
            return *index;
        }
        error = "no capture endpoint \"" + *option + "\" (see --list)";
        return std::nullopt;
    }
    return byName(stored).value_or(0);
}

bool isMp3Path(const std::string& path) {
    return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".mp3") == 0;
}

}  // namespace quavelink
