#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

class QPlainTextEdit;

namespace quavelink {

//! The diagnostic console: standard output and standard error become unbuffered, everything
//! written to them (by this program or any library in it) is copied into a log window that
//! starts hidden, and still reaches wherever the streams went before.
class LogConsole : public QObject {
  public:
    //! GUI thread, after the QApplication exists.
    LogConsole();
    //! Puts the streams back as they were and ends the copying thread.
    ~LogConsole() override;

    //! Redirects both streams. A stream whose redirection fails is left as it was; returns
    //! whether at least one is copied.
    bool start();

    //! GUI thread: shows the log window when it is hidden, hides it otherwise.
    void toggleVisible();
    bool isShown() const;

    //! GUI thread: everything copied into the window so far (tests).
    QString text() const;

    //! Lines the window keeps; older ones are dropped.
    static constexpr int kMaxLines = 20000;

  private:
    struct Stream {
        int target = -1;    // 1 or 2
        int original = -1;  // where the stream went before
        int readEnd = -1;
    };

    void copyLoop();
    void flushPending();

    std::unique_ptr<QPlainTextEdit> view;
    Stream streams[2];
    int wakePipe[2] = {-1, -1};  // tells the copying thread to end
    std::thread copier;

    std::mutex pendingMutex;
    QString pending;                       // guarded by pendingMutex
    std::atomic<bool> flushQueued{false};  // a flush is on its way to the GUI thread
};

//! Without the console: standard output is written out at the end of every line, so a log
//! file or journal holds every line up to the moment the program is killed. Standard error is
//! unbuffered already. Main thread, before any output.
void lineBufferStandardOutput();

}  // namespace quavelink
