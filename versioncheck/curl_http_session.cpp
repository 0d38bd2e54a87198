#include <curl/curl.h>

#include "platform/log.h"
#include "versioncheck/http_session.h"

namespace quavelink {
namespace {

// A server that accepts the connection and then stalls would otherwise hold the thread and its
// connection for the rest of the process's life.
constexpr long kTransferTimeoutSeconds = 120;

// libcurl calls this on the version-check thread; nothing may throw through it.
extern "C" size_t writeResponse(char* data, size_t size, size_t count, void* userData) noexcept {
    auto* buffer = static_cast<ResponseBuffer*>(userData);
    // libcurl never hands over more than CURL_MAX_WRITE_SIZE at once, so this cannot wrap.
    size_t bytes = size * count;
    switch (buffer->append(data, bytes)) {
        case ResponseBuffer::AppendResult::Taken:
            return bytes;
        case ResponseBuffer::AppendResult::TooLarge:
            logLine("WebIf::checkVersion: response larger than %zu bytes, transfer stopped\n",
                    ResponseBuffer::kMaxBytes);
            return 0;
        case ResponseBuffer::AppendResult::OutOfMemory:
            logLine("not enough memory (realloc returned NULL)\n");
            return 0;
    }
    return 0;
}

class CurlHttpSession : public HttpSession {
  public:
    ~CurlHttpSession() override {
        if (handle != nullptr) curl_easy_cleanup(handle);
    }

    std::optional<std::string> Get(const std::string& url, ResponseBuffer& buffer) override {
        if (handle == nullptr && !open()) return std::string("curl_easy_init() failed");
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &buffer);
        CURLcode result = curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        if (result == CURLE_OK) result = curl_easy_perform(handle);
        if (result != CURLE_OK) return std::string(curl_easy_strerror(result));
        return std::nullopt;
    }

  private:
    bool open() {
        handle = curl_easy_init();
        if (handle == nullptr) return false;
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeResponse);
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "libcurl-agent/1.0");
        // The address of the second request comes out of a downloaded page, and redirects
        // come from the server: neither may make the program read local files or speak
        // other protocols.
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
        // Signals belong to the whole process; a worker thread must not take them over.
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        return true;
    }

    CURL* handle = nullptr;
};

}  // namespace

std::unique_ptr<HttpSession> makeCurlHttpSession() { return std::make_unique<CurlHttpSession>(); }

}  // namespace quavelink
