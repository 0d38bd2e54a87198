// The window on a real X server (Xvfb) with trayer as the notification area: minimising to the
// tray, a click on the icon, "Tray on Start", the icon following the connection, and the global
// hot keys pressed with xdotool against a null sink of a private PulseAudio daemon. Each test
// process starts its own X server and tray and stops them at the end.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QSystemTrayIcon>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "app/main_window.h"
#include "app/version_check_host.h"
#include "child_process.h"
#include "mixer/window_mixers.h"
#include "pulse_daemon.h"
#include "resources/resources.h"
#include "settings/settings.h"
#include "support/pulse_window_parts.h"
#include "support/temporary_folder.h"
#include "window_test_helpers.h"

// After Qt: Xlib's macros (Bool, Status) break Qt's headers.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace quavelink {
namespace {

using test::ChildProcess;
using test::PulseDaemon;
using test::PulseWindowParts;

using test::IdleWorkers;
using test::runUntil;
using RecordedBoxes = test::RecordedBoxes;

template <typename T, typename... Args>
T& keptForTheProcess(Args&&... args) {
    static auto* kept = new std::deque<T>;
    return kept->emplace_back(std::forward<Args>(args)...);
}

int run(const std::string& command) { return std::system(command.c_str()); }

// The notification area: trayer, started by main and again by a test that ended it.
std::unique_ptr<ChildProcess> trayHost;

bool startTrayHost() {
    trayHost = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
        "120", "--heighttype", "pixel", "--height", "24"});
    // The tray owns its selection a moment after it starts.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!QSystemTrayIcon::isSystemTrayAvailable() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}

// The window over a private PulseAudio daemon, as the program builds it.
class Desktop : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
        ASSERT_TRUE(daemon.ready());
        ResetSettingsToDefaults();
        SetInputSelect("");
        SetEnableHotkeys(true);
        parts = std::make_unique<PulseWindowParts>();
    }
    void open() {
        MainWindowSetup setup = parts->setup(boxes, workers);
        setup.versionHost = &versionHost;
        window = std::make_unique<CQuaveLinkServerDlg>(setup);
        window->OnInitDialog();
        window->show();
        QCoreApplication::processEvents();
    }
    void TearDown() override { window.reset(); }

    // Clicks the middle of the tray icon as a user would, until `answered` holds. The icon
    // has its place a moment before the tray has embedded and mapped it, and a click in that
    // moment reaches nobody: a user would click again, and so does this.
    bool clickTrayIconUntil(const std::function<bool()>& answered) {
        QSystemTrayIcon* icon = window->trayIconObject();
        if (icon == nullptr) return false;
        for (int attempt = 0; attempt < 4; ++attempt) {
            QRect place;
            if (!runUntil([&] {
                    place = icon->geometry();
                    return place.isValid() && place.width() > 0;
                }))
                return false;
            QPoint middle = place.center();
            if (run("xdotool mousemove " + std::to_string(middle.x()) + " " +
                    std::to_string(middle.y()) + " click 1") != 0)
                return false;
            if (runUntil(answered, std::chrono::seconds(2))) return true;
        }
        return false;
    }
    bool windowMapped() {
        return run("xdotool search --onlyvisible --name '^QuaveLink Server' >/dev/null 2>&1") == 0;
    }
    std::uint32_t sinkLevel() {
        auto text = daemon.pactlOutput("get-sink-volume test");
        if (!text) return 0;
        auto at = text->find("front-left: ");
        if (at == std::string::npos) return 0;
        return faderFromPulseVolume(std::stoul(text->substr(at + 12)));
    }
    bool sinkMuted() {
        auto text = daemon.pactlOutput("get-sink-mute test");
        return text && text->find("yes") != std::string::npos;
    }

    PulseDaemon daemon{{"module-null-sink sink_name=test rate=48000"}};
    std::unique_ptr<PulseWindowParts> parts;
    IdleWorkers workers;
    // The window starts the version check on a detached thread that holds on to its host and
    // message boxes for as long as the process runs, as the program's own do; each test's pair
    // is kept to the end of the process, not freed under that thread when the test ends.
    RecordedBoxes& boxes = keptForTheProcess<RecordedBoxes>();
    AppVersionCheckHost& versionHost =
        keptForTheProcess<AppVersionCheckHost>(GuiMessageBoxHost::Mode::Logged);
    std::unique_ptr<CQuaveLinkServerDlg> window;
};

