#pragma once

#include <atomic>
#include <string>

#include "app/message_boxes.h"
#include "versioncheck/version_check_thread.h"

namespace quavelink {

//! The version check's view of the desktop: the window's visibility through an atomic the
//! window keeps up to date, the Yes/No box on the GUI thread, the browser through Qt. Lives
//! until the process ends (the detached version-check thread uses it to the end).
class AppVersionCheckHost : public VersionCheckHost {
  public:
    //! Logged mode: no box, the question is logged as "Message box: ..." and answered No.
    explicit AppVersionCheckHost(GuiMessageBoxHost::Mode mode) : mode(mode) {}

    //! Written by the window (GUI thread): hidden in the notification area or minimised.
    std::atomic<bool> windowHidden{false};

    // VersionCheckHost; the version-check thread.
    bool IsWindowHidden() override { return windowHidden.load(std::memory_order_relaxed); }
    //! Blocks until the GUI thread's box is answered. Called on the GUI thread itself (tests)
    //! it shows the box there.
    bool AskYesNo(const std::string& caption, const std::string& text) override;
    //! Queues the opening on the GUI thread and returns.
    void OpenWebSite(const std::string& url) override;

  private:
    GuiMessageBoxHost::Mode mode;
};

}  // namespace quavelink
