#pragma once

// The audio system as the capture engine, the silence keep-alive and the window see it: the
// operations that the Windows Core Audio interfaces offered (device enumerator, endpoint
// collection, endpoint, audio client, capture and render clients, session control,
// notifications), without any platform header. One real backend (PulseAudio, see
// pulse_audio_system.h) is chosen where the program is wired together; unit tests use the
// scripted fake of tests/platform/audio.
//
// Objects are owned by smart pointers in place of COM reference counts. Every operation
// returns a Status and hands its results over in out-parameters, the shape the capture engine
// is written against.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quavelink {
class WakeEvent;
}

namespace quavelink::audio {

//! An HRESULT-style status: 0 (or another non-negative value) is success, a negative value an
//! error. Printed with "%x".
using Status = std::int32_t;

constexpr bool Succeeded(Status status) { return status >= 0; }
constexpr bool Failed(Status status) { return status < 0; }

// The values are the ones the logged and shown texts print with "%x" (users quote them), so
// they stay. What each stands for here:
//
// | constant                  | value      | Linux cause                                          |
// |---------------------------|------------|------------------------------------------------------|
// | kErrorFail                | 0x80004005 | any other failure (a stream switch that timed out    |
// |                           |            | or found another format)                             |
// | kErrorOutOfMemory         | 0x8007000E | an allocation failed                                 |
// | kErrorNotFound            | 0x80070490 | no such list entry, default device or registration   |
// | kErrorNotInitialized      | 0x88890001 | the stream is not opened yet                         |
// | kErrorAlreadyInitialized  | 0x88890002 | the stream is opened already                         |
// | kErrorWrongEndpointType   | 0x88890003 | a source asked to be captured as a monitor, or a     |
// |                           |            | playback stream read (or a record stream written)    |
// | kErrorDeviceInvalidated   | 0x88890004 | the sink or source is gone (PA_ERR_NOENTITY,         |
// |                           |            | PA_ERR_KILLED, or its stream failed)                 |
// | kErrorUnsupportedFormat   | 0x88890008 | not 32-bit float samples, or no channels or rate     |
// | kErrorServiceNotRunning   | 0x88890010 | no sound server: refused, ended or never connected   |
// | kErrorEventHandle...      | 0x88890014 | an event given to a stream opened without            |
// |   NotExpected             |            | kStreamFlagsEventCallback                            |
// | kErrorBufferTooLarge      | 0x88890016 | more frames asked for than the playback buffer holds |
// | 0x80A1xxxx                | —          | any other PulseAudio error, its number in xxxx       |
// | 0x80A2xxxx                | —          | any other PipeWire error, its errno in xxxx          |
//
// statusCause says the same in words for log lines.
constexpr Status kOk = 0;
constexpr Status kErrorFail = static_cast<Status>(0x80004005);
constexpr Status kErrorOutOfMemory = static_cast<Status>(0x8007000E);
constexpr Status kErrorNotFound = static_cast<Status>(0x80070490);
constexpr Status kErrorNotInitialized = static_cast<Status>(0x88890001);
constexpr Status kErrorAlreadyInitialized = static_cast<Status>(0x88890002);
constexpr Status kErrorWrongEndpointType = static_cast<Status>(0x88890003);
constexpr Status kErrorDeviceInvalidated = static_cast<Status>(0x88890004);
constexpr Status kErrorUnsupportedFormat = static_cast<Status>(0x88890008);
constexpr Status kErrorServiceNotRunning = static_cast<Status>(0x88890010);
constexpr Status kErrorEventHandleNotExpected = static_cast<Status>(0x88890014);
constexpr Status kErrorBufferTooLarge = static_cast<Status>(0x88890016);
//! The facility of the codes that carry a PulseAudio error number in their low 16 bits.
constexpr std::uint32_t kPulseErrorFacility = 0x80A10000u;
//! The facility of the codes that carry a PipeWire errno in their low 16 bits.
constexpr std::uint32_t kPipeWireErrorFacility = 0x80A20000u;

//! What `status` stands for on this system, in a few words ("the device is gone").
const char* statusCause(Status status);

//! Data flow of an endpoint (EDataFlow).
enum class DataFlow { Render, Capture };

//! Shared mode only; there is no exclusive mode.
enum class ShareMode { Shared };

//! Stream flags of AudioClient::Initialize (AUDCLNT_STREAMFLAGS_*).
constexpr std::uint32_t kStreamFlagsLoopback = 0x00020000;
//! The stream sets the event given with SetEventHandle whenever a packet is waiting.
constexpr std::uint32_t kStreamFlagsEventCallback = 0x00040000;
constexpr std::uint32_t kStreamFlagsNoPersist = 0x00080000;

//! Packet flags of GetBuffer and ReleaseBuffer (AUDCLNT_BUFFERFLAGS_*).
constexpr std::uint32_t kBufferFlagsDataDiscontinuity = 0x1;
constexpr std::uint32_t kBufferFlagsSilent = 0x2;

//! Why a session ended (AudioSessionDisconnectReason); only two matter here.
enum class DisconnectReason { DeviceRemoval, ServerShutdown, FormatChanged, Other };

constexpr std::uint16_t kWaveFormatExtensible = 0xFFFE;
//! KSDATAFORMAT_SUBTYPE_IEEE_FLOAT as its 16 bytes.
constexpr std::array<std::uint8_t, 16> kSubtypeIeeeFloat = {
    0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};

//! The shared-mode mix format, laid out as WAVEFORMATEXTENSIBLE. Samples are interleaved
//! frames of `channels` samples; 32-bit samples are IEEE floats.
struct MixFormat {
    std::uint16_t formatTag = kWaveFormatExtensible;
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSec = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    //! Bytes after the first 18; 22 for the extensible layout, 0 for a plain WAVEFORMATEX.
    std::uint16_t cbSize = 22;
    std::uint16_t validBitsPerSample = 0;
    std::uint32_t channelMask = 0;  // SPEAKER_* bits
    std::array<std::uint8_t, 16> subFormat = kSubtypeIeeeFloat;
};

//! A float32 mix format with the derived fields filled in.
MixFormat FloatMixFormat(std::uint16_t channels, std::uint32_t samplesPerSec,
                         std::uint32_t channelMask);

//! The format as the 18 + cbSize little-endian bytes that WAVEFORMATEX(TENSIBLE) would hold
//! (cbSize above 22 counts as 22).
std::vector<std::uint8_t> FormatBytes(const MixFormat& format);

//! What the property store of an endpoint holds for this program.
struct EndpointProperties {
    //! PKEY_Device_FriendlyName; nothing when missing or not a string.
    std::optional<std::string> friendlyName;
    //! PKEY_Device_DeviceDesc ("Speakers", "Microphone", ...); nothing when missing.
    std::optional<std::string> deviceDesc;
    //! The form factor ("speaker", "microphone", "headset", ...); may be empty.
    std::string formFactor;
    //! Name and human description of each port (jack) of the device.
    std::vector<std::string> portNames;
};

//! Session notifications (IAudioSessionEvents). Called on the audio system's own thread: must
//! return quickly, and must not call into the audio system.
class SessionEvents {
  public:
    virtual ~SessionEvents() = default;
    virtual void OnSessionDisconnected(DisconnectReason reason) = 0;
};

//! Endpoint notifications (IMMNotificationClient). Called on the audio system's own thread:
//! must return quickly, and must not call into the audio system.
class NotificationClient {
  public:
    virtual ~NotificationClient() = default;
    //! The default endpoint of `flow` is now the one with id `deviceId` (empty: none).
    virtual void OnDefaultDeviceChanged(DataFlow flow, std::string_view deviceId) = 0;
    //! An endpoint of `flow` appeared (a device plugged in, a sink or source loaded).
    virtual void OnDeviceAdded(DataFlow flow, std::string_view deviceId) {
        (void)flow, (void)deviceId;
    }
    //! The endpoint went away (unplugged, unloaded). Only endpoints the registration's audio
    //! system has listed or told as added are told as removed.
    virtual void OnDeviceRemoved(DataFlow flow, std::string_view deviceId) {
        (void)flow, (void)deviceId;
    }
    //! Something about the endpoint changed: its state, its name, its ports or its format.
    virtual void OnDeviceStateChanged(DataFlow flow, std::string_view deviceId) {
        (void)flow, (void)deviceId;
    }
};

//! IAudioCaptureClient. Capture thread only; never blocks, never allocates.
class CaptureClient {
  public:
    virtual ~CaptureClient() = default;
    //! The next packet: `data` points at `frames` frames of the mix format, valid until
    //! ReleaseBuffer. `frames` 0 (and success) when no packet is waiting. `flags` holds
    //! kBufferFlags* bits; with kBufferFlagsSilent the data are to be read as zeros.
    virtual Status GetBuffer(const std::uint8_t*& data, std::uint32_t& frames,
                             std::uint32_t& flags) = 0;
    //! Gives back the packet of the last GetBuffer; `frames` is its whole frame count.
    virtual Status ReleaseBuffer(std::uint32_t frames) = 0;
};

//! IAudioRenderClient. One thread at a time.
class RenderClient {
  public:
    virtual ~RenderClient() = default;
    //! Room for `frames` frames, to be filled before ReleaseBuffer.
    virtual Status GetBuffer(std::uint32_t frames, std::uint8_t*& data) = 0;
    //! Queues the `frames` frames of the last GetBuffer; with kBufferFlagsSilent as zeros.
    virtual Status ReleaseBuffer(std::uint32_t frames, std::uint32_t flags) = 0;
};

//! IAudioSessionControl: the session notifications of one stream.
class SessionControl {
  public:
    virtual ~SessionControl() = default;
    //! `events` must stay alive until unregistered.
    virtual Status RegisterAudioSessionNotification(SessionEvents* events) = 0;
    //! After it returns, `events` is not called any more.
    virtual Status UnregisterAudioSessionNotification(SessionEvents* events) = 0;
};

//! IAudioClient: one shared-mode stream on one endpoint. Used from one thread at a time (the
//! server thread, then the capture thread, which the server thread starts and joins).
class AudioClient {
  public:
    virtual ~AudioClient() = default;
    //! The endpoint's shared-mode mix format.
    virtual Status GetMixFormat(MixFormat& format) = 0;
    //! Opens the stream. `streamFlags`: kStreamFlagsLoopback captures what a render endpoint
    //! plays (a capture endpoint refuses it); without it a capture endpoint is recorded and a
    //! render endpoint played to. `bufferDuration`: the buffer the stream asks for.
    virtual Status Initialize(ShareMode mode, std::uint32_t streamFlags,
                              std::chrono::microseconds bufferDuration,
                              const MixFormat& format) = 0;
    //! After Initialize with kStreamFlagsEventCallback (else kErrorEventHandleNotExpected):
    //! `event` is set, on the audio system's real-time thread, each time a packet is waiting
    //! for GetBuffer. It must stay alive as long as this client.
    virtual Status SetEventHandle(WakeEvent& event) = 0;
    //! Buffer size in frames, after Initialize.
    virtual Status GetBufferSize(std::uint32_t& frames) = 0;
    //! Frames queued for playing and not yet played (render streams).
    virtual Status GetCurrentPadding(std::uint32_t& frames) = 0;
    //! GetService for IID_IAudioCaptureClient, IID_IAudioRenderClient, IID_IAudioSessionControl.
    //! The service must not outlive this client.
    virtual Status GetService(std::unique_ptr<CaptureClient>& service) = 0;
    virtual Status GetService(std::unique_ptr<RenderClient>& service) = 0;
    virtual Status GetService(std::unique_ptr<SessionControl>& service) = 0;
    virtual Status Start() = 0;
    virtual Status Stop() = 0;
};

//! IMMDevice. Any thread.
class Endpoint {
  public:
    virtual ~Endpoint() = default;
    //! The audio system's name for the device (stable while it exists).
    virtual std::string GetId() const = 0;
    virtual DataFlow GetDataFlow() const = 0;
    //! Reads the property store.
    virtual Status OpenPropertyStore(EndpointProperties& properties) = 0;
    //! A new audio client on this endpoint.
    virtual Status Activate(std::unique_ptr<AudioClient>& client) = 0;
};

//! IMMDeviceCollection: a snapshot of the endpoints present when it was made. Any thread.
class EndpointCollection {
  public:
    virtual ~EndpointCollection() = default;
    virtual Status GetCount(std::uint32_t& count) = 0;
    //! kErrorNotFound (or another error) past the end.
    virtual Status Item(std::uint32_t index, std::shared_ptr<Endpoint>& endpoint) = 0;
};

//! IMMDeviceEnumerator. Any thread.
class DeviceEnumerator {
  public:
    virtual ~DeviceEnumerator() = default;
    //! Every active endpoint of both data flows: render endpoints first, then capture ones.
    virtual Status EnumAudioEndpoints(std::shared_ptr<EndpointCollection>& collection) = 0;
    //! The current default endpoint of `flow`.
    virtual Status GetDefaultAudioEndpoint(DataFlow flow, std::shared_ptr<Endpoint>& endpoint) = 0;
    //! `client` must stay alive until unregistered. The registration lives as long as the
    //! enumerator's connection to the sound server: once the sound server has gone away,
    //! nothing more comes through it, and a new enumerator takes a new registration.
    virtual Status RegisterEndpointNotificationCallback(NotificationClient* client) = 0;
    //! After it returns, `client` is not called any more.
    virtual Status UnregisterEndpointNotificationCallback(NotificationClient* client) = 0;
};

//! The audio system of the process (what COM and CoCreateInstance gave). Any thread.
class AudioSystem {
  public:
    virtual ~AudioSystem() = default;
    //! CoCreateInstance(CLSID_MMDeviceEnumerator): connects to the sound server if needed.
    virtual Status CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>& enumerator) = 0;
};

}  // namespace quavelink::audio
