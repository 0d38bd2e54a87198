#include "app/log_console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>

#include "platform/log.h"

namespace quavelink {
namespace {

bool processEventsUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

TEST(LogConsole, CopiesBothStreamsIntoAHiddenWindowThatCtrlDToggles) {
    {
        LogConsole console;
        ASSERT_TRUE(console.start());
        logLine("Initializing server network communication\n");
        std::fputs("partial line without end", stdout);  // unbuffered: no flush needed
        logErrorLine("MP3 adapter: %s\n", "to standard error");
        // A write straight to the descriptor, as a library would do it.
        ASSERT_EQ(write(1, "raw\n", 4), 4);
        EXPECT_TRUE(processEventsUntil([&] {
            QString text = console.text();
            return text.contains("Initializing server network communication\n") &&
                   text.contains("partial line without end") &&
                   text.contains("MP3 adapter: to standard error\n") && text.contains("raw\n");
        })) << console.text().toStdString();
        EXPECT_FALSE(console.isShown());
        console.toggleVisible();
        EXPECT_TRUE(console.isShown());
        console.toggleVisible();
        EXPECT_FALSE(console.isShown());
    }
    // Afterwards the streams go where they went before: writing must still work.
    EXPECT_EQ(write(1, "", 0), 0);
    EXPECT_GE(std::fputs("after the console\n", stdout), 0);
}

}  // namespace
}  // namespace quavelink
