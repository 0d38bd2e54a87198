// The lossy relay of the tests as a program, for long runs driven by a script: relays UDP to a
// server on 127.0.0.1, prints the port clients are to use, and on SIGTERM or SIGINT the datagrams
// it saw and dropped.
// Usage: lossy_relay <server port> <loss, 0..1> [seed]
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "lossy_udp_relay.h"

using quavelink::test::LossyUdpRelay;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: lossy_relay <server port> <loss, 0..1> [seed]\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    LossyUdpRelay::Options options;
    options.serverPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
    options.lossToServer = options.lossToClient = std::atof(argv[2]);
    if (argc > 3) options.seed = static_cast<std::uint32_t>(std::atoi(argv[3]));
    LossyUdpRelay relay(options);
    std::printf("%u\n", relay.port());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop, &signal);
    auto up = relay.toServer();
    auto down = relay.toClient();
    std::printf("to server: %llu received, %llu dropped; to clients: %llu received, %llu dropped\n",
                static_cast<unsigned long long>(up.received),
                static_cast<unsigned long long>(up.dropped),
                static_cast<unsigned long long>(down.received),
                static_cast<unsigned long long>(down.dropped));
    return 0;
}
