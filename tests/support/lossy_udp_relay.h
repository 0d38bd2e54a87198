#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

namespace quavelink::test {

//! 127.0.0.1 at `port`.
sockaddr_in loopback(std::uint16_t port);

//! A lossy, slow network between clients and a UDP server, in user space (the kernel here has
//! no netem): listens on 127.0.0.1, forwards every datagram from a client to the server and
//! every answer back, dropping each with a seeded random chance and holding each for a delay
//! drawn evenly from `delay` ± `jitter`, per direction. Each client address gets its own socket
//! towards the server, so the server tells the clients apart as it would on a real network.
//! A direction is a first-in first-out queue (a datagram waits for the one before it, as on a
//! link whose delay varies with its load) unless `reorder` lets a datagram with a shorter delay
//! overtake the ones before it (as netem's jitter does). The link towards one client can be
//! given a rate: its datagrams then leave one after the other at that rate, and one that would
//! wait longer than `linkQueue` for the link is dropped (as netem's rate with a queue limit).
//! One thread does all the forwarding; the counters, the loss chances and the rates may be used
//! from any thread.
class LossyUdpRelay {
  public:
    struct Options {
        std::uint16_t serverPort = 0;
        double lossToServer = 0.05;
        double lossToClient = 0.05;
        std::chrono::microseconds delay{20000};
        std::chrono::microseconds jitter{10000};
        std::uint32_t seed = 1;
        bool reorder = false;
        //! The longest a datagram may wait for a link with a rate.
        std::chrono::microseconds linkQueue{1000000};
    };

    //! What one direction saw: every datagram that arrived, the dropped ones and the sent ones.
    struct Counts {
        std::uint64_t received = 0;
        std::uint64_t dropped = 0;  //!< by chance, or for want of room on a slow link
        std::uint64_t forwarded = 0;
        //! Delay actually applied, smallest and largest (from arrival to the send call).
        std::chrono::microseconds minDelay{0};
        std::chrono::microseconds maxDelay{0};
    };

    explicit LossyUdpRelay(const Options& options);
    ~LossyUdpRelay();
    LossyUdpRelay(const LossyUdpRelay&) = delete;
    LossyUdpRelay& operator=(const LossyUdpRelay&) = delete;

    //! The port on 127.0.0.1 that clients send to.
    std::uint16_t port() const { return listenPort; }

    //! Changes the loss chances from now on.
    void setLoss(double toServer, double toClient);
    //! Changes the delay of the datagrams that arrive from now on (they still keep their order
    //! unless `reorder` is set).
    void setDelay(std::chrono::microseconds delay, std::chrono::microseconds jitter);
    //! Limits what reaches the client sending from 127.0.0.1:`clientPort` to `bytesPerSecond`
    //! of datagrams from now on; 0 lifts the limit.
    void setClientRate(std::uint16_t clientPort, double bytesPerSecond);

    Counts toServer() const;
    Counts toClient() const;
    //! How many client addresses have been seen.
    std::size_t clientCount() const;
    //! The most any datagram, either way, left after its time since the last call: what a busy
    //! machine, by holding up the relay's thread, added to the link's own delay.
    std::chrono::microseconds takeMostLate();

  private:
    struct State;
    void run();

    std::unique_ptr<State> state;
    std::uint16_t listenPort = 0;
    std::thread worker;
};

}  // namespace quavelink::test
