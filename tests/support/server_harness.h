#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "fake_record_sink.h"
#include "fake_server_window.h"
#include "server/stream_server.h"
#include "test_client.h"
#include "tone.h"

namespace quavelink::test {

//! A started streaming core on a free port of 127.0.0.1 with a fake window and recorder, and a
//! tone to feed it.
struct ServerHarness {
    explicit ServerHarness(const OpusEncoders::Factory& createEncoder = OpusEncoders::createDefault,
                           ClientSessions::Clock clock = &ClientSessions::unixTimeNow);
    //! The same core reporting to `shownOn` (a real window) instead of `window`.
    explicit ServerHarness(ServerWindow& shownOn);

    //! Feeds the next tone block to the server and lets every client handle what arrived.
    void step(std::initializer_list<TestClient*> clients);
    //! Steps until `done` holds or `maxSteps` blocks went by; returns `done()`.
    bool stepUntil(std::initializer_list<TestClient*> clients, const std::function<bool()>& done,
                   int maxSteps = 2000);
    //! Connects a client and waits until the server has given it a slot.
    std::unique_ptr<TestClient> connect(std::uint32_t connectValue, std::uint16_t localPort = 0);

    FakeServerWindow window;
    FakeRecordSink recorder;
    StreamServer server;
    std::uint16_t port;
    ToneBlocks tone{1000.0, 48000};
};

}  // namespace quavelink::test
