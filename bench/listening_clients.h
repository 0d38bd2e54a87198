#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "test_client.h"

namespace quavelink::bench {

//! Services the benchmark's clients on a thread of their own, as their devices would, and counts
//! the audio messages they receive until `stop`. The thread is named `threadName`, so that what
//! it costs can be told from the server's share.
class ListeningClients {
  public:
    ListeningClients(std::vector<std::unique_ptr<test::TestClient>>& clients,
                     const char* threadName)
        : thread([this, &clients, threadName] {
              pthread_setname_np(pthread_self(), threadName);
              while (running) {
                  for (auto& client : clients) {
                      client->service(0);
                      count += static_cast<long>(client->messages().size());
                      client->messages().clear();
                  }
                  // A player wakes about as often as it gets audio, not in a busy loop.
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          }) {}
    ~ListeningClients() { stop(); }
    ListeningClients(const ListeningClients&) = delete;
    ListeningClients& operator=(const ListeningClients&) = delete;

    void stop() {
        running = false;
        if (thread.joinable()) thread.join();
    }
    long received() const { return count.load(); }

  private:
    std::atomic<bool> running{true};
    std::atomic<long> count{0};
    std::thread thread;  // last: it starts once the flags above exist
};

}  // namespace quavelink::bench
