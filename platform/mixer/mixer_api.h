#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// The system mixer as the window's mixer logic sees it: devices, destination lines, source
// lines and their controls, whose values are read and written by control identifier, with a
// notification for every control that changes. The records, constants and operation names are
// the classic multimedia mixer's, so that the logic above reads like the model it follows.

namespace quavelink {

using MMRESULT = std::uint32_t;
//! An open mixer; kNoMixer when none is open.
using HMIXER = std::intptr_t;
constexpr HMIXER kNoMixer = -1;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MIXERR_INVALLINE = 1024;
constexpr MMRESULT MIXERR_INVALCONTROL = 1025;

constexpr std::size_t MAXPNAMELEN = 32;
constexpr std::size_t MIXER_SHORT_NAME_CHARS = 16;
constexpr std::size_t MIXER_LONG_NAME_CHARS = 64;

// mixerOpen flags.
constexpr std::uint32_t CALLBACK_WINDOW = 0x00010000;
constexpr std::uint32_t MIXER_OBJECTF_HMIXER = 0x80000000;
constexpr std::uint32_t MIXER_OBJECTF_WAVEOUT = 0x10000000;
constexpr std::uint32_t MIXER_OBJECTF_WAVEIN = 0x20000000;
constexpr std::uint32_t MIXER_OBJECTF_TYPEMASK = 0xF0000000;

// Query flags.
constexpr std::uint32_t MIXER_GETLINEINFOF_DESTINATION = 0x0;
constexpr std::uint32_t MIXER_GETLINEINFOF_SOURCE = 0x1;
constexpr std::uint32_t MIXER_GETLINECONTROLSF_ALL = 0x0;
constexpr std::uint32_t MIXER_GETCONTROLDETAILSF_VALUE = 0x0;
constexpr std::uint32_t MIXER_GETCONTROLDETAILSF_LISTTEXT = 0x1;
constexpr std::uint32_t MIXER_SETCONTROLDETAILSF_VALUE = 0x0;
constexpr std::uint32_t MIXER_QUERYMASK = 0x0000000F;

// Line component types.
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_DST_UNDEFINED = 0;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_DST_DIGITAL = 1;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_DST_LINE = 2;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_DST_MONITOR = 3;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_DST_SPEAKERS = 4;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_DST_HEADPHONES = 5;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_DST_VOICEIN = 8;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT = 0x1008;
constexpr std::uint32_t MIXERLINE_COMPONENTTYPE_SRC_ANALOG = 0x100A;

constexpr std::uint32_t MIXERLINE_LINEF_ACTIVE = 0x1;
constexpr std::uint32_t MIXERLINE_LINEF_SOURCE = 0x80000000;
constexpr std::uint32_t MIXERLINE_TARGETTYPE_WAVEOUT = 1;
constexpr std::uint32_t MIXERLINE_TARGETTYPE_WAVEIN = 2;

// Control classes and types.
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_MASK = 0xF0000000;
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_CUSTOM = 0x00000000;
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_METER = 0x10000000;
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_SWITCH = 0x20000000;
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_NUMBER = 0x30000000;
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_SLIDER = 0x40000000;
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_FADER = 0x50000000;
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_TIME = 0x60000000;
constexpr std::uint32_t MIXERCONTROL_CT_CLASS_LIST = 0x70000000;

constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_CUSTOM = 0x00000000;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_PEAKMETER = 0x10020001;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_BOOLEAN = 0x20010000;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_SIGNED = 0x30020000;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_PAN = 0x40020001;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_FADER = 0x50030000;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_MICROTIME = 0x60030000;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001;
constexpr std::uint32_t MIXERCONTROL_CONTROLTYPE_MIXER = 0x71010001;

constexpr std::uint32_t MIXERCONTROL_CONTROLF_UNIFORM = 0x1;
constexpr std::uint32_t MIXERCONTROL_CONTROLF_MULTIPLE = 0x2;
constexpr std::uint32_t MIXERCONTROL_CONTROLF_DISABLED = 0x80000000;

//! Capabilities of a mixer device (48 bytes).
struct MIXERCAPSA {
    std::uint16_t wMid = 0;
    std::uint16_t wPid = 0;
    std::uint32_t vDriverVersion = 0;
    char szPname[MAXPNAMELEN] = {};  //!< product name, at most 31 characters and a zero
    std::uint32_t fdwSupport = 0;
    std::uint32_t cDestinations = 0;
};

//! One destination or source line (168 bytes).
struct MIXERLINEA {
    std::uint32_t cbStruct = 0;
    std::uint32_t dwDestination = 0;
    std::uint32_t dwSource = 0;
    std::uint32_t dwLineID = 0;
    std::uint32_t fdwLine = 0;
    std::uint32_t dwUser = 0;
    std::uint32_t dwComponentType = 0;
    std::uint32_t cChannels = 0;
    std::uint32_t cConnections = 0;  //!< source lines of a destination
    std::uint32_t cControls = 0;
    char szShortName[MIXER_SHORT_NAME_CHARS] = {};
    char szName[MIXER_LONG_NAME_CHARS] = {};
    struct {
        std::uint32_t dwType = 0;
        std::uint32_t dwDeviceID = 0;
        std::uint16_t wMid = 0;
        std::uint16_t wPid = 0;
        std::uint32_t vDriverVersion = 0;
        char szPname[MAXPNAMELEN] = {};
    } Target;
};

//! One control of a line (148 bytes).
struct MIXERCONTROLA {
    std::uint32_t cbStruct = 0;
    std::uint32_t dwControlID = 0;
    std::uint32_t dwControlType = 0;
    std::uint32_t fdwControl = 0;
    std::uint32_t cMultipleItems = 0;  //!< items of a list control
    char szShortName[MIXER_SHORT_NAME_CHARS] = {};
    char szName[MIXER_LONG_NAME_CHARS] = {};
    union {
        struct {
            std::int32_t lMinimum;
            std::int32_t lMaximum;
        };
        struct {
            std::uint32_t dwMinimum;
            std::uint32_t dwMaximum;
        };
        std::uint32_t dwReserved[6];
    } Bounds = {};
    union {
        std::uint32_t cSteps;
        std::uint32_t cbCustomData;  //!< value size of a custom control, per channel and item
        std::uint32_t dwReserved[6];
    } Metrics = {};
};

//! A request for the controls of a line. The caller owns `pamxctrl` (cControls records of
//! cbmxctrl bytes).
struct MIXERLINECONTROLSA {
    std::uint32_t cbStruct = 0;
    std::uint32_t dwLineID = 0;
    std::uint32_t dwControlID = 0;
    std::uint32_t cControls = 0;
    std::uint32_t cbmxctrl = 0;
    MIXERCONTROLA* pamxctrl = nullptr;
};

//! A value exchange with one control. `paDetails` (owned by the caller) holds cChannels
//! elements of cbDetails bytes, times cMultipleItems when that is non-zero.
struct MIXERCONTROLDETAILS {
    std::uint32_t cbStruct = 0;
    std::uint32_t dwControlID = 0;
    std::uint32_t cChannels = 0;
    std::uint32_t cMultipleItems = 0;
    std::uint32_t cbDetails = 0;
    void* paDetails = nullptr;
};

//! The name of one item of a list control (72 bytes).
struct MIXERCONTROLDETAILS_LISTTEXTA {
    std::uint32_t dwParam1 = 0;
    std::uint32_t dwParam2 = 0;
    char szName[MIXER_LONG_NAME_CHARS] = {};
};

static_assert(sizeof(MIXERCAPSA) == 48);
static_assert(sizeof(MIXERLINEA) == 168);
static_assert(sizeof(MIXERCONTROLA) == 148);
static_assert(sizeof(MIXERCONTROLDETAILS_LISTTEXTA) == 72);

//! Receives the control-change notifications of the mixers it was given to at mixerOpen.
class MixerNotifyTarget {
  public:
    virtual ~MixerNotifyTarget() = default;
    //! Window thread (through the poster the mixer system was made with): control `controlId`
    //! of the open mixer `mixer` changed, whoever changed it.
    virtual void OnMixerControlChange(HMIXER mixer, std::uint32_t controlId) = 0;
    //! Window thread (through the same poster): the mixer devices may be others now, say
    //! because the sound server came up after the program, so mixerGetNumDevs may count more.
    virtual void OnMixerDevicesChanged() {}
};

//! Carries a piece of work to the window thread, to run there later in call order. Callable
//! from any thread; must not run the work inside the call.
using WindowThreadPoster = std::function<void(std::function<void()> work)>;

//! The system's mixer devices. Every operation is synchronous and returns MMSYSERR_NOERROR (0)
//! or an error; records and buffers stay the caller's. Meant for the window thread; the
//! backends lock what they share with their own threads.
class MixerSystem {
  public:
    virtual ~MixerSystem() = default;

