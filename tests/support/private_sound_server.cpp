// A private sound server for the benchmarks' shell scripts, started as the tests start theirs
// (pulse_daemon.h): prints the environment that reaches it (NAME=value lines, then "ready") and
// runs until SIGTERM or SIGINT, then ends it and removes its folder.
// Usage: private_sound_server pulseaudio|pipewire MODULE...
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pulse_daemon.h"

int main(int argc, char** argv) {
    if (argc < 2 ||
        (std::strcmp(argv[1], "pulseaudio") != 0 && std::strcmp(argv[1], "pipewire") != 0)) {
        std::fprintf(stderr, "usage: %s pulseaudio|pipewire MODULE...\n", argv[0]);
        return 2;
    }
    setenv("QUAVELINK_TEST_SOUND_SERVER", argv[1], 1);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    quavelink::test::PulseDaemon daemon(std::vector<std::string>(argv + 2, argv + argc));
    if (!daemon.ready()) {
        std::fprintf(stderr, "the sound server did not start\n");
        return 1;
    }
    for (const char* name : {"PULSE_SERVER", "PIPEWIRE_RUNTIME_DIR"}) {
        if (const char* value = std::getenv(name)) std::printf("%s=%s\n", name, value);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
