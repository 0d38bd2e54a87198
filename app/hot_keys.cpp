#include "app/hot_keys.h"

#include <algorithm>

#include "mixer/control_group.h"
#include "mixer/mixer_sliders.h"
#include "platform/log.h"

namespace quavelink {

bool ApplyHotkey(int id, bool hotkeysEnabled, CControlGroup* outputGroup) {
    if (!hotkeysEnabled || outputGroup == nullptr) return false;
    CMixerSliderCtrl* volume = nullptr;
    CMixerSliderHorz* balance = nullptr;
    CMixerCheckBoxMute* mute = nullptr;
    outputGroup->FindSlotControls(0, &volume, &balance, &mute);

    auto controlIdOf = [outputGroup](const QWidget* widget) {
        for (const GroupItem& item : outputGroup->Items()) {
            if (item.window == widget) return item.dialogControlId;
        }
        return -1;
    };

    switch (id) {
        case kHotkeyVolumeDown:
        case kHotkeyVolumeUp: {
            // Disabled while the sound server is gone: its value would be stale.
            if (volume == nullptr || !volume->isEnabled()) return false;
            int level = 0;
            int range = 0;
            volume->GetValue(&level, &range);
            int wanted =
                id == kHotkeyVolumeUp ? level + VOLUME_HOTKEY_STEP : level - VOLUME_HOTKEY_STEP;
            int next = std::clamp(wanted, 0, std::max(range, 0));
            auto both = static_cast<std::uint32_t>(next);
            volume->SetFromChannels(both, both);
            outputGroup->OnControlChanged(controlIdOf(volume));
            return true;
        }
        case kHotkeyMute:
            if (mute == nullptr || !mute->isEnabled()) return false;
            mute->setChecked(!mute->isChecked());
            outputGroup->OnControlChanged(controlIdOf(mute));
            return true;
        default:
            return false;
    }
}

bool KeyRepeatFilter::press(unsigned keycode, unsigned long time) {
    KeyState& key = keys[keycode];
    bool repeat = key.down || (key.released && key.releaseTime == time);
    key.down = true;
    return !repeat;
}

void KeyRepeatFilter::release(unsigned keycode, unsigned long time) {
    KeyState& key = keys[keycode];
    key.down = false;
    key.released = true;
    key.releaseTime = time;
}

void GlobalHotkeys::setReach(HotkeyReach newReach, std::string why) {
    if (newReach == reach && why == limitation) return;
    reach = newReach;
    limitation = std::move(why);
    if (!limitation.empty()) logLine("Global hotkeys: %s\n", limitation.c_str());
    if (onReach) onReach();
}

}  // namespace quavelink
