#include "versioncheck/version_check_thread.h"

#include <gtest/gtest.h>

#include <future>

#include "local_http_server.h"
#include "support/log_capture.h"
#include "version_check_fixture.h"
#include "versioncheck/version_query.h"

namespace quavelink {
namespace {

using Texts = std::vector<std::string>;

constexpr VersionCheckTiming kNoWaits{std::chrono::milliseconds(0), std::chrono::milliseconds(1)};

const std::string kQuestion =
    "Version Notification|A new version of QuaveLink Server is available. Would you like to "
    "download it now?";
const std::string kDeclined =
    "Please visit https://www.quavelink.net/ at some future time to get the new version. You "
    "will not be notified about this version again.";

// A window and desktop that note what the check asks of them.
class FakeHost : public VersionCheckHost, public MessageBoxHost {
  public:
    bool IsWindowHidden() override {
        std::lock_guard lock(mutex);
        return ++hiddenLooks <= hiddenFor;
    }
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        std::lock_guard lock(mutex);
        asked.push_back(caption + "|" + text);
        return answerYes;
    }
    void OpenWebSite(const std::string& url) override {
        std::lock_guard lock(mutex);
        opened.push_back(url);
    }
    void ShowMessageBox(const std::string& text) override {
        {
            std::lock_guard lock(mutex);
            boxes.push_back(text);
        }
        boxShown.set_value();
    }

    std::mutex mutex;
    int hiddenFor = 0;
    int hiddenLooks = 0;
    bool answerYes = false;
    Texts asked, opened, boxes;
    std::promise<void> boxShown;
};

// Hands out one body and notes how often the window had been looked at by then.
class ScriptedHttp : public HttpSession {
  public:
    ScriptedHttp(FakeHost& host, std::string body) : host(host), body(std::move(body)) {}
    std::optional<std::string> Get(const std::string&, ResponseBuffer& buffer) override {
        looksBeforeRequest = host.hiddenLooks;
        buffer.append(body.data(), body.size());
        return std::nullopt;
    }
    FakeHost& host;
    std::string body;
    int looksBeforeRequest = -1;
};

class VersionCheckThread : public test::VersionCheckTest {
  protected:
    int run(const std::string& published) {
        ScriptedHttp http(host, published);
        WebIf web(http, "unused");
        runVersionCheck(host, host, web, "2.1", kNoWaits);
        return http.looksBeforeRequest;
    }
    FakeHost host;
};

TEST_F(VersionCheckThread, YesOpensTheWebSite) {
    host.answerYes = true;
    run("2.2\r\n");
    EXPECT_EQ(host.asked, Texts{kQuestion});
    EXPECT_EQ(host.opened, Texts{"https://www.quavelink.net/"});
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(VersionCheckThread, NoNamesTheWebSiteForLater) {
    run("2.2\r\n");
    EXPECT_EQ(host.asked, Texts{kQuestion});
    EXPECT_TRUE(host.opened.empty());
    EXPECT_EQ(host.boxes, Texts{kDeclined});
}

TEST_F(VersionCheckThread, AsksOnlyOnceTheWindowIsShownAndOnlyAboutNews) {
    host.hiddenFor = 3;
    EXPECT_EQ(run("2.1\r\n"), 4) << "three looks at a hidden window, then one at a shown one";
    EXPECT_TRUE(host.asked.empty());
    EXPECT_TRUE(host.boxes.empty());
}

// The thread as the window starts it: libcurl on the worker stack, the address from the
// environment, a real request to 127.0.0.1.
TEST_F(VersionCheckThread, StartedThreadAsksTheServerNamedInTheEnvironment) {
    test::LocalHttpServer server;
    server.serve("/QuaveLinkData/cur_version_linux.txt", {200, "2.2\r\n"});
    setenv(kVersionUrlVariable, server.url("/QuaveLinkData/cur_version_linux.txt").c_str(), 1);
    test::LogCapture log;
    // Like the window, the host must live until the process ends: the thread may still be on
    // its way out after the box.
    static FakeHost window;

    std::future<void> shown = window.boxShown.get_future();
    ASSERT_TRUE(startVersionCheckThread(window, window, "2.1", kNoWaits));
    // Only there so that a broken thread fails the test instead of hanging it.
    ASSERT_EQ(shown.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    unsetenv(kVersionUrlVariable);

    std::lock_guard lock(window.mutex);
    EXPECT_EQ(window.asked, Texts{kQuestion});
    EXPECT_EQ(window.boxes, Texts{kDeclined});
    EXPECT_EQ(log.count("WebIf::checkVersion: 5 bytes retrieved (3): 2.2 (2.1)\n"), 1);
}

}  // namespace
}  // namespace quavelink