// Another program on the same display: whether it may grab Alt+`symbol` and then gets the
// key when xdotool presses it.
class OtherClient {
  public:
    OtherClient() : display(XOpenDisplay(nullptr)) {}
    ~OtherClient() {
        if (display != nullptr) XCloseDisplay(display);
    }
    bool grab(KeySym symbol) {
        code = XKeysymToKeycode(display, symbol);
        refused = false;
        XErrorHandler previous = XSetErrorHandler(&OtherClient::onError);
        XGrabKey(display, code, Mod1Mask, DefaultRootWindow(display), True, GrabModeAsync,
                 GrabModeAsync);
        XSync(display, False);
        XSetErrorHandler(previous);
        return !refused;
    }
    bool receivesPress() {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end) {
            XEvent event;
            if (XCheckTypedEvent(display, KeyPress, &event) && event.xkey.keycode == code) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void ungrab() {
        XUngrabKey(display, code, Mod1Mask, DefaultRootWindow(display));
        XSync(display, False);
    }

  private:
    static int onError(Display*, XErrorEvent* error) {
        if (error->error_code == BadAccess) refused = true;
        return 0;
    }
    static inline bool refused = false;
    Display* display;
    KeyCode code = 0;
};

bool sameIcon(const QIcon& a, const QIcon& b) {
    return a.pixmap(16, 16).toImage() == b.pixmap(16, 16).toImage();
}

TEST_F(Desktop, MinimisingGoesToTheTrayAClickRestoresAndTheIconFollowsTheConnection) {
    SetMinToTray(0);
    open();
    ASSERT_TRUE(runUntil([&] { return windowMapped(); }));
    EXPECT_FALSE(window->IsTrayIconShown());
    EXPECT_FALSE(versionHost.IsWindowHidden());

    window->showMinimized();
    ASSERT_TRUE(runUntil([&] { return !window->isVisible() && window->IsTrayIconShown(); }));
    EXPECT_TRUE(versionHost.IsWindowHidden());
    QSystemTrayIcon* icon = window->trayIconObject();
    EXPECT_EQ(icon->toolTip(), "Open QuaveLink Server");
    EXPECT_TRUE(sameIcon(icon->icon(), LoadIconResource(kIconDisconnected)));
    window->SetConnectionStatus(1, "phone");
    EXPECT_TRUE(sameIcon(icon->icon(), LoadIconResource(kIconMain)));
    window->SetConnectionStatus(0, "");
    EXPECT_TRUE(sameIcon(icon->icon(), LoadIconResource(kIconDisconnected)));

    ASSERT_TRUE(
        clickTrayIconUntil([&] { return window->isVisible() && !window->IsTrayIconShown(); }));
    EXPECT_FALSE(window->isMinimized());
    EXPECT_FALSE(versionHost.IsWindowHidden());
    EXPECT_TRUE(runUntil([&] { return windowMapped(); }));

    // "Task Bar" takes effect at the next minimise: no icon, the window manager keeps it.
    auto* list = static_cast<QComboBox*>(window->control(CQuaveLinkServerDlg::IDC_MINIMIZE_TO));
    list->setCurrentIndex(2);
    list->activated(2);
    EXPECT_EQ(GetMinToTray(), 2);
    window->showMinimized();
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->IsTrayIconShown());
    EXPECT_TRUE(window->isMinimized());
    EXPECT_TRUE(versionHost.IsWindowHidden());
}

TEST_F(Desktop, TrayOnStartNeverMapsTheWindowUntilTheIconIsClicked) {
    SetMinToTray(1);
    open();
    EXPECT_TRUE(window->IsTrayIconShown());
    EXPECT_FALSE(window->isVisible());
    ASSERT_NE(window->trayIconObject(), nullptr);
    QCoreApplication::processEvents();
    EXPECT_FALSE(windowMapped());

    ASSERT_TRUE(clickTrayIconUntil([&] { return window->isVisible() && windowMapped(); }));
    EXPECT_FALSE(window->IsTrayIconShown());
}

