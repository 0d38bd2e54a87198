// The desktop's global hot keys: passive key grabs on the X11 root window, seen through Qt's
// native event filter. Kept out of every header: <X11/...> and <xcb/...> stay in this file.

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>
#include <vector>

#include "app/desktop_hot_keys.h"
#include "app/hot_keys.h"

// After Qt: Xlib defines macros (Bool, Status) that Qt's headers refuse to follow.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace quavelink {
namespace {

// A grab matches the modifier state exactly, so each key is grabbed once per combination of the
// lock modifiers that may be on: Caps Lock and Num Lock (Mod2 on common keymaps).
constexpr std::uint16_t kLockVariants[] = {
    0,
    XCB_MOD_MASK_LOCK,
    XCB_MOD_MASK_2,
    XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2,
};

struct GrabbedKey {
    int id = 0;
    xcb_keycode_t keycode = 0;
    bool repeats = true;
};

class X11Hotkeys : public GlobalHotkeys, public QAbstractNativeEventFilter {
  public:
    X11Hotkeys(Display* display, xcb_connection_t* connection)
        : display(display), connection(connection) {}

    ~X11Hotkeys() override {
        if (QCoreApplication* app = QCoreApplication::instance()) {
            app->removeNativeEventFilter(this);
        }
    }

    void RegisterHotKeys(std::function<void(int)> callback) override {
        onHotkey = std::move(callback);
        if (registered) return;
        const xcb_setup_t* setup = xcb_get_setup(connection);
        xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
        if (screen == nullptr) return;
        root = screen->root;
        const struct {
            int id;
            KeySym symbol;
            bool repeats;
        } wanted[] = {
            {kHotkeyMute, XK_m, false},
            {kHotkeyVolumeDown, XK_k, true},
            {kHotkeyVolumeUp, XK_o, true},
        };
        for (const auto& key : wanted) {
            KeyCode code = XKeysymToKeycode(display, key.symbol);
            if (code == 0) continue;
            bool grabbed = false;
            for (std::uint16_t locks : kLockVariants) {
                xcb_void_cookie_t cookie =
                    xcb_grab_key_checked(connection, 0, root, XCB_MOD_MASK_1 | locks, code,
                                         XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
                // A key another program holds answers BadAccess: that key is left out.
                if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
                    std::free(error);
                } else {
                    grabbed = true;
                }
            }
            if (grabbed) keys.push_back({key.id, code, key.repeats});
        }
        xcb_flush(connection);
        registered = true;
        if (!filterInstalled) {
            QCoreApplication::instance()->installNativeEventFilter(this);
            filterInstalled = true;
        }
    }

    void UnregisterHotKeys() override {
        if (!registered) return;
        // The server only drops grabs this connection made, so a variant that another program
        // holds stays with it.
        // Checked: once this returns, the keys are the desktop's again.
        for (const GrabbedKey& key : keys) {
            for (std::uint16_t locks : kLockVariants) {
                xcb_void_cookie_t cookie =
                    xcb_ungrab_key_checked(connection, key.keycode, root, XCB_MOD_MASK_1 | locks);
                if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
                    std::free(error);
                }
            }
        }
        keys.clear();
        registered = false;
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        std::uint8_t type = event->response_type & 0x7F;
        if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        const GrabbedKey* grabbed = nullptr;
        for (const GrabbedKey& candidate : keys) {
            if (candidate.keycode == key->detail) grabbed = &candidate;
        }
        if (grabbed == nullptr) return false;
        if (type == XCB_KEY_RELEASE) {
            repeats.release(key->detail, key->time);
            return false;
        }
        // A release counts wherever it went (its press may have been a plain key in a window
        // of ours); a press only when the grab took it.
        if (key->event != root) return false;
        bool fresh = repeats.press(key->detail, key->time);
        std::uint16_t modifiers = key->state & ~(XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2) & 0xFF;
        if (modifiers != XCB_MOD_MASK_1) return false;
        if (!fresh && !grabbed->repeats) return false;
        if (onHotkey) onHotkey(grabbed->id);
        // The event goes on like any other; nothing else in the program has a use for it.
        return false;
    }

  private:
    Display* display;
    xcb_connection_t* connection;
    xcb_window_t root = 0;
    std::vector<GrabbedKey> keys;
    bool registered = false;
    bool filterInstalled = false;
    KeyRepeatFilter repeats;
    std::function<void(int)> onHotkey;
};

}  // namespace

std::unique_ptr<GlobalHotkeys> CreateX11Hotkeys() {
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (gui == nullptr || QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    auto* x11 = gui->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->display() == nullptr || x11->connection() == nullptr) {
        return nullptr;
    }
    return std::make_unique<X11Hotkeys>(x11->display(), x11->connection());
}

}  // namespace quavelink
