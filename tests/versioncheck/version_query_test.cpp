#include "versioncheck/version_query.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <fstream>

#include "local_http_server.h"
#include "support/log_capture.h"
#include "version_check_fixture.h"

namespace quavelink {
namespace {

using Paths = std::vector<std::string>;

constexpr std::int64_t kStartSeconds = 1'700'000'000;
constexpr int kStartMinutes = static_cast<int>(kStartSeconds / 60);
constexpr std::int64_t kHour = 3600;
const char kNewLine[] = "WebIf::checkVersion: A new version of QuaveLink Server is available\n";
const char kHttpError[] = "HTTP response code said error\n";

class CheckVersion : public test::VersionCheckTest {
  protected:
    static void SetUpTestSuite() {
        VersionCheckTest::SetUpTestSuite();
        curl_global_init(CURL_GLOBAL_ALL);
    }

    // One check as a run of the program makes it, `secondsLater` after kStartSeconds.
    bool check(std::int64_t secondsLater = 0, const std::string& current = "2.1") {
        std::unique_ptr<HttpSession> http = makeCurlHttpSession();
        WebIf web(*http, server.url("/v.txt"), [=] { return kStartSeconds + secondsLater; });
        ResponseBuffer buffer;
        return web.checkVersion(buffer, current);
    }

    // `body` as the published file, checked with a fresh store.
    bool checkPublished(const std::string& body, const std::string& current = "2.1") {
        SetUp();
        server.serve("/v.txt", {200, body});
        return check(0, current);
    }

    std::string framePage(const std::string& target) {
        return "<html><frameset rows=\"100%\"><frame src=\"" + target + "\"></frameset></html>\n";
    }

    test::LocalHttpServer server;
    test::LogCapture log;
};

TEST_F(CheckVersion, AnyOtherVersionIsAnnouncedOnceAcrossRestarts) {
    EXPECT_FALSE(checkPublished("2.1\r\n"));
    EXPECT_EQ(log.count("WebIf::checkVersion: 5 bytes retrieved (3): 2.1 (2.1)\n"), 1);
    EXPECT_EQ(log.count(kNewLine), 0);

    EXPECT_TRUE(checkPublished("2.0\r\n")) << "an older release is news as well";

    EXPECT_TRUE(checkPublished("2.2\r\n"));
    EXPECT_EQ(log.count("WebIf::checkVersion: 5 bytes retrieved (3): 2.2 (2.1)\n"), 1);
    restart();
    EXPECT_EQ(GetVersionCheckResponse(), "2.2");
    EXPECT_FALSE(check(9 * kHour));
    EXPECT_EQ(log.count(kNewLine), 3) << "still logged, only not announced again";

    server.serve("/v.txt", {200, "2.3\r\n"});
    restart();
    EXPECT_TRUE(check(18 * kHour));
    EXPECT_EQ(GetVersionCheckResponse(), "2.3");
}

TEST_F(CheckVersion, OnlyPlausibleVersionTextsAreCompared) {
    EXPECT_FALSE(checkPublished("2.2.0.0.01a\r\n")) << "11 characters";
    EXPECT_EQ(log.count("WebIf::checkVersion: 13 bytes retrieved (11)\n"), 1);
    EXPECT_FALSE(checkPublished("v2.2\r\n"));
    EXPECT_FALSE(checkPublished("22\n"));
    EXPECT_FALSE(checkPublished("\r\n\r\n"));
    EXPECT_EQ(log.count("WebIf::checkVersion: 4 bytes retrieved (0)\n"), 1);
    EXPECT_FALSE(checkPublished("2.2\r\n", "2.1-local-build")) << "the running one too";
    EXPECT_EQ(log.count(kNewLine), 0);

    EXPECT_TRUE(checkPublished("\n\n2.2.0.0.01\nrelease notes\n")) << "10 characters";
    EXPECT_EQ(GetVersionCheckResponse(), "2.2.0.0.01");
}

TEST_F(CheckVersion, FramePageLeadsToTheRealFile) {
    server.serve("/v.txt", {200, framePage(server.url("/real/cur_version.txt"))});
    server.serve("/real/cur_version.txt", {200, "2.2\r\n"});
    EXPECT_TRUE(check());
    EXPECT_EQ(server.requestedPaths(), (Paths{"/v.txt", "/real/cur_version.txt"}));
    EXPECT_EQ(log.count("WebIf::checkVersion: 5 bytes retrieved (3): 2.2 (2.1)\n"), 1);

    // A quoted text of 7 characters is too short to be an address: read as it is.
    EXPECT_TRUE(checkPublished("2.4\r\n<frame src=\"a.b/c.d\">\r\n"));
    EXPECT_EQ(server.requestedPaths().size(), 3u);
}

TEST_F(CheckVersion, EmptyFramedFileIsNotMistakenForTheFramePage) {
    // The frame page itself starts like a version: nothing of it may be read afterwards.
    server.serve("/v.txt", {200, "2.5\n" + framePage(server.url("/empty.txt"))});
    server.serve("/empty.txt", {200, ""});
    EXPECT_FALSE(check());
    EXPECT_EQ(log.count("WebIf::checkVersion: 0 bytes retrieved (0)\n"), 1);
}

TEST_F(CheckVersion, FailuresAreOnlyLoggedAndStillStartTheEightHours) {
    EXPECT_FALSE(check());  // nothing served: 404
    EXPECT_EQ(
        log.count(std::string("WebIf::checkVersion: curl_easy_perform() failed: ") + kHttpError),
        1);
    EXPECT_EQ(GetVersionCheckTime(), kStartMinutes);

    server.serve("/v.txt", {200, framePage(server.url("/gone.txt"))});
    EXPECT_FALSE(check(8 * kHour));
    EXPECT_EQ(log.count(std::string("WebIf::checkVersion: Second curl_easy_perform() failed: ") +
                        kHttpError),
              1);

    // A frame page may not make the program read its own files.
    std::filesystem::path planted = configHome / "planted.txt";
    std::ofstream(planted) << "9.9\r\n";
    server.serve("/v.txt", {200, framePage("file://" + planted.string())});
    EXPECT_FALSE(check(16 * kHour));
    EXPECT_EQ(log.count("WebIf::checkVersion: Second curl_easy_perform() failed: "
                        "Unsupported protocol\n"),
              1);

    server.serve("/v.txt", {200, std::string(ResponseBuffer::kMaxBytes + 1, '7')});
    EXPECT_FALSE(check(24 * kHour));
    EXPECT_EQ(log.count("WebIf::checkVersion: response larger than 1048576 bytes, transfer "
                        "stopped\n"),
              1);
    EXPECT_EQ(GetVersionCheckResponse(), "");
}

TEST_F(CheckVersion, AtMostOneRequestInEightHoursCountedFromTheLastAttempt) {
    server.serve("/v.txt", {200, "2.1\r\n"});
    SetVersionCheckTime(kStartMinutes + 60);
    EXPECT_FALSE(check());
    EXPECT_EQ(server.requestedPaths().size(), 1u) << "a last check in the future never blocks";

    restart();
    EXPECT_FALSE(check(8 * kHour - 60));
    EXPECT_EQ(server.requestedPaths().size(), 1u) << "479 minutes later: no request";
    EXPECT_EQ(GetVersionCheckTime(), kStartMinutes);

    restart();
    EXPECT_FALSE(check(8 * kHour));
    EXPECT_EQ(server.requestedPaths().size(), 2u) << "480 minutes later: asked again";
    EXPECT_EQ(GetVersionCheckTime(), kStartMinutes + 480);
}

}  // namespace
}  // namespace quavelink
