#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/message_box.h"

namespace quavelink::test {

//! Keeps the text of every box shown, from any thread, and answers OK at once.
class RecordedBoxes : public MessageBoxHost {
  public:
    void ShowMessageBox(const std::string& text) override {
        if (onShow) onShow(text);
        std::lock_guard lock(mutex);
        texts.push_back(text);
        changed.notify_all();
    }

    //! The texts shown so far, oldest first.
    std::vector<std::string> shown() const {
        std::lock_guard lock(mutex);
        return texts;
    }

    void clear() {
        std::lock_guard lock(mutex);
        texts.clear();
    }

    //! Waits up to `limit` for `text`; true when it was shown.
    bool waitFor(const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] {
            for (const auto& shownText : texts)
                if (shownText == text) return true;
            return false;
        });
    }

    //! Runs on the showing thread before the box counts as shown. Set before use.
    std::function<void(const std::string&)> onShow;

  private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> texts;
};

}  // namespace quavelink::test
