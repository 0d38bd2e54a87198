#include "platform/pulse/pulse_connection.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "pulse_daemon.h"

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

// A user of the source (the window moving a slider) connects again first, while the watch
// thread waits to retry: the reconnection is still told, once.
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

}  // namespace
}  // namespace quavelink::pulse
