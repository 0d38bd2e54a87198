// Which hot keys this desktop gets: the portal on Wayland, key grabs on X11, else none.
#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>
#include <cstring>

#include "app/desktop_hot_keys.h"

namespace quavelink {
namespace {

class NoHotkeys : public GlobalHotkeys {
  public:
    explicit NoHotkeys(std::string why) : why(std::move(why)) {}
    void RegisterHotKeys(std::function<void(int)>) override { setReach(HotkeyReach::Nowhere, why); }
    void UnregisterHotKeys() override {}

  private:
    std::string why;
};

// X11 grabs as they reach under a Wayland desktop: XWayland sees the keyboard only while one of
// its windows has the focus.
class XWaylandHotkeys : public GlobalHotkeys {
  public:
    explicit XWaylandHotkeys(std::unique_ptr<GlobalHotkeys> x11) : x11(std::move(x11)) {}
    void RegisterHotKeys(std::function<void(int)> onHotkey) override {
        x11->RegisterHotKeys(std::move(onHotkey));
        setReach(HotkeyReach::X11WindowsOnly,
                 "this Wayland desktop offers no shortcuts portal: Alt+O, Alt+K and Alt+M act "
                 "only while an X11 window has the focus");
    }
    void UnregisterHotKeys() override { x11->UnregisterHotKeys(); }

  private:
    std::unique_ptr<GlobalHotkeys> x11;
};

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

}  // namespace

std::unique_ptr<GlobalHotkeys> CreateSystemHotkeys() {
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    QString platform = gui != nullptr ? QGuiApplication::platformName() : QStringLiteral("none");
    const bool wayland =
        platform.startsWith(QLatin1String("wayland")) || set("WAYLAND_DISPLAY") ||
        (set("XDG_SESSION_TYPE") && std::strcmp(std::getenv("XDG_SESSION_TYPE"), "wayland") == 0);
    std::unique_ptr<GlobalHotkeys> x11 = CreateX11Hotkeys();
    if (wayland) {
        if (PortalHotkeys::Offered(QDBusConnection::sessionBus())) {
            return std::make_unique<PortalHotkeys>(QDBusConnection::sessionBus());
        }
        if (x11) return std::make_unique<XWaylandHotkeys>(std::move(x11));
        return std::make_unique<NoHotkeys>(
            "this Wayland desktop offers no shortcuts portal (KDE Plasma 5.27 or GNOME 48 and "
            "later have one): Alt+O, Alt+K and Alt+M are off");
    }
    if (x11) return x11;
    return std::make_unique<NoHotkeys>(
        "they need an X11 display or a Wayland shortcuts portal "
        "(platform \"" +
        platform.toStdString() + "\"): Alt+O, Alt+K and Alt+M are off");
}

}  // namespace quavelink
