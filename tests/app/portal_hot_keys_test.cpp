// The hot keys through the desktop portal's GlobalShortcuts, against a scripted portal on a
// private D-Bus session bus: the session and the shortcuts asked for, a press and a held key, a
// refusal, and the keys given back. The portal runs on a thread of its own, as a real one runs in
// a process of its own.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QEventLoop>
#include <algorithm>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "app/desktop_hot_keys.h"
#include "child_process.h"
#include "platform/hand_off.h"
#include "support/temporary_folder.h"
#include "window_test_helpers.h"

namespace quavelink {
namespace {

using namespace std::chrono_literals;

constexpr char kRequest[] = "org.freedesktop.portal.Request";

// What org.freedesktop.portal.Desktop does for GlobalShortcuts, scripted.
class FakePortal : public QDBusVirtualObject {
  public:
    explicit FakePortal(QDBusConnection bus) : bus(std::move(bus)) {}

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        const QString member = message.member();
        std::lock_guard lock(mutex);
        if (member == QLatin1String("Get")) {
            bus.send(message.createReply(QVariant::fromValue(QDBusVariant(2u))));
        } else if (member == QLatin1String("CreateSession")) {
            QVariantMap options;
            message.arguments().value(0).value<QDBusArgument>() >> options;
            session = objectPath("session", message, options.value("session_handle_token"));
            answer(message, objectPath("request", message, options.value("handle_token")), 0,
                   {{"session_handle", session}});
        } else if (member == QLatin1String("BindShortcuts")) {
            const QDBusArgument shortcuts = message.arguments().value(1).value<QDBusArgument>();
            shortcuts.beginArray();
            while (!shortcuts.atEnd()) {
                QString id;
                QVariantMap properties;
                shortcuts.beginStructure();
                shortcuts >> id >> properties;
                shortcuts.endStructure();
                bound.push_back(
                    (id + "=" + properties.value("preferred_trigger").toString()).toStdString());
            }
            shortcuts.endArray();
            QVariantMap options;
            message.arguments().value(3).value<QDBusArgument>() >> options;
            answer(message, objectPath("request", message, options.value("handle_token")),
                   refuseBinding ? 2u : 0u, {});
        } else if (member == QLatin1String("Close")) {
            closedSession = message.path();
            bus.send(message.createReply());
        } else {
            return false;
        }
        return true;
    }

    QString introspect(const QString&) const override { return {}; }

    // Any thread: a press (and, unless `held`, its release) of shortcut `id`.
    void press(const QString& id, bool held = false) {
        signal("Activated", sessionPath(), id);
        if (!held) release(id);
    }
    void release(const QString& id) { signal("Deactivated", sessionPath(), id); }

    QString sessionPath() {
        std::lock_guard lock(mutex);
        return session;
    }
    std::vector<std::string> shortcuts() {
        std::lock_guard lock(mutex);
        return bound;
    }
    QString closed() {
        std::lock_guard lock(mutex);
        return closedSession;
    }

    bool refuseBinding = false;

  private:
    static QString objectPath(const char* kind, const QDBusMessage& message,
                              const QVariant& token) {
        QString sender = message.service().mid(1).replace('.', '_');
        return QString("/org/freedesktop/portal/desktop/%1/%2/%3")
            .arg(kind, sender, token.toString());
    }

    // The method's reply, then its request's Response, as the portal sends them.
    void answer(const QDBusMessage& message, const QString& request, uint response,
                const QVariantMap& results) {
        bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QDBusMessage signal = QDBusMessage::createSignal(request, kRequest, "Response");
        signal << response << results;
        bus.send(signal);
    }

    void signal(const char* name, const QString& path, const QString& id) {
        QDBusMessage message = QDBusMessage::createSignal(
            PortalHotkeys::kPath, PortalHotkeys::kInterface, QString::fromLatin1(name));
        message << QVariant::fromValue(QDBusObjectPath(path)) << id << qulonglong(0)
                << QVariantMap();
        bus.send(message);
    }

