#include "app/tray_dialog.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMetaObject>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindowStateChangeEvent>

#include "resources/resources.h"
#include "settings/settings.h"

namespace quavelink {
namespace {

constexpr int kModeTrayOnStart = 1;
constexpr int kModeTaskBar = 2;

}  // namespace

CTrayDialog::CTrayDialog(QWidget* parent) : QDialog(parent) {
    // Neither desktop tray protocol tells the icon that its host has gone, so while the window
    // hides in the tray it asks now and then.
    trayWatch = new QTimer(this);
    trayWatch->setInterval(kTrayWatch);
    connect(trayWatch, &QTimer::timeout, this, [this] {
        if (iconShown && !trayAvailable()) BringToFront();
    });
}

CTrayDialog::~CTrayDialog() {
    if (iconShown && trayIcon != nullptr) trayIcon->hide();
    if (outOfSightFlag != nullptr) outOfSightFlag->store(false);
}

int CTrayDialog::minimizeToMode() const { return GetMinToTray(); }

bool CTrayDialog::trayAvailable() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

void CTrayDialog::SetOutOfSightFlag(std::atomic<bool>* flag) {
    outOfSightFlag = flag;
    updateOutOfSight();
}

void CTrayDialog::updateOutOfSight() {
    bool hidden = iconShown || isMinimized();
    outOfSight.store(hidden, std::memory_order_relaxed);
    if (outOfSightFlag != nullptr) outOfSightFlag->store(hidden, std::memory_order_relaxed);
}

void CTrayDialog::SetTrayIcon(int iconId) {
    QIcon loaded = LoadIconResource(iconId);
    if (loaded.isNull()) return;
    icon = loaded;
    iconResource = iconId;
    if (iconShown && trayIcon != nullptr) trayIcon->setIcon(icon);
}

void CTrayDialog::SetTrayTip(const char* text) {
    tip = QString::fromUtf8(text).left(kMaxTipLength);
}

bool CTrayDialog::AddTrayIcon() {
    if (iconShown) return false;
    if (!trayAvailable()) return false;
    if (trayIcon == nullptr) {
        trayIcon = new QSystemTrayIcon(this);
        connect(trayIcon, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    QPoint point = QCursor::pos();
                    switch (reason) {
                        case QSystemTrayIcon::Trigger:
                            OnTrayLButtonDown(point);
                            break;
                        case QSystemTrayIcon::DoubleClick:
                            OnTrayLButtonDblClk(point);
                            break;
                        case QSystemTrayIcon::Context:
                            OnTrayRButtonDown(point);
                            break;
                        default:
                            break;
                    }
                });
    }
    trayIcon->setIcon(icon);
    trayIcon->setToolTip(tip);
    trayIcon->show();
    iconShown = true;
    trayWatch->start();
    updateOutOfSight();
    return true;
}

bool CTrayDialog::RemoveTrayIcon() {
    if (!iconShown) return false;
    trayIcon->hide();
    iconShown = false;
    trayWatch->stop();
    updateOutOfSight();
    return true;
}

bool CTrayDialog::ModifyTrayIcon() {
    if (!iconShown) return false;
    trayIcon->setIcon(icon);
    trayIcon->setToolTip(tip);
    return true;
}

void CTrayDialog::OnTrayLButtonDown(QPoint point) { OnTrayLButtonDblClk(point); }

void CTrayDialog::OnTrayLButtonDblClk(QPoint) {
    if (minimizeToMode() == kModeTaskBar) return;
    if (!RemoveTrayIcon()) return;
    showRestored();
}

void CTrayDialog::BringToFront(const std::string& activationToken) {
    RemoveTrayIcon();
    showRestored(activationToken);
}

void CTrayDialog::showRestored(const std::string& activationToken) {
    // Whatever is left of the start countdown must not swallow this show.
    startShowCountdown = 0;
    // Wayland lets no program take its minimised window back; one mapped anew is shown.
    if (isMinimized() && QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        hide();
    }
    // Qt's Wayland platform hands the token to the compositor with the activation request.
    if (!activationToken.empty()) qputenv("XDG_ACTIVATION_TOKEN", activationToken.c_str());
    showNormal();
    raise();
    activateWindow();
    updateOutOfSight();
}

void CTrayDialog::OnTrayRButtonDown(QPoint) {}
void CTrayDialog::OnTrayRButtonDblClk(QPoint) {}
void CTrayDialog::OnTrayMouseMove(QPoint) {}

void CTrayDialog::setVisible(bool visible) {
    if (visible && startShowCountdown > 0) {
        if (minimizeToMode() == kModeTrayOnStart) {
            if (startShowCountdown == kStartShowRequests) hiddenAtStart = AddTrayIcon();
            if (hiddenAtStart) {
                --startShowCountdown;
                return;
            }
        }
        --startShowCountdown;
    }
    QDialog::setVisible(visible);
}

void CTrayDialog::done(int result) {
    RemoveTrayIcon();
    QDialog::done(result);
}

void CTrayDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) return;
    auto* change = static_cast<QWindowStateChangeEvent*>(event);
    bool minimisedNow = isMinimized() && !(change->oldState() & Qt::WindowMinimized);
    if (minimisedNow && minimizeToMode() != kModeTaskBar && AddTrayIcon()) {
        // The window leaves the task bar: hidden, and no longer minimised, so that the restore
        // brings it back in its normal state. Queued: whoever minimised the window may still
        // show it once this returns (QWidget::showMinimized does).
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!iconShown) return;
                setWindowState(windowState() & ~Qt::WindowMinimized);
                hide();
                updateOutOfSight();
            },
            Qt::QueuedConnection);
    }
    updateOutOfSight();
}

}  // namespace quavelink
