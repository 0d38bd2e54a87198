#pragma once

#include <string>

namespace quavelink {

//! Shows the program's modal message boxes (fixed text, an OK button).
class MessageBoxHost {
  public:
    virtual ~MessageBoxHost() = default;

    //! Any thread. Returns once the user has closed the box; a host without a user (headless,
    //! tests) logs the text and returns at once, as if OK had been pressed.
    virtual void ShowMessageBox(const std::string& text) = 0;
};

}  // namespace quavelink
