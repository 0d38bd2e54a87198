#include "app/log_console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QFontDatabase>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QStringDecoder>
#include <QTextCursor>
#include <cerrno>
#include <cstdio>

#include "platform/hand_off.h"

namespace quavelink {
namespace {

void writeAll(int fd, const char* data, ssize_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, static_cast<size_t>(length));
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // where the stream went before is gone: the window still gets it
        }
        data += written;
        length -= written;
    }
}

}  // namespace

LogConsole::LogConsole() : view(std::make_unique<QPlainTextEdit>()) {
    view->setWindowTitle(QStringLiteral("QuaveLink Server Console"));
    view->setReadOnly(true);
    view->setMaximumBlockCount(kMaxLines);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->resize(720, 400);
}

LogConsole::~LogConsole() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (Stream& stream : streams) {
        if (stream.original != -1) dup2(stream.original, stream.target);
    }
    if (copier.joinable()) {
        char bye = 0;
        writeAll(wakePipe[1], &bye, 1);
        copier.join();
    }
    for (Stream& stream : streams) {
        if (stream.original != -1) close(stream.original);
    }
    for (Stream& stream : streams) {
        if (stream.readEnd != -1) close(stream.readEnd);
    }
    for (int fd : wakePipe) {
        if (fd != -1) close(fd);
    }
}

void lineBufferStandardOutput() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

bool LogConsole::start() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    if (pipe2(wakePipe, O_CLOEXEC) != 0) return false;
    bool any = false;
    for (int i = 0; i < 2; ++i) {
        Stream& stream = streams[i];
        stream.target = i + 1;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) continue;
        int original = fcntl(stream.target, F_DUPFD_CLOEXEC, 3);
        if (original == -1 || dup2(ends[1], stream.target) == -1) {
            if (original != -1) close(original);
            close(ends[0]);
            close(ends[1]);
            continue;
        }
        close(ends[1]);
        stream.original = original;
        stream.readEnd = ends[0];
        any = true;
    }
    if (any) copier = std::thread([this] { copyLoop(); });
    return any;
}

void LogConsole::copyLoop() {
    QStringDecoder decoders[2] = {QStringDecoder(QStringDecoder::Utf8),
                                  QStringDecoder(QStringDecoder::Utf8)};
    auto copyChunk = [&](int i, const char* data, ssize_t length) {
        writeAll(streams[i].original, data, length);
        QString chunk = decoders[i].decode(QByteArrayView(data, length));
        {
            std::lock_guard lock(pendingMutex);
            pending += chunk;
        }
        // One flush in flight at a time, so a flood of lines cannot flood the GUI's queue.
        if (!flushQueued.exchange(true)) {
            QMetaObject::invokeMethod(this, HandOff([this] { flushPending(); }),
                                      Qt::QueuedConnection);
        }
    };
    char buffer[4096];
    for (;;) {
        pollfd fds[3];
        for (int i = 0; i < 2; ++i) fds[i] = {streams[i].readEnd, POLLIN, 0};
        fds[2] = {wakePipe[0], POLLIN, 0};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[2].revents != 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd == -1 || fds[i].revents == 0) continue;
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                // A stream whose writers are all gone; poll skips a negative descriptor.
                close(streams[i].readEnd);
                streams[i].readEnd = -1;
                continue;
            }
            copyChunk(i, buffer, got);
        }
    }
    // Asked to end: a child process may still hold a write end, so do not wait for the end of
    // the streams, only take what is there now.
    for (int i = 0; i < 2; ++i) {
        if (streams[i].readEnd == -1) continue;
        fcntl(streams[i].readEnd, F_SETFL, O_NONBLOCK);
        ssize_t got;
        while ((got = read(streams[i].readEnd, buffer, sizeof buffer)) > 0) {
            copyChunk(i, buffer, got);
        }
    }
}

void LogConsole::flushPending() {
    flushQueued.store(false);
    QString chunk;
    {
        std::lock_guard lock(pendingMutex);
        chunk.swap(pending);
    }
    if (chunk.isEmpty()) return;
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(chunk);
    view->ensureCursorVisible();
}

void LogConsole::toggleVisible() {
    if (view->isVisible()) {
        view->hide();
    } else {
        view->showNormal();
        view->raise();
    }
}

bool LogConsole::isShown() const { return view->isVisible(); }

QString LogConsole::text() const { return view->toPlainText(); }

}  // namespace quavelink
