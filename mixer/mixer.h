#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/mixer/mixer_api.h"

namespace quavelink {

class MessageBoxHost;

// Result codes of the mixer classes: >= 0 success (0 or a count), -1 a failed platform call,
// an unusable control, a bad index or an operation out of order, -2 a caller's buffer that is
// too small (the needed size is written to the caller's size), -3 no control with this
// identifier (the caller's size is set to 0).
constexpr int kMixerFailed = -1;
constexpr int kMixerBufferTooSmall = -2;
constexpr int kMixerNoSuchControl = -3;

//! The controls of one mixer line with a value record per control. A value can be written
//! only after it has been read once. Window thread only, like the classes below.
class CMixerControl {
  public:
    explicit CMixerControl(MixerSystem& system);
    virtual ~CMixerControl();
    CMixerControl(const CMixerControl&) = delete;
    CMixerControl& operator=(const CMixerControl&) = delete;

    //! Loads the controls of `line` and prepares their value records: the number of controls,
    //! or -1 (no controls, already loaded, a failed query, or a meter, number or time control).
    int GetControlInfo(const MIXERLINEA& line, HMIXER handle);
    //! Sizes every value record; -1 at the first meter, number or time control.
    int PrepareDetails();
    //! Reads control `controlId` into `buffer` of `size` bytes: its value bytes, or for a
    //! multiplexer or mixer list the name of the selected item as text.
    int GetValue(std::uint32_t controlId, void* buffer, std::uint32_t& size);
    //! Writes control `controlId` from `buffer`: value bytes, or for a list control the exact
    //! name of the item to select.
    int SetValue(std::uint32_t controlId, const void* buffer, std::uint32_t& size);
    //! Copies control `index` out; the line's channel count or -1.
    int GetControl(int index, MIXERCONTROLA* out) const;
    //! Identifier of control `index`, or -1.
    long long GetControlId(int index) const;
    int GetCount() const { return count; }

  private:
    struct ValueRecord {
        MIXERCONTROLDETAILS details{};
        std::vector<std::uint8_t> buffer;
    };
    int find(std::uint32_t controlId) const;
    std::uint32_t valueSize(int index) const;
    //! The item names of list control `index`, or false when the platform would not say.
    bool fetchNames(int index, std::vector<MIXERCONTROLDETAILS_LISTTEXTA>& names);

    MixerSystem& system;
    HMIXER handle = kNoMixer;
    int count = 0;
    MIXERLINEA line{};
    MIXERLINECONTROLSA query{};
    std::vector<std::uint8_t> readFlags;
    std::vector<MIXERCONTROLA> controls;
    std::vector<ValueRecord> details;
};

//! One destination line of a mixer: its own controls and its source lines with theirs.
class CMixerDestination {
  public:
    CMixerDestination(MixerSystem& system, MessageBoxHost* boxes);
    virtual ~CMixerDestination();
    CMixerDestination(const CMixerDestination&) = delete;
    CMixerDestination& operator=(const CMixerDestination&) = delete;

    //! Reads destination line `index`; loads its sources unless it is a speakers line, and its
    //! own controls when it is a speakers, wave-in or voice-in line. The number of own controls
    //! loaded, 0, or negative.
    int Init(int index, HMIXER handle);
    //! Reads every source line and its controls; -2 when the destination has no sources.
    int LoadSources();
    //! Asks the own controls, then each source's, for `controlId`; see CMixer::GetValueById.
    int GetValueById(std::uint32_t controlId, void* buffer, std::uint32_t& size);
    int SetValueById(std::uint32_t controlId, const void* buffer, std::uint32_t& size);

    const MIXERLINEA& GetLine() const { return line; }
    int GetIndex() const { return destinationIndex; }
    std::uint32_t GetSourceCount() const { return sourceCount; }
    std::uint32_t GetOwnControlCount() const { return ownControlCount; }
    int GetSourceLine(int source, MIXERLINEA* out) const;
    int GetSourceControlCount(int source) const;
    int GetOwnControl(int index, MIXERCONTROLA* out) const;
    int GetSourceControl(int source, int index, MIXERCONTROLA* out) const;
    long long GetOwnControlId(int index) const;
    long long GetSourceControlId(int source, int index) const;

