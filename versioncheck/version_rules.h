#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The rules of the version check that need neither the network nor the settings store: when a
// check is due, how the published version is read from what the web server sent, and when a
// version text is believable enough to be compared at all.

namespace quavelink {

//! Minimum distance between two checks: 8 hours, in minutes.
constexpr std::int64_t kVersionCheckIntervalMinutes = 480;

//! Whether a check attempted at `lastCheckMinutes` (minutes since 1970-01-01 00:00 UTC) was
//! less than 8 hours before `nowMinutes`. A last check in the future does not count, so a clock
//! that was once set ahead cannot stop the checks for good.
bool checkedRecently(std::int64_t lastCheckMinutes, std::int64_t nowMinutes);

//! The whole minutes since 1970-01-01 00:00 UTC of a time in seconds since then.
std::int64_t minutesFromSeconds(std::int64_t secondsSinceEpoch);

//! Some web hosts answer with a page that frames the real file. When `response` is longer than
//! 15 bytes and holds `frame src` followed by a double-quoted text of more than 7 characters,
//! returns that text (the framed file's address); otherwise nothing.
std::optional<std::string> framedUrl(std::string_view response);

//! The published version: the first run of characters other than carriage return and line
//! feed (leading line breaks are skipped). Empty when there is none.
std::string_view publishedVersion(std::string_view response);

//! Whether `text` can be a version number: 3 to 10 characters, the first a decimal digit.
bool isPlausibleVersion(std::string_view text);

//! The text of a response as the version rules see it: up to its first zero byte, as a file
//! that should hold plain text is read.
std::string_view responseText(const std::string& bytes);

}  // namespace quavelink
