#include "server/server_thread.h"

#include <enet/enet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <optional>
#include <thread>

#include "fake_capture_control.h"
#include "fake_record_sink.h"
#include "fake_server_window.h"
#include "log_capture.h"
#include "platform/environment.h"
#include "platform/thread.h"
#include "server/capture_recovery.h"
#include "server/stream_server.h"
#include "test_client.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

using FakeCapture = FakeCaptureControl;

struct DeviceLoop {
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server{window, recorder};
    FakeCapture capture;
    std::jthread thread;

    void run() {
        thread = std::jthread(
            [this](std::stop_token stop) { runDeviceLoop(server, capture, window, stop, 5ms); });
    }
    bool waitFor(std::size_t calls) {
        for (int i = 0; i < 2000 && capture.snapshot().size() < calls; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        thread.request_stop();
        thread.join();
        return capture.snapshot().size() >= calls;
    }
};

TEST(DeviceLoop, RestartsTheCaptureOnEachChoiceAndShowsTheRate) {
    DeviceLoop loop;
    loop.window.choice.choose(1);
    loop.window.choice.choose(4);  // two choices within one period count as one
    loop.run();
    ASSERT_TRUE(loop.waitFor(2));
    EXPECT_EQ(loop.capture.snapshot(), (std::vector<std::string>{"stop", "start 4"}));
    EXPECT_EQ(loop.window.rateTexts, (std::vector<std::string>{" 48.0 kHz"}));
    EXPECT_EQ(loop.window.rateColors, (std::vector<std::uint32_t>{0x00B07070}));

    loop.capture.takeCalls();
    loop.capture.startAt48k = false;
    loop.window.choice.choose(4);  // the same device again still restarts
    loop.run();
    ASSERT_TRUE(loop.waitFor(2));
    EXPECT_EQ(loop.capture.snapshot(), (std::vector<std::string>{"stop", "start 4"}));
    EXPECT_EQ(loop.window.rateTexts.back(), " 44.1 kHz");
    EXPECT_FALSE(loop.server.streamIs48k);
}

TEST(DeviceLoop, AReportedFailureOnlyEmptiesTheRateText) {
    DeviceLoop loop;
    loop.capture.presentResult = -2;
    loop.window.choice.choose(0);
    loop.run();
    ASSERT_TRUE(loop.waitFor(3));
    EXPECT_EQ(loop.window.rateTexts, (std::vector<std::string>{""}));
    EXPECT_TRUE(loop.window.messageBoxes.empty());
}

TEST(DeviceLoop, OtherFailuresShowTheCodeInHexadecimal) {
    DeviceLoop loop;
    loop.capture.presentResult = static_cast<int>(0x88890008u);
    loop.window.choice.choose(2);
    loop.run();
    ASSERT_TRUE(loop.waitFor(3));
    EXPECT_EQ(loop.window.rateTexts, (std::vector<std::string>{""}));
    EXPECT_EQ(loop.window.messageBoxes,
              (std::vector<std::string>{"Error 88890008 opening audio input device\n"}));
    EXPECT_TRUE(loop.window.rateColors.empty());
}

TEST(DeviceLoop, ServesClientsWhileNoCaptureRuns) {
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server(window, recorder);
    const std::uint16_t port = freeUdpPort();
    ASSERT_TRUE(server.start(port));
    FakeCaptureControl capture;
    capture.set(0, CaptureControl::EndpointState::NoSoundServer);
    window.choice.choose(0);
    std::jthread thread(
        [&](std::stop_token stop) { runDeviceLoop(server, capture, window, stop, 100ms); });

    // A client gets in and is heard although no block is ever captured.
    TestClient client(port, 1);
    for (int i = 0; i < 1000 && !client.connected(); ++i) client.service(10);
    ASSERT_TRUE(client.connected());
    client.sendDataRequest(FLAG_RELIABLE, "idle");
    bool named = false;
    for (int i = 0; i < 1000 && !named; ++i) {
        client.service(10);
        for (const auto& status : window.read(&FakeServerWindow::statuses)) {
            named = named || status.name == std::optional<std::string>("idle");
        }
    }
    EXPECT_TRUE(named);
    // The start failed and is tried again, the client still served all along.
    auto retried = [&] {
        auto calls = capture.snapshot();
        return std::find(calls.begin(), calls.end(), "retry 0") != calls.end();
    };
    for (int i = 0; i < 1000 && !retried(); ++i) client.service(10);
    EXPECT_TRUE(client.connected());
    thread.request_stop();
    thread.join();
    const auto calls = capture.snapshot();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 3),
              (std::vector<std::string>{"stop", "start 0", "probe 0"}));
    EXPECT_TRUE(retried());
    EXPECT_EQ(window.read(&FakeServerWindow::messageBoxes),
              std::vector<std::string>{kNoSoundServerMessage});
}

// A server started on a free port, serviced by the test as the server thread would while no
// capture runs, with one client connected.
struct IdleServer {
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server{window, recorder};
    const std::uint16_t port = freeUdpPort();
    std::optional<TestClient> client;

