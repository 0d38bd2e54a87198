#include "app/version_check_host.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "log_capture.h"

namespace quavelink {
namespace {

// The question comes from the version-check thread while the GUI thread runs its loop.
bool askFromWorker(AppVersionCheckHost& host) {
    std::atomic<bool> done{false};
    bool answer = false;
    std::thread worker([&] {
        answer = host.AskYesNo(kVersionNotificationCaption, kVersionNotificationText);
        done = true;
    });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    worker.join();
    return answer;
}

TEST(VersionCheckHost, AWorkerWaitsForTheUsersAnswerOnTheGuiThread) {
    AppVersionCheckHost host(GuiMessageBoxHost::Mode::Interactive);
    QString caption, text;
    QTimer clicker;
    clicker.setInterval(10);
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        caption = box->windowTitle();
        text = box->text();
        EXPECT_EQ(box->icon(), QMessageBox::Information);
        box->button(QMessageBox::Yes)->click();
    });
    clicker.start();
    EXPECT_TRUE(askFromWorker(host));
    EXPECT_EQ(caption, "Version Notification");
    EXPECT_EQ(text.toStdString(), kVersionNotificationText);
}

TEST(VersionCheckHost, WithoutAUserTheQuestionIsLoggedAndAnsweredNo) {
    test::LogCapture log;
    AppVersionCheckHost host(GuiMessageBoxHost::Mode::Logged);
    EXPECT_FALSE(askFromWorker(host));
    EXPECT_EQ(log.count(std::string("Message box: ") + kVersionNotificationText + "\n"), 1);
}

}  // namespace
}  // namespace quavelink
