#include "versioncheck/version_query.h"

#include <chrono>
#include <cstdlib>
#include <string_view>

#include "platform/log.h"
#include "settings/settings.h"
#include "versioncheck/version_rules.h"

namespace quavelink {

std::string versionCheckUrl() {
    const char* value = std::getenv(kVersionUrlVariable);
    if (value != nullptr && value[0] != '\0') return value;
    return kDefaultVersionUrl;
}

std::int64_t systemSecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

WebIf::WebIf(HttpSession& http, std::string url, std::function<std::int64_t()> nowSeconds)
    : http(http), url(std::move(url)), nowSeconds(std::move(nowSeconds)) {}

bool WebIf::checkVersion(ResponseBuffer& buffer, const std::string& current) {
    std::int64_t now = minutesFromSeconds(nowSeconds());
    if (checkedRecently(GetVersionCheckTime(), now)) return false;
    // Stored before asking, so that a server that fails or hangs is not asked again at every
    // start.
    SetVersionCheckTime(static_cast<int>(now));

    if (std::optional<std::string> error = http.Get(url, buffer)) {
        logLine("WebIf::checkVersion: curl_easy_perform() failed: %s\n", error->c_str());
        return false;
    }
    if (std::optional<std::string> framed = framedUrl(responseText(buffer.bytes()))) {
        // Emptied, not just rewound: a short or empty framed file must not be read together
        // with what is left of the frame page.
        buffer.clear();
        if (std::optional<std::string> error = http.Get(*framed, buffer)) {
            logLine("WebIf::checkVersion: Second curl_easy_perform() failed: %s\n", error->c_str());
            return false;
        }
    }

    std::string_view published = publishedVersion(responseText(buffer.bytes()));
    auto received = static_cast<unsigned long>(buffer.size());
    auto length = static_cast<unsigned long>(published.size());
    if (!isPlausibleVersion(published) || !isPlausibleVersion(current)) {
        logLine("WebIf::checkVersion: %lu bytes retrieved (%lu)\n", received, length);
        return false;
    }
    std::string publishedText(published);
    logLine("WebIf::checkVersion: %lu bytes retrieved (%lu): %s (%s)\n", received, length,
            publishedText.c_str(), current.c_str());
    // Any difference counts, not only a higher number: a withdrawn release is news as well.
    if (publishedText == current) return false;
    logLine("WebIf::checkVersion: A new version of QuaveLink Server is available\n");
    if (publishedText == GetVersionCheckResponse()) return false;
    SetVersionCheckResponse(publishedText);
    return true;
}

}  // namespace quavelink
