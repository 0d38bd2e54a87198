#include "client/terminal_keys.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace quavelink {

TerminalKeys::TerminalKeys(bool enabled) : active(enabled) {
    if (!active) return;
    if (isatty(STDIN_FILENO)) {
        // In the background a read (or a change of the terminal's settings) would stop the
        // process; keys belong to the foreground only.
        if (tcgetpgrp(STDIN_FILENO) != getpgrp()) {
            active = false;
            return;
        }
    }
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) terminal = true;
    }
}

TerminalKeys::~TerminalKeys() {
    if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

std::string TerminalKeys::take() {
    std::string keys;
    while (active) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, 0) <= 0) break;
        if ((in.revents & (POLLIN | POLLHUP)) == 0) {
            active = false;
            break;
        }
        char buffer[64];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            active = false;  // end of input: no more keys will come
            break;
        }
        keys.append(buffer, static_cast<std::size_t>(n));
    }
    return keys;
}

}  // namespace quavelink
