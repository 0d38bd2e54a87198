#include "versioncheck/version_rules.h"

namespace quavelink {

bool checkedRecently(std::int64_t lastCheckMinutes, std::int64_t nowMinutes) {
    // 64-bit on purpose: the stored value comes from a file a user can edit, and adding the
    // interval to a huge 32-bit value must not wrap.
    return lastCheckMinutes <= nowMinutes &&
           nowMinutes < lastCheckMinutes + kVersionCheckIntervalMinutes;
}

std::int64_t minutesFromSeconds(std::int64_t secondsSinceEpoch) { return secondsSinceEpoch / 60; }

std::optional<std::string> framedUrl(std::string_view response) {
    if (response.size() <= 15) return std::nullopt;
    std::size_t frame = response.find("frame src");
    if (frame == std::string_view::npos) return std::nullopt;
    std::size_t open = response.find('"', frame + 9);
    if (open == std::string_view::npos) return std::nullopt;
    std::size_t close = response.find('"', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    if (close - open - 1 <= 7) return std::nullopt;
    return std::string(response.substr(open + 1, close - open - 1));
}

std::string_view publishedVersion(std::string_view response) {
    std::size_t start = response.find_first_not_of("\r\n");
    if (start == std::string_view::npos) return {};
    std::size_t end = response.find_first_of("\r\n", start);
    return response.substr(start, end == std::string_view::npos ? end : end - start);
}

bool isPlausibleVersion(std::string_view text) {
    return text.size() >= 3 && text.size() <= 10 && text[0] >= '0' && text[0] <= '9';
}

std::string_view responseText(const std::string& bytes) {
    std::string_view text(bytes);
    return text.substr(0, text.find('\0'));
}

}  // namespace quavelink
