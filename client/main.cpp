#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "client/client_options.h"
#include "client/client_runner.h"
#include "client/system_client_parts.h"

using namespace quavelink;

namespace {

std::atomic<bool> quitRequested{false};

void onQuitSignal(int) { quitRequested = true; }

}  // namespace

int main(int argc, char** argv) {
    ParsedOptions parsed = parseClientOptions(std::vector<std::string>(argv, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "quavelink-client: %s (see --help)\n", parsed.error.c_str());
        return kClientExitUsage;
    }
    struct sigaction quit {};
    quit.sa_handler = onQuitSignal;
    sigaction(SIGINT, &quit, nullptr);
    sigaction(SIGTERM, &quit, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return ClientRunner(parsed.options, systemClientParts(quitRequested)).run();
}
