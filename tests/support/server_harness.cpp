#include "server_harness.h"

#include <enet/enet.h>

#include <stdexcept>

namespace quavelink::test {

ServerHarness::ServerHarness(const OpusEncoders::Factory& createEncoder,
                             ClientSessions::Clock clock)
    : server(window, recorder, createEncoder, clock), port(freeUdpPort()) {
    if (!server.start(port)) throw std::runtime_error("server network did not start");
}

ServerHarness::ServerHarness(ServerWindow& shownOn)
    : server(shownOn, recorder), port(freeUdpPort()) {
    if (!server.start(port)) throw std::runtime_error("server network did not start");
}

void ServerHarness::step(std::initializer_list<TestClient*> clients) {
    auto& block = tone.next();
    server.processAudioBlock(block.data(), static_cast<int>(block.size()));
    for (TestClient* client : clients) client->service(0);
}

bool ServerHarness::stepUntil(std::initializer_list<TestClient*> clients,
                              const std::function<bool()>& done, int maxSteps) {
    for (int i = 0; i < maxSteps && !done(); ++i) step(clients);
    return done();
}

std::unique_ptr<TestClient> ServerHarness::connect(std::uint32_t connectValue,
                                                   std::uint16_t localPort) {
    auto client = std::make_unique<TestClient>(port, connectValue, localPort);
    TestClient* raw = client.get();
    // Connected on both ends: the client saw its connect, and the server gave it a slot.
    auto inASlot = [&] {
        for (const ClientSlot& slot : server.sessions().slots()) {
            if (slot.peer != nullptr && slot.peer->connectID == raw->enetPeer()->connectID)
                return true;
        }
        return false;
    };
    if (!stepUntil({raw}, [&] { return raw->connected() && inASlot(); })) {
        throw std::runtime_error("client did not connect");
    }
    return client;
}

}  // namespace quavelink::test
