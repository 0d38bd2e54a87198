#include "app/message_boxes.h"

#include <QCoreApplication>
#include <QLayout>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include "platform/hand_off.h"
#include "platform/log.h"

namespace quavelink {
namespace {

void showBox(const std::string& text) {
    std::unique_ptr<QMessageBox> box = makeMessageBox(text);
    box->exec();
}

}  // namespace

std::unique_ptr<QMessageBox> makeMessageBox(const std::string& text) {
    auto box =
        std::make_unique<QMessageBox>(QMessageBox::NoIcon, QStringLiteral("QuaveLink Server"),
                                      QString::fromStdString(text), QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    // A box of one line and an OK button has nothing to show bigger: a fixed size tells the
    // window manager not to offer maximising it.
    box->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        Qt::WindowCloseButtonHint);
    if (QLayout* layout = box->layout()) layout->setSizeConstraint(QLayout::SetFixedSize);
    return box;
}

std::string messageBoxText(const std::string& text) {
    std::size_t end = text.find_last_not_of("\r\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

GuiMessageBoxHost::Mode GuiMessageBoxHost::modeForPlatform(const QString& platformName) {
    if (platformName == QLatin1String("offscreen") || platformName == QLatin1String("minimal")) {
        return Mode::Logged;
    }
    return Mode::Interactive;
}

void GuiMessageBoxHost::ShowMessageBox(const std::string& text) {
    std::string shown = messageBoxText(text);
    if (mode == Mode::Logged) {
        logLine("Message box: %s\n", shown.c_str());
        return;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        logLine("Message box: %s\n", shown.c_str());
        return;
    }
    if (QThread::currentThread() == app->thread()) {
        showBox(shown);
        return;
    }
    QMetaObject::invokeMethod(app, HandOff([shown] { showBox(shown); }),
                              Qt::BlockingQueuedConnection);
}

}  // namespace quavelink
