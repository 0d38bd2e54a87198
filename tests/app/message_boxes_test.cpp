#include "app/message_boxes.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <thread>

#include "support/log_capture.h"

namespace quavelink {
namespace {

QMessageBox* openBox() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box != nullptr && box->isVisible()) return box;
    }
    return nullptr;
}

// Runs the GUI thread's events until `done` holds (at most 10 s, so a fault cannot hang).
template <typename Predicate>
bool processEventsUntil(Predicate done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

TEST(MessageBoxes, AWorkerWaitsUntilTheBoxIsClosed) {
    GuiMessageBoxHost host(GuiMessageBoxHost::Mode::Interactive);
    std::atomic<bool> returned{false};
    // The box runs its own event loop on this thread, so the checks run from a timer in it.
    QString shownText;
    Qt::TextFormat shownFormat = Qt::AutoText;
    bool returnedWhileOpen = true;
    int ticksOpen = 0;
    QTimer inspector;
    inspector.setInterval(10);
    QObject::connect(&inspector, &QTimer::timeout, [&] {
        QMessageBox* box = openBox();
        if (box == nullptr) return;
        if (ticksOpen++ == 0) {
            shownText = box->text();
            shownFormat = box->textFormat();
        }
        if (ticksOpen < 20) return;  // the box stays open a while; the worker must wait
        returnedWhileOpen = returned;
        box->button(QMessageBox::Ok)->click();
    });
    inspector.start();
    std::thread worker([&] {
        host.ShowMessageBox("Error 88890010 opening audio input device\n");
        returned = true;
    });
    EXPECT_TRUE(processEventsUntil([&] { return returned.load(); }));
    inspector.stop();
    // Never leave a box behind for the next test, whatever failed above.
    if (QMessageBox* box = openBox()) box->button(QMessageBox::Ok)->click();
    worker.join();
    EXPECT_EQ(shownText, "Error 88890010 opening audio input device");
    EXPECT_EQ(shownFormat, Qt::PlainText);
    EXPECT_GE(ticksOpen, 20);
    EXPECT_FALSE(returnedWhileOpen);
}

// A window manager offers to maximise a window whose size may grow: a box's may not.
TEST(MessageBoxes, ABoxKeepsItsSizeSoItCannotBeMaximised) {
    std::unique_ptr<QMessageBox> box = makeMessageBox("Could not create audio thread");
    box->show();
    ASSERT_TRUE(processEventsUntil([&] { return box->isVisible(); }));
    EXPECT_EQ(box->minimumSize(), box->maximumSize());
    EXPECT_FALSE(box->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(box->text(), "Could not create audio thread");
}

TEST(MessageBoxes, TheLoggedFormNeverWaits) {
    test::LogCapture log;
    GuiMessageBoxHost host(GuiMessageBoxHost::modeForPlatform(QApplication::platformName()));
    ASSERT_EQ(host.currentMode(), GuiMessageBoxHost::Mode::Logged);
    std::thread worker([&] { host.ShowMessageBox("Could not create file record thread"); });
    worker.join();
    host.ShowMessageBox("Error 1 opening audio input device\n");
    EXPECT_EQ(log.count("Message box: Could not create file record thread\n"), 1);
    EXPECT_EQ(log.count("Message box: Error 1 opening audio input device\n"), 1);
    EXPECT_EQ(openBox(), nullptr);
    EXPECT_EQ(GuiMessageBoxHost::modeForPlatform("xcb"), GuiMessageBoxHost::Mode::Interactive);
}

}  // namespace
}  // namespace quavelink
