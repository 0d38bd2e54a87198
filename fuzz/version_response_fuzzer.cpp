// What a web server may answer the version check: a version file, a frame page naming another
// address, or anything else, delivered in pieces as curl hands them on, or a failure.
#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fuzz/settings_dir.h"
#include "settings/settings.h"
#include "versioncheck/version_query.h"
#include "versioncheck/version_rules.h"

namespace {

using namespace quavelink;
using fuzz::check;

class ScriptedHttp : public HttpSession {
  public:
    explicit ScriptedHttp(fuzz::FuzzInput& in) : in(in) {}

    std::optional<std::string> Get(const std::string&, ResponseBuffer& buffer) override {
        ++requests;
        if (in.byte() == 0xEE) return std::string(in.shortText());
        // Pieces until an empty one; a piece the buffer refuses ends the transfer as curl's
        // write callback does.
        for (std::string_view piece = in.longText(); !piece.empty(); piece = in.longText()) {
            if (buffer.append(piece.data(), piece.size()) != ResponseBuffer::AppendResult::Taken) {
                return std::string("Failed writing received data to disk/application");
            }
        }
        return std::nullopt;
    }

    int requests = 0;

  private:
    fuzz::FuzzInput& in;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::usePrivateSettingsFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    // Every input starts as a fresh program whose last check was long ago.
    ResetSettingsToDefaults();
    std::string current(in.shortText());
    ScriptedHttp http(in);
    WebIf web(http, "http://127.0.0.1/version.txt", [] { return std::int64_t{1'700'000'000}; });
    ResponseBuffer buffer;

    bool announce = web.checkVersion(buffer, current);

    check(http.requests >= 1 && http.requests <= 2, "neither one nor two requests");
    check(buffer.size() <= ResponseBuffer::kMaxBytes, "response buffer past its limit");
    if (announce) {
        const std::string& published = GetVersionCheckResponse();
        check(isPlausibleVersion(published), "announced an implausible version");
        check(isPlausibleVersion(current), "announced against an implausible own version");
        check(published != current, "announced the running version");
        check(published.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
              "announced text holds a line break or zero byte");
    }

    // The rules on their own, on the raw bytes.
    std::string_view raw = in.rest();
    if (std::optional<std::string> framed = framedUrl(raw)) {
        check(framed->size() > 7 && framed->find('"') == std::string::npos, "bad framed address");
        check(raw.find(*framed) != std::string_view::npos, "framed address not from the page");
    }
    std::string_view version = publishedVersion(raw);
    check(version.find_first_of("\r\n") == std::string_view::npos, "version holds a line break");
    return 0;
}
