#include "platform/pulse/pulse_connection.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "pulse_daemon.h"
#include "temporary_folder.h"

namespace quavelink::pulse {
namespace {

using namespace std::chrono_literals;
using test::PulseDaemon;

// A watching source over a private sound server, counting the reconnections it tells of.
class PulseConnectionSource : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pulse.ready()); }

    std::unique_ptr<ConnectionSource> watchingSource() {
        return std::make_unique<ConnectionSource>([] { return std::make_shared<Connection>(); },
                                                  Connection::Options{}, true,
                                                  [this] { ++reconnects; });
    }

    // Waits up to 10 s for `done`.
    static bool waitFor(const std::function<bool()>& done) {
        for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(10ms);
        return done();
    }

    PulseDaemon pulse{{"module-null-sink sink_name=test rate=48000"}};
    std::atomic<int> reconnects{0};
};

// A user of the source (the window moving a slider) asks for the connection while the watch
// thread waits to retry: it tries at once, and the reconnection is told once.
TEST_F(PulseConnectionSource, TellsOfAConnectionAnotherThreadMadeAfterTheServerCameBack) {
    auto source = watchingSource();
    std::shared_ptr<Connection> connection;
    ASSERT_EQ(source->current(connection), 0);
    connection.reset();
    pulse.kill(SIGKILL);
    ASSERT_TRUE(waitFor([&] { return !source->last()->alive(); }));

    std::atomic<bool> connected{false};
    std::thread user([&] {
        std::shared_ptr<Connection> made;
        for (int i = 0; i < 20000 && source->current(made) != 0; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        connected = made != nullptr;
    });
    const bool restarted = pulse.restart();
    user.join();
    ASSERT_TRUE(restarted);
    ASSERT_TRUE(connected);
    EXPECT_TRUE(waitFor([&] { return reconnects.load() > 0; }));
    source.reset();
    EXPECT_EQ(reconnects.load(), 1);
}

// The first connection, made while the sound server runs, is no reconnection.
TEST_F(PulseConnectionSource, TellsNothingOfTheFirstConnection) {
    auto source = watchingSource();
    ASSERT_TRUE(waitFor([&] {
        std::shared_ptr<Connection> last = source->last();
        return last && last->alive();
    }));
    std::shared_ptr<Connection> connection;
    ASSERT_EQ(source->current(connection), 0);
    source.reset();
    EXPECT_EQ(reconnects.load(), 0);
}

// A sound server that takes connections and never answers them: PULSE_SERVER points at it while
// it lives.
class SilentSoundServer {
  public:
    SilentSoundServer() {
        const std::string path = folder.file("native");
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 8);
        if (const char* server = getenv("PULSE_SERVER")) previous = server;
        setenv("PULSE_SERVER", ("unix:" + path).c_str(), 1);
    }
    ~SilentSoundServer() {
        hangUp();
        if (previous) {
            setenv("PULSE_SERVER", previous->c_str(), 1);
        } else {
            unsetenv("PULSE_SERVER");
        }
    }

    //! Whether a client connected and sent its first request within 10 s.
    bool clientWaitsForAnAnswer() {
        pollfd ready{listener, POLLIN, 0};
        if (poll(&ready, 1, 10000) != 1) return false;
        client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ready = {client, POLLIN, 0};
        return poll(&ready, 1, 10000) == 1;
    }
    //! Closes every connection: the client's connect fails at once.
    void hangUp() {
        if (client >= 0) close(client);
        if (listener >= 0) close(listener);
        client = listener = -1;
    }

  private:
    test::TemporaryFolder folder{"quavelink-silent-server"};
    int listener = -1;
    int client = -1;
    std::optional<std::string> previous;
};

// While one connect waits for a sound server that never answers (for libpulse's time-out of
// half a minute), any other user of the source gets its answer within the source's own wait:
// a window asking for a mixer value is held up for that long at most, not for the time-out.
TEST(PulseConnectionSourceConnect, AnUnansweringServerHoldsUpOnlyTheThreadThatConnects) {
    for (bool watch : {false, true}) {
        SCOPED_TRACE(watch ? "with a watch thread" : "without a watch thread");
        SilentSoundServer server;
        ConnectionSource source([] { return std::make_shared<Connection>(); },
                                Connection::Options{}, watch);
        std::future<int> connecting;
        if (!watch) {
            connecting = std::async(std::launch::async, [&] {
                std::shared_ptr<Connection> connection;
                return source.current(connection);
            });
        }
        ASSERT_TRUE(server.clientWaitsForAnAnswer());

        auto other = std::async(std::launch::async, [&] {
            std::shared_ptr<Connection> connection;
            const int error = source.current(connection);
            return error != 0 && connection == nullptr && source.last() == nullptr;
        });
        const bool answered =
            other.wait_for(ConnectionSource::kConnectWait + 3s) == std::future_status::ready;
        server.hangUp();
        EXPECT_TRUE(answered);
        EXPECT_TRUE(other.get());
        if (connecting.valid()) {
            EXPECT_NE(connecting.get(), 0);
        }
    }
}

}  // namespace
}  // namespace quavelink::pulse
