#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/message_box.h"

namespace quavelink::test {

class RecordingBoxes : public MessageBoxHost {
  public:
    void ShowMessageBox(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

//! Collects the lines written to the log while it lives.
class LogCapture {
  public:
    LogCapture() {
        setLogObserver([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            text_ += line;
        });
    }
    ~LogCapture() { setLogObserver(nullptr); }
    std::string text() {
        std::lock_guard lock(mutex_);
        return text_;
    }

  private:
    std::mutex mutex_;
    std::string text_;
};

//! A fresh folder under /tmp, removed with its files at the end.
class TempFolder {
  public:
    TempFolder() {
        char pattern[] = "/tmp/quavelink-mp3-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline long fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

inline int openForRecording(const std::string& path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

}  // namespace quavelink::test
