#pragma once

#include <QPointer>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mixer/mixer_sliders.h"
#include "platform/mixer/mixer_api.h"

class QCheckBox;
class QLabel;
class QSlider;
class QWidget;

namespace quavelink {

class CMixer;

//! The hidden controls of the window that every created control copies: geometry, font and
//! look. The window owns them.
struct ControlTemplates {
    QLabel* label = nullptr;     //!< 1005
    QSlider* balance = nullptr;  //!< 1007
    QSlider* volume = nullptr;   //!< 1009
    QCheckBox* mute = nullptr;   //!< 1000
    //! The frame the groups stand in (1012), or null: an output group alone is centred in it.
    QWidget* frame = nullptr;
};

//! The binding of one created control to a mixer control.
struct GroupItem {
    int dialogControlId = 0;
    std::uint32_t mixerControlId = 0xFFFF;  //!< NO_CONTROL until bound
    int slot = 0;
    int kind = 0;
    QWidget* window = nullptr;
};

//! The window controls of one mixer's chosen destination: per line (slot) a caption, a volume
//! slider, a hidden balance slider and a mute box, each bound to the line's controls. Window
//! thread only; the mixer is the truth, the controls follow it.
class CControlGroup {
  public:
    static constexpr std::uint32_t NO_CONTROL = 0xFFFF;
    enum Kind { KIND_BALANCE = 0, KIND_VOLUME = 1, KIND_MUTE = 2 };

    //! `onUserChange` gets the dialog control identifier of every control the user moves or
    //! clicks; the window routes it to its groups' OnControlChanged (by default it goes to
    //! this group's own).
    explicit CControlGroup(const ControlTemplates& templates,
                           std::function<void(int controlId)> onUserChange = {});
    virtual ~CControlGroup();
    CControlGroup(const CControlGroup&) = delete;
    CControlGroup& operator=(const CControlGroup&) = delete;

    //! Builds the controls of `mixer`'s destination `destination` on `parent`, slots placed
    //! `dx`, `dy` pixels apart from `x0`, with control identifiers from `firstControlId`. An
    //! output group shows the destination line and its first source; an input group its
    //! sources, all at one place. Returns the x origin for a group placed after this one.
    int Create(CMixer* mixer, int destination, QWidget* parent, int x0, int dx, int dy,
               int firstControlId, bool isInput);
    int GetNextControlId() const { return nextControlId; }
    //! Writes the state of the dialog control to the mixer; 0, or -1 when it is not ours.
    int OnControlChanged(int dialogControlId);
    //! Re-reads mixer control `mixerControlId` into the controls bound to it; 0 or -1.
    int OnMixerControlChange(std::uint32_t mixerControlId);
    //! Sets the outputs that slot `slot` has (others keep what the caller put there); the
    //! number of items of the slot.
    int FindSlotControls(int slot, CMixerSliderCtrl** volume, CMixerSliderHorz** balance,
                         CMixerCheckBoxMute** mute) const;
    //! Shows the caption and volume slider of `slot` only.
    void ShowOnlySlot(int slot);

    int SlotCount() const { return slotCount; }
    QLabel* Label(int slot) const;
    const std::vector<GroupItem>& Items() const { return items; }

  private:
    void makeLabel(int slot, const char* text, int x, int y);
    bool makeBalance(int slot, const MIXERCONTROLA& control, const std::uint32_t values[2],
                     int channels, int x, int y);
    bool makeVolume(int slot, const MIXERCONTROLA& control, const std::uint32_t values[2], int x,
                    int y);
    bool makeMute(int slot, const MIXERCONTROLA& control, const std::uint32_t values[2], int x,
                  int y);
    void placeFromTemplate(QWidget* created, QWidget* templateControl, int x, int y, bool copyFont);
    void addItem(int slot, int kind, QWidget* window);
    void userChanged(int controlId);
    //! Reads line control `index` (of the destination when `source` < 0) and its value.
    bool readControl(int source, int index, MIXERCONTROLA& control, std::uint32_t values[2]);
    void fillSlot(int slot, int source, const MIXERLINEA& line, int controlCount, int x, int y);

    ControlTemplates templates;
    std::function<void(int)> onUserChange;
    CMixer* mixer = nullptr;
    QWidget* parent = nullptr;
    int destination = 0;
    int slotCapacity = 0;
    int slotCount = 0;
    int nextControlId = 0;
    std::vector<GroupItem> items;
    std::vector<QPointer<QLabel>> labels;
    std::vector<QPointer<CMixerSliderHorz>> balanceSliders;
    std::vector<QPointer<CMixerSliderCtrl>> volumeSliders;
    std::vector<QPointer<CMixerCheckBoxMute>> muteBoxes;
};

}  // namespace quavelink
