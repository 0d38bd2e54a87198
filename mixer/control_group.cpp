#include "mixer/control_group.h"

#include <QCheckBox>
#include <QLabel>
#include <QSlider>
#include <algorithm>

#include "mixer/mixer.h"

namespace quavelink {

CControlGroup::CControlGroup(const ControlTemplates& templates,
                             std::function<void(int)> onUserChange)
    : templates(templates), onUserChange(std::move(onUserChange)) {}

CControlGroup::~CControlGroup() {
    for (auto& label : labels) delete label.data();
    for (auto& slider : balanceSliders) delete slider.data();
    for (auto& slider : volumeSliders) delete slider.data();
    for (auto& box : muteBoxes) delete box.data();
}

void CControlGroup::userChanged(int controlId) {
    if (onUserChange) {
        onUserChange(controlId);
    } else {
        OnControlChanged(controlId);
    }
}

void CControlGroup::placeFromTemplate(QWidget* created, QWidget* templateControl, int x, int y,
                                      bool copyFont) {
    if (templateControl != nullptr) {
        created->setGeometry(templateControl->geometry().translated(x, y));
        if (copyFont) created->setFont(templateControl->font());
    }
    created->setObjectName(QStringLiteral("control%1").arg(nextControlId));
    created->setProperty("controlId", nextControlId);
    created->show();
}

void CControlGroup::addItem(int slot, int kind, QWidget* window) {
    GroupItem item;
    item.dialogControlId = nextControlId;
    item.mixerControlId = NO_CONTROL;
    item.slot = slot;
    item.kind = kind;
    item.window = window;
    items.push_back(item);
}

void CControlGroup::makeLabel(int slot, const char* text, int x, int y) {
    auto* label = new QLabel(QString::fromLocal8Bit(text), parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    placeFromTemplate(label, templates.label, x, y, true);
    labels[slot] = label;
    ++nextControlId;
}

bool CControlGroup::makeBalance(int slot, const MIXERCONTROLA& control,
                                const std::uint32_t values[2], int channels, int x, int y) {
    if (!balanceSliders[slot]) {
        auto* slider = new CMixerSliderHorz(parent);
        if (templates.balance != nullptr) {
            slider->setRange(templates.balance->minimum(), templates.balance->maximum());
        }
        int middle = (slider->maximum() - slider->minimum()) / 2;
        slider->SetPos(middle);
        slider->setTickPosition(QSlider::TicksBelow);
        slider->setTickInterval(std::max(1, middle));
        placeFromTemplate(slider, templates.balance, x, y, true);
        balanceSliders[slot] = slider;
        addItem(slot, KIND_BALANCE, slider);
        int id = nextControlId;
        QObject::connect(slider, &QSlider::valueChanged, slider, [this, id] { userChanged(id); });
        ++nextControlId;
    }
    if (control.dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return false;
    balanceSliders[slot]->Init(static_cast<int>(control.Bounds.dwMinimum),
                               static_cast<int>(control.Bounds.dwMaximum), channels, values);
    items.back().mixerControlId = control.dwControlID;
    return true;
}

bool CControlGroup::makeVolume(int slot, const MIXERCONTROLA& control,
                               const std::uint32_t values[2], int x, int y) {
    if (!volumeSliders[slot]) {
        auto* slider = new CMixerSliderCtrl(parent);
        if (templates.volume != nullptr) {
            slider->setRange(templates.volume->minimum(), templates.volume->maximum());
        }
        slider->SetPos(0);
        slider->setTickPosition(QSlider::TicksBothSides);
        slider->setTickInterval(std::max(1, (slider->maximum() - slider->minimum()) / 6));
        placeFromTemplate(slider, templates.volume, x, y, false);
        volumeSliders[slot] = slider;
        addItem(slot, KIND_VOLUME, slider);
        int id = nextControlId;
        QObject::connect(slider, &QSlider::valueChanged, slider, [this, id] { userChanged(id); });
        ++nextControlId;
    }
    if (control.dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return false;
    volumeSliders[slot]->Init(static_cast<int>(control.Bounds.dwMinimum),
                              static_cast<int>(control.Bounds.dwMaximum), values);
    items.back().mixerControlId = control.dwControlID;
    return true;
}

bool CControlGroup::makeMute(int slot, const MIXERCONTROLA& control, const std::uint32_t values[2],
                             int x, int y) {
    if (!muteBoxes[slot]) {
        auto* box = new CMixerCheckBoxMute(QStringLiteral("Mute"), parent);
        placeFromTemplate(box, templates.mute, x, y, true);
        muteBoxes[slot] = box;
        addItem(slot, KIND_MUTE, box);
        int id = nextControlId;
        QObject::connect(box, &QCheckBox::clicked, box, [this, id] { userChanged(id); });
        ++nextControlId;
    }
    if (control.dwControlType != MIXERCONTROL_CONTROLTYPE_MUTE) return false;
    muteBoxes[slot]->setChecked(values[0] != 0);
    items.back().mixerControlId = control.dwControlID;
    return true;
}

bool CControlGroup::readControl(int source, int index, MIXERCONTROLA& control,
                                std::uint32_t values[2]) {
    values[0] = values[1] = 0;
    std::uint32_t size = 8;
    int described = source < 0 ? mixer->GetDestinationControl(destination, index, &control)
                               : mixer->GetSourceControl(destination, source, index, &control);
    if (described < 0) return false;
    std::uint32_t read[2] = {0, 0};
    int result = source < 0 ? mixer->GetDestinationControlValue(destination, index, read, size)
                            : mixer->GetSourceControlValue(destination, source, index, read, size);
    if (result >= 0) {
        values[0] = read[0];
        values[1] = read[1];
    }
    return true;
}

void CControlGroup::fillSlot(int slot, int source, const MIXERLINEA& line, int controlCount, int x,
                             int y) {
    const int channels = static_cast<int>(line.cChannels);
    MIXERCONTROLA control{};
    std::uint32_t values[2];
    bool volumeFound = false;
    for (int j = 0; j < controlCount; ++j) {
        if (!readControl(source, j, control, values)) continue;
        if (makeBalance(slot, control, values, channels, x, y)) {
            volumeFound = true;
            break;
        }
    }
    if (CMixerSliderHorz* balance = balanceSliders[slot]) {
        // A destination keeps its balance slider enabled without a volume control.
        if (channels < 2 || (source >= 0 && !volumeFound)) balance->setEnabled(false);
        balance->hide();
    }
    volumeFound = false;
    for (int j = 0; j < controlCount; ++j) {
        if (!readControl(source, j, control, values)) continue;
        if (makeVolume(slot, control, values, x, y)) {
            volumeFound = true;
            break;
        }
    }
    if (source >= 0 && !volumeFound && volumeSliders[slot]) volumeSliders[slot]->setEnabled(false);
    bool muteFound = false;
    for (int j = 0; j < controlCount; ++j) {
        if (!readControl(source, j, control, values)) continue;
        if (makeMute(slot, control, values, x, y)) {
            muteFound = true;
            break;
        }
    }
    if (!muteFound && muteBoxes[slot]) {
        muteBoxes[slot]->setEnabled(false);
        muteBoxes[slot]->hide();
    }
}

int CControlGroup::Create(CMixer* mixerIn, int destinationIn, QWidget* parentIn, int x0, int dx,
                          int dy, int firstControlId, bool isInput) {
    mixer = mixerIn;
    destination = destinationIn;
    parent = parentIn;
    nextControlId = firstControlId;
    slotCapacity = std::max(mixer->GetSourceCount(destination), 0) + 1;
    labels.assign(slotCapacity, nullptr);
    balanceSliders.assign(slotCapacity, nullptr);
    volumeSliders.assign(slotCapacity, nullptr);
    muteBoxes.assign(slotCapacity, nullptr);
    items.clear();
    items.reserve(3 * slotCapacity);
    slotCount = 0;

    int x = x0 - dx;
    int y = -dy;
    int slot = -1;
    MIXERLINEA line{};
    if (mixer->GetDestinationLine(destination, &line) < 0) return x0 + dx;

    const int ownControls = mixer->GetDestinationControlCount(destination);
    if (ownControls > 0 && !isInput) {
        if (line.dwComponentType == MIXERLINE_COMPONENTTYPE_DST_SPEAKERS) {
            x += dx;
            y += dy;
        }
        ++slot;
        makeLabel(slot, line.szName, x, y);
        fillSlot(slot, -1, line, ownControls, x, y);
    }

    int sources = std::max(mixer->GetSourceCount(destination), 0);
    if (!isInput) sources = std::min(sources, 1);
    bool sourceSlotMade = false;
    for (int k = 0; k < sources; ++k) {
        MIXERLINEA sourceLine{};
        if (mixer->GetSourceLine(destination, k, &sourceLine) < 0) continue;
        int controlCount = mixer->GetSourceControlCount(destination, k);
        if (controlCount <= 0) continue;
        if (!sourceSlotMade) {
            x += dx;
            y += dy;
            sourceSlotMade = true;
        }
        ++slot;
        makeLabel(slot, isInput ? sourceLine.szName : "Master Volume", x, y);
        fillSlot(slot, k, sourceLine, controlCount, x, y);
    }
    slotCount = slot + 1;
    return x + dx;
}

int CControlGroup::FindSlotControls(int slot, CMixerSliderCtrl** volume, CMixerSliderHorz** balance,
                                    CMixerCheckBoxMute** mute) const {
    int found = 0;
    for (const GroupItem& item : items) {
        if (item.slot != slot) continue;
        switch (item.kind) {
            case KIND_BALANCE:
                if (balance) *balance = balanceSliders[slot].data();
                break;
            case KIND_VOLUME:
                if (volume) *volume = volumeSliders[slot].data();
                break;
            case KIND_MUTE:
                if (mute) *mute = muteBoxes[slot].data();
                break;
            default:
                break;
        }
        if (++found == 3) break;
    }
    return found;
}

int CControlGroup::OnControlChanged(int dialogControlId) {
    auto item = std::find_if(items.begin(), items.end(), [&](const GroupItem& candidate) {
        return candidate.dialogControlId == dialogControlId;
    });
    if (item == items.end()) return -1;
    CMixerSliderCtrl* volume = nullptr;
    CMixerSliderHorz* balance = nullptr;
    CMixerCheckBoxMute* mute = nullptr;
    FindSlotControls(item->slot, &volume, &balance, &mute);
    std::uint32_t values[2] = {0, 0};
    std::uint32_t size = sizeof(values);
    int fullWidth = 0;
    switch (item->kind) {
        case KIND_BALANCE:
            if (balance == nullptr) return 0;
            // Without the current level a balance move would write silence: leave the mixer.
            if (mixer->GetValueById(item->mixerControlId, values, size) < 0) return 0;
            balance->SplitChannels(values[0], values[1], fullWidth);
            size = sizeof(values);
            mixer->SetValueById(item->mixerControlId, values, size);
            return 0;
        case KIND_VOLUME: {
            if (volume == nullptr) return 0;
            int level = 0;
            int range = 0;
            volume->GetValue(&level, &range);
            values[0] = values[1] = static_cast<std::uint32_t>(std::max(level, 0));
            if (balance != nullptr) balance->SplitChannels(values[0], values[1], fullWidth);
            mixer->SetValueById(item->mixerControlId, values, size);
            return 0;
        }
        case KIND_MUTE:
            values[0] = values[1] = (mute != nullptr && mute->isChecked()) ? 1 : 0;
            mixer->SetValueById(item->mixerControlId, values, size);
            return 0;
        default:
            return -1;
    }
}

int CControlGroup::OnMixerControlChange(std::uint32_t mixerControlId) {
    std::uint32_t values[2] = {0, 0};
    std::uint32_t size = sizeof(values);
    if (mixer == nullptr || mixer->GetValueById(mixerControlId, values, size) < 0) return -1;
    auto item = std::find_if(items.begin(), items.end(), [&](const GroupItem& candidate) {
        return candidate.mixerControlId == mixerControlId;
    });
    if (item == items.end()) return -1;
    CMixerSliderCtrl* volume = nullptr;
    CMixerSliderHorz* balance = nullptr;
    CMixerCheckBoxMute* mute = nullptr;
    FindSlotControls(item->slot, &volume, &balance, &mute);
    if (item->kind == KIND_BALANCE || item->kind == KIND_VOLUME) {
        if (volume) volume->SetFromChannels(values[0], values[1]);
        if (balance) balance->SetFromChannels(values[0], values[1]);
    } else if (item->kind == KIND_MUTE && mute) {
        mute->setChecked(values[0] != 0 || values[1] != 0);
    }
    return 0;
}

void CControlGroup::ShowOnlySlot(int slot) {
    for (int s = 0; s < slotCapacity; ++s) {
        if (!labels[s]) continue;
        bool shown = s == slot;
        labels[s]->setVisible(shown);
        if (volumeSliders[s]) volumeSliders[s]->setVisible(shown);
    }
    // The mute boxes of the slots lie on top of each other: the shown slot's must be the one
    // that takes the click.
    if (slot >= 0 && slot < slotCapacity && muteBoxes[slot]) muteBoxes[slot]->raise();
}

QLabel* CControlGroup::Label(int slot) const {
    return slot >= 0 && slot < slotCapacity ? labels[slot].data() : nullptr;
}

}  // namespace quavelink
