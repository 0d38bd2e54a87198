#include <enet/enet.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <random>

#include "server_harness.h"

namespace quavelink::test {
namespace {

std::size_t heapInUse() { return mallinfo2().uordblks; }

// Frees the fake window's records with their storage. Emptied but kept, a record list of a few
// hundred KB counts in the heap or not depending on whether glibc, whose threshold for mapping a
// large block of its own moves as such blocks are freed, placed it inside the heap.
void forgetWindowRecords(FakeServerWindow& window) {
    std::vector<FakeServerWindow::MeterCall>().swap(window.meterCalls);
    std::vector<FakeServerWindow::Status>().swap(window.statuses);
}

// A thousand clients come and go, many at once, of every kind, while audio streams.
TEST(Soak, AThousandConnectionsLeaveTheTableConsistentAndTheHeapWhereItWas) {
    ServerHarness harness;
    std::mt19937 random(20261208);
    std::vector<std::unique_ptr<TestClient>> clients;
    int connectsMade = 0;
    auto stepAll = [&] {
        auto& block = harness.tone.next();
        harness.server.processAudioBlock(block.data(), static_cast<int>(block.size()));
        for (auto& client : clients) {
            client->service(0);
            client->messages().clear();
        }
    };
    // Warm up: ENet and the allocator settle before the heap is measured.
    for (int i = 0; i < 300; ++i) stepAll();
    // The fake window keeps every meter value and status it is given: not the server's memory.
    forgetWindowRecords(harness.window);
    const std::size_t heapBefore = heapInUse();

    std::size_t mostAtOnce = 0;
    while (connectsMade < 1000 || !clients.empty()) {
        const bool connect =
            connectsMade < 1000 && (clients.size() < 4 || random() % 2 == 0) && clients.size() < 30;
        if (connect) {
            std::uint32_t value = (random() % 2) | (random() % 2 ? CONNECT_FLAG_SHARED : 0);
            clients.push_back(std::make_unique<TestClient>(harness.port, value));
            ++connectsMade;
        } else {
            // A connected client says goodbye; one the server dropped just goes; one still
            // connecting gets another turn.
            std::size_t victim = random() % clients.size();
            TestClient& client = *clients[victim];
            if (client.connected()) {
                client.disconnect();
                for (int i = 0; i < 3; ++i) stepAll();
            }
            if (client.connected() || client.disconnectValue()) {
                clients.erase(clients.begin() + static_cast<long>(victim));
            }
        }
        mostAtOnce = std::max(mostAtOnce, clients.size());
        for (int i = 0; i < 4; ++i) stepAll();
        for (auto& client : clients) {
            if (client->connected() && random() % 8 == 0) {
                client->sendDataRequest((random() % 2) | (random() % 4) << kRateCodeShift, "soak");
            }
        }
    }
    // Every connection the server saw has ended.
    ASSERT_TRUE(harness.stepUntil(
        {}, [&] { return harness.server.sessions().connectedCount() == 0; }, 40000))
        << harness.server.sessions().connectedCount() << " still counted";
    for (const ClientSlot& slot : harness.server.sessions().slots()) EXPECT_EQ(slot.peer, nullptr);
    EXPECT_GE(mostAtOnce, 20u);

    int connects = 0;
    {
        // A copy of the statuses, gone before the heap is measured again.
        auto statuses = harness.window.read(&FakeServerWindow::statuses);
        int disconnects = 0;
        for (const auto& status : statuses) {
            if (!status.name) ++disconnects;
            if (status.name && status.name->empty()) ++connects;
        }
        // ENet folds a connection that ends before the server looked into no event at all, so a
        // few of the thousand may be missing; the count must still be what the events say.
        EXPECT_GE(connects, 990);
        EXPECT_EQ(connects - disconnects, harness.server.sessions().connectedCount());
        for (const auto& status : statuses) EXPECT_GE(status.connectedCount, 0);
    }

    for (int i = 0; i < 300; ++i) stepAll();
    forgetWindowRecords(harness.window);
    const std::size_t heapAfter = heapInUse();
    EXPECT_LT(heapAfter, heapBefore + 64 * 1024) << heapBefore << " -> " << heapAfter;
    std::printf("%d connects, at most %zu clients at once, heap in use %zu -> %zu bytes\n",
                connects, mostAtOnce, heapBefore, heapAfter);

    // And the server still serves.
    auto fresh = harness.connect(1);
    fresh->sendDataRequest(FLAG_RELIABLE | 3u << kRateCodeShift, "after");
    EXPECT_TRUE(harness.stepUntil({fresh.get()}, [&] { return fresh->messages().size() > 20; }));
}

}  // namespace
}  // namespace quavelink::test
