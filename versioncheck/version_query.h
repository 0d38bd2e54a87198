#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "versioncheck/http_session.h"
#include "versioncheck/response_buffer.h"

namespace quavelink {

//! The program's web site: what the notification offers to open and names.
constexpr char kVersionWebSite[] = "https://www.quavelink.net/";
//! Where the number of the current release is published, as one line of text.
constexpr char kDefaultVersionUrl[] =
    "https://www.quavelink.net/QuaveLinkData/cur_version_linux.txt";
//! Names the environment variable that replaces kDefaultVersionUrl (tests point it at a server
//! of their own).
constexpr char kVersionUrlVariable[] = "QUAVELINK_SERVER_VERSION_URL";

//! The version file's address: QUAVELINK_SERVER_VERSION_URL when it is set and not empty,
//! else kDefaultVersionUrl.
std::string versionCheckUrl();

//! Seconds since 1970-01-01 00:00 UTC from the system clock.
std::int64_t systemSecondsSinceEpoch();

//! Asks the web server for the current release and decides whether the user is to hear of it.
class WebIf {
  public:
    //! `http` must outlive this object. `nowSeconds` gives seconds since 1970-01-01 UTC.
    WebIf(HttpSession& http, std::string url,
          std::function<std::int64_t()> nowSeconds = systemSecondsSinceEpoch);

    //! Version-check thread (it owns the settings VersionCheckTime and VersionCheckResponse).
    //! At most one request every 8 hours, counted from the last attempt, which is stored before
    //! the request goes out. Returns true when the published version differs from `current`
    //! and has not been announced before; it is then stored as announced, so the user hears of
    //! each version once. Every outcome is logged; failures return false. `buffer` receives the
    //! response.
    bool checkVersion(ResponseBuffer& buffer, const std::string& current);

  private:
    HttpSession& http;
    std::string url;
    std::function<std::int64_t()> nowSeconds;
};

}  // namespace quavelink
