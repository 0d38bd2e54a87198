#pragma once

#include <termios.h>

#include <string>

#include "client/client_runner.h"

namespace quavelink {

//! Keys from standard input: one at a time without Enter on a terminal, and from a pipe as
//! well. The terminal's settings come back however the program ends (normally or by a signal).
class TerminalKeys : public KeySource {
  public:
    //! Reads nothing when `enabled` is false, or when the program runs in the background of
    //! its terminal.
    explicit TerminalKeys(bool enabled);
    ~TerminalKeys() override;
    TerminalKeys(const TerminalKeys&) = delete;
    TerminalKeys& operator=(const TerminalKeys&) = delete;

    std::string take() override;
    bool open() const override { return active; }

  private:
    bool active;
    bool terminal = false;
    termios saved{};
};

}  // namespace quavelink
