#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusVariant>

#include "app/desktop_hot_keys.h"
#include "platform/log.h"

namespace quavelink {

//! One entry of BindShortcuts' a(sa{sv}): the shortcut's id and its properties.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

}  // namespace quavelink

Q_DECLARE_METATYPE(quavelink::PortalShortcut)

namespace quavelink {

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

namespace {

constexpr char kRequestInterface[] = "org.freedesktop.portal.Request";
constexpr char kSessionInterface[] = "org.freedesktop.portal.Session";

struct Shortcut {
    const char* id;
    int hotkey;
    const char* description;
    const char* trigger;  // as the XDG shortcuts format writes it
};

constexpr Shortcut kShortcuts[] = {
    {"volume-up", kHotkeyVolumeUp, "Output volume up", "ALT+o"},
    {"volume-down", kHotkeyVolumeDown, "Output volume down", "ALT+k"},
    {"mute", kHotkeyMute, "Mute the output", "ALT+m"},
};

int hotkeyOf(const QString& id) {
    for (const Shortcut& shortcut : kShortcuts) {
        if (id == QLatin1String(shortcut.id)) return shortcut.hotkey;
    }
    return 0;
}

// A session handle comes as a string in some portal versions and as an object path in others.
QString pathText(const QVariant& value) {
    if (value.canConvert<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
    return value.toString();
}

}  // namespace

PortalHotkeys::PortalHotkeys(QDBusConnection busIn) : bus(std::move(busIn)) {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    repeat.setSingleShot(false);
    connect(&repeat, &QTimer::timeout, this, [this] {
        repeat.setInterval(kRepeatPeriodMs);
        if (held != 0 && onHotkey) onHotkey(held);
    });
    bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                SLOT(onActivated(QDBusMessage)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("Deactivated"), this,
                SLOT(onDeactivated(QDBusMessage)));
}

PortalHotkeys::~PortalHotkeys() { closeSession(); }

bool PortalHotkeys::Offered(QDBusConnection bus) {
    if (!bus.isConnected()) return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QString::fromLatin1(kInterface) << QStringLiteral("version");
    QDBusMessage reply = bus.call(get, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

void PortalHotkeys::request(const char* method, QList<QVariant> arguments, const QString& token) {
    // The request object is named after this connection and the token; listening before the
    // call means its Response cannot come first.
    QString sender = bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    requestPath =
        QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    bus.connect(kService, requestPath, kRequestInterface, QStringLiteral("Response"), this,
                SLOT(onResponse(QDBusMessage)));
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QString::fromLatin1(method));
    call.setArguments(arguments);
    // Not waited for: the window goes on while the portal answers.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, token] {
        watcher->deleteLater();
        QDBusMessage reply = watcher->reply();
        if (!requestPath.endsWith(QLatin1Char('/') + token)) return;  // closed meanwhile
        if (reply.type() != QDBusMessage::ReplyMessage) {
            refused(reply.errorMessage());
            return;
        }
        // An older portal may name the request otherwise: listen where it says.
        QString given = pathText(reply.arguments().value(0));
        if (!given.isEmpty() && given != requestPath) {
            bus.disconnect(kService, requestPath, kRequestInterface, QStringLiteral("Response"),
                           this, SLOT(onResponse(QDBusMessage)));
            requestPath = given;
            bus.connect(kService, requestPath, kRequestInterface, QStringLiteral("Response"), this,
                        SLOT(onResponse(QDBusMessage)));
        }
    });
}

void PortalHotkeys::RegisterHotKeys(std::function<void(int)> callback) {
    onHotkey = std::move(callback);
    if (step != Step::Idle) return;
    step = Step::Creating;
    QString token = QStringLiteral("quavelink%1").arg(++tokens);
    QVariantMap options{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("session_handle_token"), token}};
    request("CreateSession", {options}, token);
}

void PortalHotkeys::bind() {
    step = Step::Binding;
    QList<PortalShortcut> shortcuts;
    for (const Shortcut& shortcut : kShortcuts) {
        shortcuts.push_back({QString::fromLatin1(shortcut.id),
                             {{QStringLiteral("description"), shortcut.description},
                              {QStringLiteral("preferred_trigger"), shortcut.trigger}}});
    }
    QString token = QStringLiteral("quavelink%1").arg(++tokens);
    request("BindShortcuts",
            {QVariant::fromValue(QDBusObjectPath(sessionPath)), QVariant::fromValue(shortcuts),
             QString(), QVariantMap{{QStringLiteral("handle_token"), token}}},
            token);
}

void PortalHotkeys::onResponse(const QDBusMessage& message) {
    if (message.path() != requestPath) return;
    bus.disconnect(kService, requestPath, kRequestInterface, QStringLiteral("Response"), this,
                   SLOT(onResponse(QDBusMessage)));
    requestPath.clear();
    const QList<QVariant> arguments = message.arguments();
    const uint response = arguments.value(0).toUInt();
    QVariantMap results;
    if (arguments.size() > 1) arguments[1].value<QDBusArgument>() >> results;
    if (response != 0) {
        refused(response == 1 ? QStringLiteral("the desktop's dialog was cancelled")
                              : QStringLiteral("the desktop refused them"));
        return;
    }
    if (step == Step::Creating) {
        sessionPath = pathText(results.value(QStringLiteral("session_handle")));
        if (sessionPath.isEmpty()) {
            refused(QStringLiteral("the desktop gave no session"));
            return;
        }
        bind();
    } else if (step == Step::Binding) {
        step = Step::Bound;
        setReach(HotkeyReach::Everywhere, {});
        logLine("Global hotkeys bound through the desktop portal\n");
    }
}

void PortalHotkeys::onActivated(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (step != Step::Bound || pathText(arguments.value(0)) != sessionPath) return;
    int id = hotkeyOf(arguments.value(1).toString());
    if (id == 0 || !onHotkey) return;
    onHotkey(id);
    if (id != kHotkeyMute) {
        held = id;
        repeat.start(kRepeatDelayMs);
    }
}

void PortalHotkeys::onDeactivated(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (pathText(arguments.value(0)) != sessionPath) return;
    if (hotkeyOf(arguments.value(1).toString()) == held) {
        held = 0;
        repeat.stop();
    }
}

void PortalHotkeys::refused(const QString& why) {
    closeSession();
    setReach(HotkeyReach::Nowhere,
             "the desktop's shortcuts portal did not bind Alt+O, Alt+K and Alt+M (" +
                 why.toStdString() + ")");
}

void PortalHotkeys::closeSession() {
    held = 0;
    repeat.stop();
    if (!requestPath.isEmpty()) {
        bus.disconnect(kService, requestPath, kRequestInterface, QStringLiteral("Response"), this,
                       SLOT(onResponse(QDBusMessage)));
        requestPath.clear();
    }
    if (!sessionPath.isEmpty()) {
        bus.call(QDBusMessage::createMethodCall(kService, sessionPath, kSessionInterface,
                                                QStringLiteral("Close")),
                 QDBus::NoBlock);
        sessionPath.clear();
    }
    step = Step::Idle;
}

void PortalHotkeys::UnregisterHotKeys() { closeSession(); }

}  // namespace quavelink
