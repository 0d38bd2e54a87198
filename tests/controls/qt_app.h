#pragma once

#include <QApplication>

namespace quavelink::test {

//! Creates the process's QApplication on Qt's offscreen platform (no display needed) the first
//! time it is called; it lives until the process ends.
inline void ensureQtApplication() {
    if (QApplication::instance() != nullptr) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "controls_gui_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

}  // namespace quavelink::test
