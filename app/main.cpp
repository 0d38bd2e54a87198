#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/program.h"

int main(int argc, char** argv) {
    // A closed standard output (the reader of a pipe gone, as after `| head`) is no reason to
    // stop streaming: writes to it fail and are dropped.
    signal(SIGPIPE, SIG_IGN);
    // Answered before Qt starts: Qt ends the process when it finds no display, and these
    // questions need none.
    switch (quavelink::terminalRequest(argc, argv)) {
        case quavelink::TerminalRequest::Help:
            std::fputs(quavelink::serverUsage(), stdout);
            return 0;
        case quavelink::TerminalRequest::Version:
            std::fputs(quavelink::serverVersionLine(), stdout);
            return 0;
        case quavelink::TerminalRequest::None:
            break;
    }
    if (auto unknown = quavelink::unknownArgument(argc, argv)) {
        std::fprintf(stderr, "quavelink-server: unknown option %s\n%s", unknown->c_str(),
                     quavelink::serverUsage());
        return 2;
    }
    if (auto line = quavelink::missingDisplayLine(argc, argv, std::getenv)) {
        std::fprintf(stderr, "%s\n", line->c_str());
        return 1;
    }
    return quavelink::runServerProgram(argc, argv);
}
