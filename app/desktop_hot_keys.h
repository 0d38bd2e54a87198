#pragma once

// The desktop-specific hot key backends, chosen by CreateSystemHotkeys. GUI thread.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/hot_keys.h"

class QDBusMessage;

namespace quavelink {

//! X11 key grabs on the root window; null unless Qt runs on X11.
std::unique_ptr<GlobalHotkeys> CreateX11Hotkeys();

//! The XDG desktop portal's GlobalShortcuts on `bus`: a session with three shortcuts bound
//! (volume-up Alt+O, volume-down Alt+K, mute Alt+M as preferred triggers; the desktop may ask
//! the user and let them choose others). Each answer comes later, as a Response signal of a
//! request object; a refusal makes the keys unavailable with the desktop's reason.
class PortalHotkeys : public QObject, public GlobalHotkeys {
    Q_OBJECT

  public:
    static constexpr char kService[] = "org.freedesktop.portal.Desktop";
    static constexpr char kPath[] = "/org/freedesktop/portal/desktop";
    static constexpr char kInterface[] = "org.freedesktop.portal.GlobalShortcuts";
    //! While a volume key is held, the step repeats after this delay, then at this period (the
    //! portal tells the press and the release, not the keyboard's repeat).
    static constexpr int kRepeatDelayMs = 400;
    static constexpr int kRepeatPeriodMs = 60;

    explicit PortalHotkeys(QDBusConnection bus);
    ~PortalHotkeys() override;

    //! Whether the session bus has a portal that offers GlobalShortcuts (waits up to 2 s).
    static bool Offered(QDBusConnection bus);

    void RegisterHotKeys(std::function<void(int id)> onHotkey) override;
    void UnregisterHotKeys() override;

  private Q_SLOTS:
    void onResponse(const QDBusMessage& message);
    void onActivated(const QDBusMessage& message);
    void onDeactivated(const QDBusMessage& message);

  private:
    enum class Step { Idle, Creating, Binding, Bound };

    //! Calls `method` with `arguments` and the request token `token`; the Response signal of its
    //! request object comes to onResponse, a failed call to refused.
    void request(const char* method, QList<QVariant> arguments, const QString& token);
    void bind();
    void refused(const QString& why);
    void closeSession();

    QDBusConnection bus;
    std::function<void(int)> onHotkey;
    Step step = Step::Idle;
    QString requestPath;
    QString sessionPath;
    int tokens = 0;
    QTimer repeat;
    int held = 0;  // the volume key held, 0 for none
};

}  // namespace quavelink
