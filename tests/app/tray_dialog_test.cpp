#include "app/tray_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QSystemTrayIcon>

#include "resources/resources.h"
#include "settings/settings.h"

namespace quavelink {
namespace {

// The offscreen platform has no notification area, like a desktop without a tray host.
class NoTray : public ::testing::Test {
  protected:
    NoTray() {
        ResetSettingsToDefaults();
        EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    }
};

TEST_F(NoTray, TrayOnStartStillShowsTheWindowAndMinimisingLeavesItToTheWindowManager) {
    SetMinToTray(1);
    CTrayDialog dialog;
    std::atomic<bool> hidden{true};
    dialog.SetOutOfSightFlag(&hidden);
    EXPECT_FALSE(hidden);
    dialog.show();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.IsTrayIconShown());

    dialog.showMinimized();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.isMinimized());
    EXPECT_FALSE(dialog.IsTrayIconShown());
    EXPECT_TRUE(hidden);  // minimised counts as out of sight for the version check
    EXPECT_FALSE(dialog.RemoveTrayIcon());
    EXPECT_FALSE(dialog.ModifyTrayIcon());
}

TEST_F(NoTray, AnUnknownIconKeepsThePreviousOne) {
    CTrayDialog dialog;
    dialog.SetTrayIcon(kIconDisconnected);
    dialog.SetTrayIcon(999);
    EXPECT_EQ(dialog.TrayIconResource(), kIconDisconnected);
}

}  // namespace
}  // namespace quavelink
