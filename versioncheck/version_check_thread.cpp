#include "versioncheck/version_check_thread.h"

#include <curl/curl.h>

#include <thread>

#include "platform/thread.h"
#include "versioncheck/http_session.h"
#include "versioncheck/response_buffer.h"
#include "versioncheck/version_query.h"

namespace quavelink {

std::string versionDeclinedText() {
    return std::string("Please visit ") + kVersionWebSite +
           " at some future time to get the new version. You will not be notified about this "
           "version again.";
}

void runVersionCheck(VersionCheckHost& host, MessageBoxHost& boxes, WebIf& web,
                     const std::string& runningVersion, const VersionCheckTiming& timing) {
    std::this_thread::sleep_for(timing.firstWait);
    // A notification popping up over other work while the program sits in the tray would
    // come out of nowhere; wait until the user looks at the window.
    while (host.IsWindowHidden()) std::this_thread::sleep_for(timing.hiddenPoll);

    bool announce = false;
    {
        ResponseBuffer buffer;
        announce = web.checkVersion(buffer, runningVersion);
    }
    if (!announce) return;
    if (host.AskYesNo(kVersionNotificationCaption, kVersionNotificationText)) {
        host.OpenWebSite(kVersionWebSite);
    } else {
        boxes.ShowMessageBox(versionDeclinedText());
    }
}

bool startVersionCheckThread(VersionCheckHost& host, MessageBoxHost& boxes,
                             std::string runningVersion, VersionCheckTiming timing) {
    curl_global_init(CURL_GLOBAL_ALL);
    bool started = startDetachedThread(
        [&host, &boxes, runningVersion = std::move(runningVersion), timing] {
            {
                std::unique_ptr<HttpSession> http = makeCurlHttpSession();
                WebIf web(*http, versionCheckUrl());
                runVersionCheck(host, boxes, web, runningVersion, timing);
            }
            curl_global_cleanup();
        },
        kWorkerStackBytes);
    if (!started) curl_global_cleanup();
    return started;
}

}  // namespace quavelink