    QDBusConnection bus;
    std::mutex mutex;
    std::vector<std::string> bound;
    QString session;
    QString closedSession;
};

// A private session bus with the scripted portal on its own thread, and the program's
// connection to it.
class PortalHotkeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        address = "unix:path=" + (folder.path() / "bus").string();
        bus = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--address=" + address});
        ASSERT_TRUE(test::runUntil([&] { return std::filesystem::exists(folder.path() / "bus"); }))
            << "no dbus-daemon";
        client = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(address), "program"));
        ASSERT_TRUE(client->isConnected());
    }

    void TearDown() override {
        if (portalThread.joinable()) {
            QEventLoop* loop = portalLoop;
            QMetaObject::invokeMethod(loop, HandOff([loop] { loop->quit(); }),
                                      Qt::QueuedConnection);
            portalThread.join();
        }
        QDBusConnection::disconnectFromBus("program");
    }

    // The portal lives and ends on a thread of its own, with an event loop for its bus.
    void startPortal(bool refuse = false) {
        std::promise<void> started;
        portalThread = std::thread([this, refuse, &started] {
            QEventLoop loop;
            QDBusConnection own =
                QDBusConnection::connectToBus(QString::fromStdString(address), "portal");
            FakePortal fake(own);
            fake.refuseBinding = refuse;
            own.registerService(PortalHotkeys::kService);
            own.registerVirtualObject(PortalHotkeys::kPath, &fake, QDBusConnection::SubPath);
            portal = &fake;
            portalLoop = &loop;
            started.set_value();
            loop.exec();
            own.unregisterObject(PortalHotkeys::kPath, QDBusConnection::UnregisterTree);
            QDBusConnection::disconnectFromBus("portal");
        });
        started.get_future().wait();
    }

    test::TemporaryFolder folder{"quavelink-portal"};
    std::string address;
    std::unique_ptr<test::ChildProcess> bus;
    std::unique_ptr<QDBusConnection> client;
    std::thread portalThread;
    QEventLoop* portalLoop = nullptr;
    FakePortal* portal = nullptr;
    std::vector<int> pressed;
};

TEST_F(PortalHotkeysTest, TheThreeKeysAreBoundAndActUntilGivenBack) {
    EXPECT_FALSE(PortalHotkeys::Offered(*client)) << "no portal yet";
    startPortal();
    ASSERT_TRUE(PortalHotkeys::Offered(*client));
    PortalHotkeys keys(*client);
    keys.RegisterHotKeys([&](int id) { pressed.push_back(id); });
    ASSERT_TRUE(test::runUntil([&] { return portal->shortcuts().size() == 3; }));
    EXPECT_EQ(portal->shortcuts(),
              (std::vector<std::string>{"volume-up=ALT+o", "volume-down=ALT+k", "mute=ALT+m"}));
    EXPECT_EQ(keys.Reach(), HotkeyReach::Everywhere);

    portal->press("mute");
    portal->press("volume-down");
    ASSERT_TRUE(test::runUntil([&] { return pressed.size() == 2; }));
    EXPECT_EQ(pressed, (std::vector<int>{kHotkeyMute, kHotkeyVolumeDown}));

    // Held, a volume key goes on stepping until it is let go; the portal tells no repeats.
    pressed.clear();
    portal->press("volume-up", true);
    ASSERT_TRUE(test::runUntil([&] { return pressed.size() >= 3; })) << pressed.size();
    portal->release("volume-up");
    test::runUntil([] { return false; }, std::chrono::seconds(1));
    const std::size_t afterRelease = pressed.size();
    test::runUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_EQ(pressed.size(), afterRelease);
    EXPECT_EQ(std::count(pressed.begin(), pressed.end(), kHotkeyVolumeUp),
              static_cast<long>(pressed.size()));

    QString session = portal->sessionPath();
    keys.UnregisterHotKeys();
    ASSERT_TRUE(test::runUntil([&] { return portal->closed() == session; }));
    pressed.clear();
    portal->press("mute");
    test::runUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_TRUE(pressed.empty()) << "given back, the keys do nothing";
}

TEST_F(PortalHotkeysTest, ARefusalMakesTheKeysUnavailableWithTheReason) {
    startPortal(true);
    PortalHotkeys keys(*client);
    int told = 0;
    keys.SetReachHandler([&] { ++told; });
    keys.RegisterHotKeys([&](int id) { pressed.push_back(id); });
    ASSERT_TRUE(test::runUntil([&] { return keys.Reach() == HotkeyReach::Nowhere; }));
    EXPECT_EQ(told, 1);
    EXPECT_NE(keys.Limitation().find("refused"), std::string::npos) << keys.Limitation();
}

}  // namespace
}  // namespace quavelink
