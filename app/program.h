#pragma once

namespace quavelink {

//! The whole program: the single-instance check, the optional console, the priority request,
//! then the main window until the user closes it. Main thread; ends the process itself once
//! the window is closed (worker threads are never joined), so it returns only when the start
//! is refused. Exit status: 0 after a normal close, 1 when another instance runs or the
//! headless server holds the port, 255 when the server thread could not be created.
int runServerProgram(int argc, char** argv);

//! The message box for a result of the window's modal run, or null when the result needs none.
const char* modalResultMessage(int result);

}  // namespace quavelink