TEST_F(Desktop, AltOAltKAndAltMActOnTheDefaultSinkUnlessTurnedOffInTheMenu) {
    ASSERT_EQ(daemon.pactl("set-default-sink test"), 0);
    ASSERT_EQ(daemon.pactl("set-sink-volume test 32768"), 0);  // the fader's 32767
    open();
    ASSERT_NE(window->mixerControls()->outputGroup(), nullptr);
    std::uint32_t start = sinkLevel();

    ASSERT_EQ(run("xdotool key alt+o"), 0);
    EXPECT_TRUE(runUntil([&] { return sinkLevel() == start + 4096; })) << sinkLevel();
    ASSERT_EQ(run("xdotool key alt+k alt+k"), 0);
    EXPECT_TRUE(runUntil([&] { return sinkLevel() == start - 4096; })) << sinkLevel();
    ASSERT_EQ(run("xdotool key alt+m"), 0);
    EXPECT_TRUE(runUntil([&] { return sinkMuted(); }));
    // Caps Lock on: the keys still act.
    ASSERT_EQ(run("xdotool key Caps_Lock alt+m Caps_Lock"), 0);
    EXPECT_TRUE(runUntil([&] { return !sinkMuted(); }));

    // The menu entry turns them off, with its check mark, and the choice is stored.
    QStringList texts;
    for (QAction* action : window->systemMenu()->actions()) {
        if (!action->isVisible()) continue;
        texts << (action->isSeparator() ? "-" : action->text() + (action->isEnabled() ? "" : "#"));
    }
    EXPECT_EQ(texts, QStringList({"Enable Global Hotkeys", "    Volume up\tAlt+O#",
                                  "    Volume down\tAlt+K#", "    Mute\tAlt+M#", "-",
                                  "&About QuaveLink Server..."}));
    QAction* entry = window->systemMenu()->actions().value(0);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(entry->isChecked());
    OtherClient other;
    EXPECT_FALSE(other.grab(XK_o)) << "the window holds Alt+O while the keys are on";
    entry->trigger();
    EXPECT_FALSE(entry->isChecked());
    EXPECT_FALSE(GetEnableHotkeys());
    // Off, the keys are given back: another program may take them and gets their presses.
    ASSERT_TRUE(other.grab(XK_o));
    ASSERT_EQ(run("xdotool key alt+o"), 0);
    EXPECT_TRUE(other.receivesPress());
    other.ungrab();
    ASSERT_EQ(run("xdotool key alt+o alt+k alt+m"), 0);
    // A round trip to the X server: the presses are in and handled before the entry flips back.
    QGuiApplication::sync();

    // Back on: one Alt+K lands exactly one step below where the inert keys left the sink.
    entry->trigger();
    EXPECT_FALSE(other.grab(XK_o)) << "turned on again, the window holds Alt+O again";
    ASSERT_EQ(run("xdotool key alt+k"), 0);
    EXPECT_TRUE(runUntil([&] { return sinkLevel() == start - 8192; })) << sinkLevel();
    EXPECT_FALSE(sinkMuted());
}

TEST_F(Desktop, AWindowHiddenInTheTrayComesBackWhenTheTrayHostEnds) {
    SetMinToTray(0);
    open();
    ASSERT_TRUE(runUntil([&] { return windowMapped(); }));
    window->showMinimized();
    ASSERT_TRUE(runUntil([&] { return !window->isVisible() && window->IsTrayIconShown(); }));
    ASSERT_FALSE(windowMapped());

    trayHost->sendSignal(SIGKILL);
    ASSERT_TRUE(trayHost->wait(std::chrono::seconds(5)).has_value());
    EXPECT_TRUE(runUntil([&] { return window->isVisible() && !window->IsTrayIconShown(); }));
    EXPECT_TRUE(runUntil([&] { return windowMapped(); }));
    EXPECT_FALSE(versionHost.IsWindowHidden());

    // A new tray host: minimising goes to it again.
    ASSERT_TRUE(startTrayHost());
    window->showMinimized();
    EXPECT_TRUE(runUntil([&] { return !window->isVisible() && window->IsTrayIconShown(); }));
}

}  // namespace
}  // namespace quavelink

// An X server and a tray of this process's own, then the tests on Qt's X11 platform.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

    quavelink::test::TemporaryFolder folder("quavelink-desktop-tests");
    setenv("XDG_CONFIG_HOME", folder.path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", folder.path().c_str(), 1);
    // No session bus: the icon goes through the XEmbed tray, and no desktop services start.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    // The version check must never leave the machine; these tests end before it would ask.
    setenv("QUAVELINK_SERVER_VERSION_URL", "http://127.0.0.1:9/", 1);

    quavelink::test::ChildProcess xvfb(
        {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
    if (!xvfb.waitForOutput("\n", std::chrono::seconds(10))) {
        std::fprintf(stderr, "Xvfb did not start: %s\n", xvfb.errors().c_str());
        return 2;
    }
    std::string display = ":" + xvfb.output().substr(0, xvfb.output().find('\n'));
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    int result = 2;
    {
        QApplication app(argc, argv);
        quavelink::startTrayHost();
        result = RUN_ALL_TESTS();
        quavelink::trayHost.reset();
    }
    return result;
}
