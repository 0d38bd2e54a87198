#pragma once

#include <QObject>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mixer/control_group.h"
#include "mixer/mixer.h"

class QComboBox;
class QTimer;
class QWidget;

namespace quavelink {

class MessageBoxHost;

//! The main window's mixer part: the mixer set (element 0 the playback mixer, 1 to
//! inputMixerCount the recording mixers, open for the program's life), the map from endpoint
//! list entries to recording mixers, the two control groups, and the recording-source list
//! kept in step with the chosen recording mixer's multiplexer. Window thread only.
class WindowMixers : public MixerNotifyTarget {
  public:
    static constexpr int kMapEntries = 51;
    static constexpr int kFirstControlId = 6000;
    static constexpr int kGroupStep = 120;

    //! `system` may be null (no mixer at all). `window` hosts the controls; `inputSelect` is
    //! the endpoint list (1010), `inputSource` the recording-source list (1011). All must
    //! outlive this object.
    WindowMixers(MixerSystem* system, MessageBoxHost* boxes, QWidget& window,
                 const ControlTemplates& templates, QComboBox& inputSelect, QComboBox& inputSource);
    ~WindowMixers() override;

    //! Builds the mixer set when the system has a mixer device, with this object as the
    //! notification target.
    void OpenMixers();
    //! `opened` runs after a mixer set that could not be built at first was built later (the
    //! sound server came up after the window), for the window to map its endpoints to it and
    //! bind its controls.
    void SetLateOpenHandler(std::function<void()> opened);
    //! Endpoint list entry `listIndex` is named `endpointName`: remembers the last recording
    //! mixer whose product name matches it (compared over the shorter length, ignoring case).
    //! A render endpoint never matches: its mixer controls are the playback group's.
    void MapEndpoint(int listIndex, const std::string& endpointName, bool renderEndpoint);
    //! The recording mixer of list selection `selectionIndex` (-1 for none), or -1.
    int MixerIndexFor(int selectionIndex) const;

    //! Looks whether the sound server is there: while it is gone the groups' controls are
    //! disabled, as their values would be stale; once it is back they are built anew from the
    //! mixers' values. Runs every kServerCheckMs as well.
    void CheckServer();
    static constexpr int kServerCheckMs = 500;

    //! The endpoint choice changed: rebuilds the groups and refills the source list.
    void OnInputDeviceChanged(int selectedInputIndex);
    void RebuildControlGroups(int mixerIndex);
    //! Sets the source list (and the input group's visible slot) to the multiplexer's source.
    void ShowCurrentInputSource(int mixerIndex, int destination);
    //! The user chose a source in the source list: selects it in the multiplexer.
    void SelectInputSource();
    //! A mixer control changed: source list refresh, then both groups.
    void OnMixerNotify(std::uint32_t controlId);
    //! A control of a group was moved or clicked: both groups are told.
    void OnControlChanged(int dialogControlId);

    // MixerNotifyTarget
    void OnMixerControlChange(HMIXER mixer, std::uint32_t controlId) override;
    //! Builds the mixer set when none is open yet; an open set stays as it is, its controls
    //! are told of every change anyway.
    void OnMixerDevicesChanged() override;

    CControlGroup* outputGroup() const { return output.get(); }
    CControlGroup* inputGroup() const { return input.get(); }
    CMixer* mixer(int index) const;
    std::uint32_t mixerDeviceCount = 0;
    int outputMixerCount = 0;
    int inputMixerCount = 0;
    std::array<int, kMapEntries> deviceMixerMap;

  private:
    MixerSystem* system;
    MessageBoxHost* boxes;
    QWidget& window;
    ControlTemplates templates;
    QComboBox& inputSelect;
    QComboBox& inputSource;
    std::vector<std::unique_ptr<CMixer>> mixers;
    std::unique_ptr<CControlGroup> output;
    std::unique_ptr<CControlGroup> input;
    QMetaObject::Connection sourceConnection;
    std::function<void()> lateOpenHandler;
    QTimer* serverCheck = nullptr;
    bool serverRunning = true;
};

}  // namespace quavelink