    //! Number of mixer devices; a wave device number below it may have a mixer.
    virtual std::uint32_t mixerGetNumDevs() = 0;
    //! Opens the mixer that belongs to wave device `deviceId`, MIXER_OBJECTF_WAVEIN or
    //! MIXER_OBJECTF_WAVEOUT in `flags` (plus CALLBACK_WINDOW with a `notify` target, which
    //! must stay alive until mixerClose). `*mixer` is set on success.
    virtual MMRESULT mixerOpen(HMIXER* mixer, std::uint32_t deviceId, MixerNotifyTarget* notify,
                               std::uint32_t flags) = 0;
    //! No notification for `mixer` runs after this returns on the window thread.
    virtual MMRESULT mixerClose(HMIXER mixer) = 0;
    virtual MMRESULT mixerGetDevCapsA(HMIXER mixer, MIXERCAPSA* caps, std::uint32_t capsSize) = 0;
    //! MIXER_GETLINEINFOF_DESTINATION (by line->dwDestination) or MIXER_GETLINEINFOF_SOURCE
    //! (by dwDestination and dwSource); line->cbStruct must be sizeof(MIXERLINEA).
    virtual MMRESULT mixerGetLineInfoA(HMIXER mixer, MIXERLINEA* line, std::uint32_t flags) = 0;
    //! MIXER_GETLINECONTROLSF_ALL: all controls of line query->dwLineID into query->pamxctrl.
    virtual MMRESULT mixerGetLineControlsA(HMIXER mixer, MIXERLINECONTROLSA* query,
                                           std::uint32_t flags) = 0;
    //! MIXER_GETCONTROLDETAILSF_VALUE (32-bit values, per channel, or per item of a list) or
    //! MIXER_GETCONTROLDETAILSF_LISTTEXT (MIXERCONTROLDETAILS_LISTTEXTA per item).
    virtual MMRESULT mixerGetControlDetailsA(HMIXER mixer, MIXERCONTROLDETAILS* details,
                                             std::uint32_t flags) = 0;
    virtual MMRESULT mixerSetControlDetails(HMIXER mixer, const MIXERCONTROLDETAILS* details,
                                            std::uint32_t flags) = 0;
    //! `target` (null for none) hears OnMixerDevicesChanged from now on; it must stay alive
    //! until it is replaced. A system whose devices never change may ignore it.
    virtual void mixerWatchDevices(MixerNotifyTarget* target) { (void)target; }
    //! Whether the sound server behind the mixers is reachable, as last seen: false from the
    //! moment its loss was noticed until it answers again. No round trip; any thread.
    virtual bool mixerServerRunning() { return true; }
};

}  // namespace quavelink
