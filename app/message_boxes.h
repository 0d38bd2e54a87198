#pragma once

#include <QString>
#include <memory>
#include <string>

class QMessageBox;

#include "platform/message_box.h"

namespace quavelink {

//! The program's message boxes. Interactive: a modal box on the GUI thread; a worker that asks
//! for one waits until the user has closed it. Logged: no box at all, the text goes to the log
//! as "Message box: <text>" and the call returns at once, as if OK had been pressed, so that an
//! automated run never waits for a user.
class GuiMessageBoxHost : public MessageBoxHost {
  public:
    enum class Mode { Interactive, Logged };

    //! GUI thread, after the QApplication exists; lives until the process exits.
    explicit GuiMessageBoxHost(Mode mode) : mode(mode) {}

    //! Any thread. In Interactive mode a worker blocks until the box is closed, so it must not
    //! hold anything the GUI thread may wait for.
    void ShowMessageBox(const std::string& text) override;

    //! Logged on the display-less platforms ("offscreen", "minimal"), where nobody could close
    //! a box; Interactive everywhere else.
    static Mode modeForPlatform(const QString& platformName);

    Mode currentMode() const { return mode; }

  private:
    Mode mode;
};

//! The box an Interactive host shows for `text`: plain text, an OK button, a fixed size that
//! cannot be maximised. GUI thread.
std::unique_ptr<QMessageBox> makeMessageBox(const std::string& text);

//! The box text as shown and logged: trailing line ends removed.
std::string messageBoxText(const std::string& text);

}  // namespace quavelink
