#pragma once

#include <QDialog>
#include <QIcon>
#include <QPoint>
#include <QString>
#include <atomic>
#include <chrono>
#include <string>

class QSystemTrayIcon;
class QTimer;

namespace quavelink {

//! A dialog that can live in the notification area instead of the task bar. The "Minimize to"
//! choice (MinToTray: 0 "Tray", 1 "Tray on Start", 2 "Task Bar") decides where minimising
//! goes and whether the window starts hidden there. While the icon is shown the window is
//! hidden; a click on the icon shows the window again and removes the icon. Without a
//! notification area (no tray host on the display, or the offscreen platform) adding the icon
//! fails, so minimising stays with the window manager and the window is shown at start. A
//! notification area that goes away while the window is hidden in it (its host ended or
//! crashed) gives the window back, since nothing else could ever show it again.
//! GUI thread only, except IsOutOfSight.
class CTrayDialog : public QDialog {
  public:
    //! The icon's id: Qt has one icon per QSystemTrayIcon, so it only names the icon in logs.
    static constexpr int kTrayIconId = 1;
    static constexpr int kMaxTipLength = 127;
    //! Show requests examined for "Tray on Start": a Qt window gets one as it first appears.
    static constexpr int kStartShowRequests = 1;
    //! How often a shown icon checks that the notification area is still there.
    static constexpr std::chrono::milliseconds kTrayWatch{1000};

    explicit CTrayDialog(QWidget* parent = nullptr);
    ~CTrayDialog() override;

    //! Takes icon resource `iconId`; an unknown id leaves the previous icon in place. A shown
    //! icon changes at once.
    void SetTrayIcon(int iconId);
    //! The tip, cut to kMaxTipLength characters; applied at the next add or modify.
    void SetTrayTip(const char* text);
    QString TrayTip() const { return tip; }
    //! False when the icon is already shown or there is no notification area.
    bool AddTrayIcon();
    //! False when the icon is not shown.
    bool RemoveTrayIcon();
    //! Hands the current picture and tip to a shown icon; false when none is shown.
    bool ModifyTrayIcon();
    bool IsTrayIconShown() const { return iconShown; }
    //! The resource id of the icon last taken by SetTrayIcon, 0 before the first.
    int TrayIconResource() const { return iconResource; }

    //! Any thread: the icon is shown (the window hidden in the notification area) or the
    //! window is minimised.
    bool IsOutOfSight() const { return outOfSight.load(std::memory_order_relaxed); }
    //! Also keeps `*flag` equal to IsOutOfSight (for an object that outlives the window);
    //! null stops that. GUI thread.
    void SetOutOfSightFlag(std::atomic<bool>* flag);

    // Mouse actions on the icon; `point` is the cursor position, which none of them uses.
    //! A single click restores, like a double click.
    virtual void OnTrayLButtonDown(QPoint point);
    //! Restores the window from the notification area (not in "Task Bar" mode).
    virtual void OnTrayLButtonDblClk(QPoint point);
    //! Shows the window in front of the others, from the notification area or minimised,
    //! whatever the mode: a second start of the program, or the notification area gone.
    //! `activationToken` is the second start's XDG_ACTIVATION_TOKEN, which a Wayland desktop
    //! wants before it puts the window in front.
    void BringToFront(const std::string& activationToken = {});
    virtual void OnTrayRButtonDown(QPoint point);
    virtual void OnTrayRButtonDblClk(QPoint point);
    virtual void OnTrayMouseMove(QPoint point);

    //! The icon object once the icon has been shown, else null; tests read its place.
    QSystemTrayIcon* trayIconObject() const { return trayIcon; }

    //! Show requests at start are examined for "Tray on Start" (the window then stays hidden).
    void setVisible(bool visible) override;
    //! Ending the dialog removes the icon.
    void done(int result) override;

  protected:
    void changeEvent(QEvent* event) override;
    //! The stored "Minimize to" choice.
    virtual int minimizeToMode() const;
    //! Whether the desktop has a notification area now.
    virtual bool trayAvailable() const;

  private:
    void updateOutOfSight();
    void showRestored(const std::string& activationToken = {});

    QSystemTrayIcon* trayIcon = nullptr;
    QTimer* trayWatch = nullptr;
    QIcon icon;
    QString tip;
    int iconResource = 0;
    bool iconShown = false;
    int startShowCountdown = kStartShowRequests;
    bool hiddenAtStart = false;
    std::atomic<bool> outOfSight{false};
    std::atomic<bool>* outOfSightFlag = nullptr;
};

}  // namespace quavelink