  private:
    template <typename Access>
    int askAll(std::uint32_t& size, Access access);
    bool validSource(int source) const;

    MixerSystem& system;
    MessageBoxHost* boxes;
    std::uint32_t sourceCount = 0;
    std::uint32_t ownControlCount = 0;
    int destinationIndex = -1;
    HMIXER handle = kNoMixer;
    MIXERLINEA line{};
    std::vector<MIXERLINEA> sourceLines;
    std::unique_ptr<CMixerControl> ownControls;
    std::vector<std::unique_ptr<CMixerControl>> sourceControls;
};

//! One opened mixer device with its destinations; chooses the destination the program works
//! with (speakers for output, wave input, else voice input, for input). Window thread only.
class CMixer {
  public:
    //! Reads the number of mixer devices at once. `boxes` shows the two error boxes (when null
    //! they are only logged); both must outlive the mixer.
    explicit CMixer(MixerSystem& system, MessageBoxHost* boxes = nullptr);
    virtual ~CMixer();
    CMixer(const CMixer&) = delete;
    CMixer& operator=(const CMixer&) = delete;

    //! Opens the mixer of wave device `waveDeviceId` (an input or output device), reads all of
    //! it and chooses the destination; 0 or negative. `notifyWindow` (may be null) receives
    //! its control changes until the mixer is destroyed or reopened.
    int Open(std::uint32_t waveDeviceId, MixerNotifyTarget* notifyWindow, bool isInput);
    int ReadCaps();
    //! Copies the capabilities out: 48, or -1 when the system has no mixer device.
    int GetCaps(MIXERCAPSA* out) const;
    int GetDestinationDetails();
    int GetDestination() const { return chosenDestination; }
    int GetDestinationCount() const { return destinationCount; }
    std::uint32_t GetDeviceCount() const { return deviceCount; }
    HMIXER GetHandle() const { return handle; }

    int GetDestinationLine(int dest, MIXERLINEA* out) const;
    int GetSourceLine(int dest, int source, MIXERLINEA* out) const;
    int GetSourceCount(int dest) const;
    int GetDestinationControlCount(int dest) const;
    int GetSourceControlCount(int dest, int source) const;
    //! Copy one control description out; the line's channel count, or -1.
    int GetDestinationControl(int dest, int index, MIXERCONTROLA* out) const;
    int GetSourceControl(int dest, int source, int index, MIXERCONTROLA* out) const;
    //! The control's identifier, or -1.
    long long GetDestinationControlId(int dest, int index) const;
    long long GetSourceControlId(int dest, int source, int index) const;

    //! Read or write control `controlId` of any destination (searched in order). `size` in:
    //! the buffer's bytes; out: the needed bytes after a -2, 0 after a -3.
    int GetValueById(std::uint32_t controlId, void* buffer, std::uint32_t& size);
    int SetValueById(std::uint32_t controlId, const void* buffer, std::uint32_t& size);
    int GetDestinationControlValue(int dest, int index, void* buffer, std::uint32_t& size);
    int SetDestinationControlValue(int dest, int index, const void* buffer, std::uint32_t& size);
    int GetSourceControlValue(int dest, int source, int index, void* buffer, std::uint32_t& size);

  private:
    const CMixerDestination* loaded(int dest) const;
    void close();

    MixerSystem& system;
    MessageBoxHost* boxes;
    std::uint32_t deviceCount = 0;
    int destinationCount = 0;
    int chosenDestination = -1;
    MIXERCAPSA caps{};
    HMIXER handle = kNoMixer;
    std::vector<std::unique_ptr<CMixerDestination>> destinations;
};

}  // namespace quavelink
