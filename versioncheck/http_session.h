#pragma once

#include <memory>
#include <optional>
#include <string>

#include "versioncheck/response_buffer.h"

namespace quavelink {

//! One HTTP(S) client session: successive GETs may reuse its connection. Used by one thread at
//! a time (the version-check thread).
class HttpSession {
  public:
    virtual ~HttpSession() = default;

    //! Fetches `url`, following up to 5 redirects, and appends the body to `buffer` as it
    //! arrives. Returns nothing on success, else the reason of the failure; an HTTP status of
    //! 400 or above is a failure. Only http and https addresses are fetched, also when a
    //! redirect names another scheme.
    virtual std::optional<std::string> Get(const std::string& url, ResponseBuffer& buffer) = 0;
};

//! The session over libcurl's easy interface; the user agent is "libcurl-agent/1.0". Needs
//! curl_global_init to have run (startVersionCheckThread does that). Its first Get creates the
//! easy handle; the handle lives as long as the session.
std::unique_ptr<HttpSession> makeCurlHttpSession();

}  // namespace quavelink
