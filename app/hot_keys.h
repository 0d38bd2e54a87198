#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace quavelink {

class CControlGroup;

//! Hot key ids: the character code of the key pressed with Alt.
constexpr int kHotkeyVolumeDown = 75;  // Alt+K
constexpr int kHotkeyMute = 77;        // Alt+M
constexpr int kHotkeyVolumeUp = 79;    // Alt+O

//! One volume hot key step, in the volume slider's units (the mixer control's range).
constexpr int VOLUME_HOTKEY_STEP = 4096;

//! Acts on hot key `id` through slot 0 of `outputGroup`: Alt+K and Alt+O move the volume
//! slider one step down or up, held within 0 and the slider's range, Alt+M flips the mute box;
//! the group then writes the control to the mixer. Nothing happens while `hotkeysEnabled` is
//! false, without a group, when the slot lacks the control or it is disabled (the sound server
//! is gone), or for another id. Main thread.
//! Returns whether a control was changed.
bool ApplyHotkey(int id, bool hotkeysEnabled, CControlGroup* outputGroup);

//! Tells a key's own presses from its auto-repeat. Repeats arrive either as presses without a
//! release between them (detectable auto-repeat) or as a release and a press with the same
//! server time. One thread.
class KeyRepeatFilter {
  public:
    //! A press of `keycode` at server time `time` (ms); false when it is an auto-repeat.
    bool press(unsigned keycode, unsigned long time);
    void release(unsigned keycode, unsigned long time);

  private:
    struct KeyState {
        bool down = false;
        bool released = false;
        unsigned long releaseTime = 0;
    };
    std::map<unsigned, KeyState> keys;
};

//! How far the hot keys reach on this desktop.
enum class HotkeyReach {
    Everywhere,      //!< whatever program has the focus
    X11WindowsOnly,  //!< X11 grabs under a Wayland desktop: only while an X11 window has focus
    Nowhere,         //!< no way to have them: the menu shows them unavailable
};

//! System-wide hot keys: Alt+O, Alt+K and Alt+M while any program has the focus.
class GlobalHotkeys {
  public:
    virtual ~GlobalHotkeys() = default;
    //! Main thread. Claims the three keys; one the desktop refuses (another program owns it) is
    //! left out silently. `onHotkey` runs on the main thread with the hot key id, once per press
    //! for Alt+M and with the keyboard's auto-repeat for the others. Claiming keys already
    //! claimed does nothing more; after UnregisterHotKeys it claims them again.
    virtual void RegisterHotKeys(std::function<void(int id)> onHotkey) = 0;
    //! Main thread. Gives the keys back to the desktop, so other programs get their presses
    //! and may claim them; nothing is called any more.
    virtual void UnregisterHotKeys() = 0;

    //! How far the keys reach, and why not everywhere (empty when they do). A desktop that
    //! answers later (the portal) may change it once after RegisterHotKeys.
    HotkeyReach Reach() const { return reach; }
    const std::string& Limitation() const { return limitation; }
    //! Main thread: `changed` runs whenever Reach or Limitation change from now on.
    void SetReachHandler(std::function<void()> changed) { onReach = std::move(changed); }

  protected:
    //! Sets the reach; a new limitation is logged once.
    void setReach(HotkeyReach newReach, std::string why);

  private:
    HotkeyReach reach = HotkeyReach::Everywhere;
    std::string limitation;
    std::function<void()> onReach;
};

//! The desktop's hot keys, chosen from what the session offers: the XDG desktop portal's
//! GlobalShortcuts on a Wayland desktop that has it (KDE Plasma 5.27 and later, GNOME 48 and
//! later), X11 key grabs on X11 (and, reaching X11 windows only, under XWayland), else none,
//! with the reason. GUI thread, QGuiApplication made.
std::unique_ptr<GlobalHotkeys> CreateSystemHotkeys();

}  // namespace quavelink
