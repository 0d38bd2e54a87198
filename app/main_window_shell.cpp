// The main window's desktop side: the notification-area icon, the hot key entries of its menu,
// the global hot keys, the record command and the version check.

#include <QAction>
#include <QMenu>
#include <ctime>

#include "app/hot_keys.h"
#include "app/main_window.h"
#include "app/version_check_host.h"
#include "controls/skin_button.h"
#include "mixer/window_mixers.h"
#include "resources/resources.h"
#include "settings/settings.h"
#include "versioncheck/version_check_thread.h"

namespace quavelink {

void CQuaveLinkServerDlg::initTrayMenuAndHotkeys() {
    // Linux window managers keep the title-bar menu to themselves: the entries go in front of
    // About in the window's context menu.
    QAction* about = sysMenu->actions().value(0);
    hotkeysAction = new QAction(QStringLiteral("Enable Global Hotkeys"), sysMenu);
    hotkeysAction->setCheckable(true);
    hotkeysAction->setChecked(hotkeysEnabled);
    connect(hotkeysAction, &QAction::triggered, this, [this] { OnHotkeysToggled(); });
    sysMenu->insertAction(about, hotkeysAction);
    for (const char* text : {"    Volume up\tAlt+O", "    Volume down\tAlt+K", "    Mute\tAlt+M"}) {
        auto* line = new QAction(QString::fromLatin1(text), sysMenu);
        line->setEnabled(false);
        sysMenu->insertAction(about, line);
    }
    // Where the desktop limits the keys, one more line says how; its tip says why.
    hotkeysReachAction = new QAction(sysMenu);
    hotkeysReachAction->setEnabled(false);
    hotkeysReachAction->setVisible(false);
    sysMenu->insertAction(about, hotkeysReachAction);
    sysMenu->setToolTipsVisible(true);
    if (about != nullptr) sysMenu->insertSeparator(about);

    SetTrayIcon(kIconMain);
    SetTrayTip(kTrayTip);
    if (setup.versionHost != nullptr) SetOutOfSightFlag(&setup.versionHost->windowHidden);

    hotkeys = setup.makeHotkeys ? setup.makeHotkeys() : CreateSystemHotkeys();
    hotkeys->SetReachHandler([this] { showHotkeyReach(); });
    claimHotkeys();
    showHotkeyReach();
}

void CQuaveLinkServerDlg::showHotkeyReach() {
    HotkeyReach reach = hotkeys->Reach();
    const bool none = reach == HotkeyReach::Nowhere;
    hotkeysAction->setEnabled(!none);
    // A tick on keys that cannot act would promise what the desktop does not give.
    hotkeysAction->setChecked(hotkeysEnabled && !none);
    hotkeysReachAction->setVisible(reach != HotkeyReach::Everywhere);
    hotkeysReachAction->setText(none
                                    ? QStringLiteral("    Unavailable on this desktop")
                                    : QStringLiteral("    Only while an X11 window has the focus"));
    hotkeysReachAction->setToolTip(QString::fromStdString(hotkeys->Limitation()));
}

void CQuaveLinkServerDlg::claimHotkeys() {
    if (!hotkeys) return;
    // Turned off, the keys belong to the desktop: another program may use Alt+O and the rest.
    if (hotkeysEnabled) {
        hotkeys->RegisterHotKeys([this](int id) { OnHotKey(id); });
    } else {
        hotkeys->UnregisterHotKeys();
    }
}

void CQuaveLinkServerDlg::OnHotkeysToggled() {
    hotkeysEnabled = !hotkeysEnabled;
    SetEnableHotkeys(hotkeysEnabled);
    hotkeysAction->setChecked(hotkeysEnabled);
    claimHotkeys();
}

void CQuaveLinkServerDlg::OnHotKey(int id) {
    ApplyHotkey(id, hotkeysEnabled, windowMixers ? windowMixers->outputGroup() : nullptr);
}

void CQuaveLinkServerDlg::OnRecordClicked() {
    // A click while recording must not interrupt it: the button goes down again.
    if (!recordButton->isChecked()) {
        recordButton->setChecked(true);
        return;
    }
    if (setup.recording == nullptr) {
        recordButton->setChecked(false);
        return;
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const SaveAsPrompt& ask = setup.askSaveAs ? setup.askSaveAs : SaveAsPrompt(runSaveAsDialog);
    std::optional<SaveAsChoice> choice = ask(defaultRecordingName(local));
    if (!choice || !startRecording(*choice, *setup.recording, *setup.boxes, recordFd)) {
        recordButton->setChecked(false);
        return;
    }
    showRecording(true);
}

void CQuaveLinkServerDlg::startVersionCheck() {
    if (setup.versionHost == nullptr) return;
    if (!startVersionCheckThread(*setup.versionHost, *setup.boxes, versionText)) {
        ShowMessageBox("Could not create version check thread");
    }
}

}  // namespace quavelink
