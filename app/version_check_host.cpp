#include "app/version_check_host.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QUrl>

#include "platform/hand_off.h"
#include "platform/log.h"

namespace quavelink {

bool AppVersionCheckHost::AskYesNo(const std::string& caption, const std::string& text) {
    QCoreApplication* app = QCoreApplication::instance();
    if (mode == GuiMessageBoxHost::Mode::Logged || app == nullptr) {
        logLine("Message box: %s\n", messageBoxText(text).c_str());
        return false;
    }
    // Qt's blocking hand-off already orders the answer before the return; the atomic makes that
    // order visible to tools that cannot see inside Qt's own locks.
    std::atomic<bool> yes{false};
    auto ask = [&yes, caption, text] {
        QMessageBox box(QMessageBox::Information, QString::fromStdString(caption),
                        QString::fromStdString(messageBoxText(text)),
                        QMessageBox::Yes | QMessageBox::No);
        box.setTextFormat(Qt::PlainText);
        yes.store(box.exec() == QMessageBox::Yes, std::memory_order_release);
    };
    if (QThread::currentThread() == app->thread()) {
        ask();
    } else {
        QMetaObject::invokeMethod(app, HandOff(ask), Qt::BlockingQueuedConnection);
    }
    return yes.load(std::memory_order_acquire);
}

void AppVersionCheckHost::OpenWebSite(const std::string& url) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QString address = QString::fromStdString(url);
    QMetaObject::invokeMethod(app, HandOff([address] {
                                  if (!QDesktopServices::openUrl(QUrl(address))) {
                                      logLine("Could not open %s\n", address.toUtf8().constData());
                                  }
                              }),
                              Qt::QueuedConnection);
}

}  // namespace quavelink
