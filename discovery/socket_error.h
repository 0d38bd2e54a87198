#pragma once

namespace quavelink {

//! Logs "<message>, errno = 0x<error>, GetLastError() = 0x<error>". POSIX sockets keep a single
//! error number, so it fills both fields; the line keeps its familiar shape for whoever reads
//! the log. Any thread.
void reportSocketError(const char* message, int error);

//! Same, with the current errno.
void reportSocketError(const char* message);

}  // namespace quavelink
