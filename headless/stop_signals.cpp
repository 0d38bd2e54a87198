#include "headless/stop_signals.h"

#include <pthread.h>

#include <initializer_list>

namespace quavelink {

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                       SIGPROF, SIGIO, SIGPWR, SIGSTKFLT, SIGXCPU}) {
        sigaddset(&signals, signal);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&signals, signal);
    return signals;
}

void takeStopSignals() {
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGXFSZ, SIG_IGN);
}

}  // namespace quavelink