    bool connect() {
        if (!server.start(port)) return false;
        client.emplace(port, 1 | CONNECT_FLAG_SHARED);
        for (int i = 0; i < 500 && !client->connected(); ++i) {
            server.serviceWhileIdle(1ms);
            client->service(0);
        }
        return client->connected();
    }
    std::size_t namedStatuses() {
        auto statuses = window.read(&FakeServerWindow::statuses);
        return std::count_if(statuses.begin(), statuses.end(),
                             [](const auto& status) { return status.name.has_value(); });
    }
};

// A peer that keeps events coming would otherwise hold the server thread in its idle service,
// and no tick (the capture's recovery among its work) would run while it lasts.
TEST(IdleService, EndsWhenItsTimeIsUpHoweverManyEventsWait) {
    IdleServer idle;
    ASSERT_TRUE(idle.connect());
    const std::size_t before = idle.namedStatuses();
    // Data requests under as many names: each one that is handled reaches the window.
    for (int i = 0; i < 1000; ++i) {
        std::vector<std::uint8_t> request(kMessageHeaderSize);
        writeMessageHeader({MSG_DATA_REQUEST, 0, FLAG_RELIABLE, 0}, request.data());
        for (char c : "n" + std::to_string(i)) request.push_back(static_cast<std::uint8_t>(c));
        request.push_back(0);
        idle.client->queueRaw(request);
    }
    idle.client->flush();
    std::this_thread::sleep_for(100ms);
    idle.server.serviceWhileIdle(0ms);
    EXPECT_LT(idle.namedStatuses() - before, 10u);
    // The rest comes with the next calls.
    for (int i = 0; i < 1000 && idle.namedStatuses() - before < 1000; ++i) {
        idle.server.serviceWhileIdle(1ms);
    }
    EXPECT_EQ(idle.namedStatuses() - before, 1000u);
}

// A socket that fails does so at every call: said once, and the time waited out, not spun.
TEST(IdleService, APersistentSocketErrorIsToldOnceAndItsTimeWaitedOut) {
    IdleServer idle;
    ASSERT_TRUE(idle.connect());
    LogCapture log;
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_GE(dup2(pipeEnds[1], idle.server.host()->socket), 0);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(idle.server.serviceWhileIdle(5ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(log.count("Error returned from service call\n"), 1);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

TEST(ServerStart, TakesThePortFromTheEnvironment) {
    std::uint16_t port = freeUdpPort();
    setenv("QUAVELINK_SERVER_PORT", std::to_string(port + 65536).c_str(), 1);
    LogCapture log;
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server(window, recorder);
    ASSERT_TRUE(server.start(portFromEnvironment()));
    unsetenv("QUAVELINK_SERVER_PORT");
    EXPECT_EQ(log.count("Using port number " + std::to_string(port) + " from environment\n"), 1);

    // A client reaches it there.
    TestClient client(port, 1);
    std::uint8_t none = 0;
    for (int i = 0; i < 500 && !client.connected(); ++i) {
        server.processAudioBlock(&none, 0);
        client.service(0);
    }
    EXPECT_TRUE(client.connected());
}

TEST(ServerStart, WarnsThatPortZeroIsAPortClientsCannotKnow) {
    LogCapture log;
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server(window, recorder);
    ASSERT_TRUE(server.start(0));
    const unsigned chosen = server.host()->address.port;
    EXPECT_NE(chosen, 0u);
    EXPECT_EQ(log.count("Warning, port number 0 lets the system choose a port (" +
                        std::to_string(chosen) + " this time), where clients will not look\n"),
              1);
    EXPECT_TRUE(window.read(&FakeServerWindow::messageBoxes).empty());
}

TEST(ServerThread, StartsAndRestartsTheCaptureOnItsSmallStack) {
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server(window, recorder);
    FakeCapture capture;
    setenv("QUAVELINK_SERVER_PORT", std::to_string(freeUdpPort()).c_str(), 1);
    window.choice.choose(0);
    std::stop_source stop;
    std::promise<void> finished;
    ASSERT_TRUE(startDetachedThread(
        [&] {
            serverThread(server, capture, window, stop.get_token());
            finished.set_value();
        },
        kWorkerStackBytes));
    for (int i = 0; i < 5000 && capture.snapshot().size() < 2; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    stop.request_stop();
    EXPECT_EQ(finished.get_future().wait_for(10s), std::future_status::ready);
    unsetenv("QUAVELINK_SERVER_PORT");
    EXPECT_EQ(capture.snapshot(), (std::vector<std::string>{"stop", "start 0"}));
    EXPECT_EQ(window.rateTexts, (std::vector<std::string>{" 48.0 kHz"}));
}

TEST(ServerStartDeathTest, ABusyPortShowsTheBoxAndEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer holder(window, recorder);
    std::uint16_t port = freeUdpPort();
    ASSERT_TRUE(holder.start(port));
    setenv("QUAVELINK_SERVER_PORT", std::to_string(port).c_str(), 1);
    FakeCapture capture;
    EXPECT_EXIT(
        {
            StreamServer server(window, recorder);
            serverThread(server, capture, window);
        },
        ::testing::ExitedWithCode(255), "network port may be busy \\(try rebooting\\)");
    unsetenv("QUAVELINK_SERVER_PORT");
}

}  // namespace
}  // namespace quavelink::test
