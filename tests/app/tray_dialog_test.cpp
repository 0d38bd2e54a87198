#include "app/tray_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QSystemTrayIcon>

#include "resources/resources.h"
#include "settings/settings.h"
#include "window_test_helpers.h"

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

// A notification area the test switches on and off, as a tray host that starts and ends.
class SwitchableTray : public CTrayDialog {
  public:
    bool available = true;

  protected:
    bool trayAvailable() const override { return available; }
};

TEST_F(NoTray, AWindowHiddenInATrayThatGoesAwayComesBack) {
    SetMinToTray(0);
    SwitchableTray dialog;
    dialog.SetTrayIcon(kIconMain);
    dialog.show();
    dialog.showMinimized();
    ASSERT_TRUE(test::runUntil([&] { return !dialog.isVisible() && dialog.IsTrayIconShown(); }));

    dialog.available = false;
    EXPECT_TRUE(test::runUntil([&] { return dialog.isVisible() && !dialog.IsTrayIconShown(); }));
    EXPECT_FALSE(dialog.isMinimized());
    EXPECT_FALSE(dialog.IsOutOfSight());
}

TEST_F(NoTray, BringToFrontShowsTheWindowFromTheTrayOrMinimisedInEveryMode) {
    SetMinToTray(1);
    SwitchableTray dialog;
    dialog.SetTrayIcon(kIconMain);
    dialog.show();  // "Tray on Start": hidden in the tray
    ASSERT_TRUE(dialog.IsTrayIconShown());
    ASSERT_FALSE(dialog.isVisible());
    dialog.BringToFront();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(dialog.IsTrayIconShown());

    SetMinToTray(2);
    dialog.showMinimized();
    QCoreApplication::processEvents();
    ASSERT_TRUE(dialog.isMinimized());
    dialog.BringToFront();
    EXPECT_FALSE(dialog.isMinimized());
    EXPECT_TRUE(dialog.isVisible());
}

}  // namespace
}  // namespace quavelink
