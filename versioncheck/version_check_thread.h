#pragma once

#include <chrono>
#include <string>

#include "platform/message_box.h"

namespace quavelink {

class WebIf;

//! What the version check needs of the main window and the desktop. Called on the
//! version-check thread only.
class VersionCheckHost {
  public:
    virtual ~VersionCheckHost() = default;

    //! Whether the main window is out of the user's sight: hidden in the notification area (its
    //! tray icon is shown) or minimised. The GUI thread changes that state, so answer from
    //! something safe to read on another thread (atomics kept up to date by the window).
    virtual bool IsWindowHidden() = 0;

    //! A box without owner with `caption`, `text`, an information icon and Yes and No buttons;
    //! returns once it is answered, true for Yes. A host without a user answers No at once.
    virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;

    //! Opens `url` (an https address) in the user's web browser and returns without waiting
    //! for it.
    virtual void OpenWebSite(const std::string& url) = 0;
};

//! Waits of the version-check thread; tests shorten them.
struct VersionCheckTiming {
    //! Before anything else: the program's start is not slowed by the check.
    std::chrono::milliseconds firstWait{8000};
    //! Between two looks at a hidden window.
    std::chrono::milliseconds hiddenPoll{2000};
};

//! Caption and texts of the notification.
constexpr char kVersionNotificationCaption[] = "Version Notification";
constexpr char kVersionNotificationText[] =
    "A new version of QuaveLink Server is available. Would you like to download it now?";
//! The box after No: where to find the new version later.
std::string versionDeclinedText();

//! The version-check thread's body, on the calling thread: waits `timing.firstWait`, then while
//! the window is hidden; runs `web`'s check against `runningVersion`; when that announces a new
//! version, asks the user, then opens the web site (Yes) or tells where to find it (No, through
//! `boxes`).
void runVersionCheck(VersionCheckHost& host, MessageBoxHost& boxes, WebIf& web,
                     const std::string& runningVersion, const VersionCheckTiming& timing = {});

//! Main thread, once, from the window's initialisation, while no other thread uses libcurl.
//! Initialises libcurl for the process and starts a detached thread with the worker stack
//! (kWorkerStackBytes) that runs runVersionCheck over libcurl at versionCheckUrl() and then
//! cleans libcurl up. `host` and `boxes` must live until the process ends. Returns false when
//! the thread could not be created; libcurl is then cleaned up again at once.
bool startVersionCheckThread(VersionCheckHost& host, MessageBoxHost& boxes,
                             std::string runningVersion, VersionCheckTiming timing = {});

}  // namespace quavelink
