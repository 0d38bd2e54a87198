#include "platform/mixer/pulse_mixer_system.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/mixer/mixer_layout.h"
#include "platform/pulse/pulse_connection.h"

namespace quavelink {
namespace {

constexpr std::uint32_t kFaderMax = 65535;
constexpr std::uint32_t kDestinationLineId = 0xFFFF0000;
// Control identifiers carry the mixer's serial number, so that no two open mixers share one.
constexpr int kIdShift = 12;
constexpr std::uint32_t kMaxPorts = 1000;

bool isLeft(pa_channel_position_t position) {
    switch (position) {
        case PA_CHANNEL_POSITION_FRONT_LEFT:
        case PA_CHANNEL_POSITION_REAR_LEFT:
        case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER:
        case PA_CHANNEL_POSITION_SIDE_LEFT:
        case PA_CHANNEL_POSITION_TOP_FRONT_LEFT:
        case PA_CHANNEL_POSITION_TOP_REAR_LEFT:
            return true;
        default:
            return false;
    }
}

bool isRight(pa_channel_position_t position) {
    switch (position) {
        case PA_CHANNEL_POSITION_FRONT_RIGHT:
        case PA_CHANNEL_POSITION_REAR_RIGHT:
        case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER:
        case PA_CHANNEL_POSITION_SIDE_RIGHT:
        case PA_CHANNEL_POSITION_TOP_FRONT_RIGHT:
        case PA_CHANNEL_POSITION_TOP_REAR_RIGHT:
            return true;
        default:
            return false;
    }
}

// What the mixer needs of a sink or a source.
struct DeviceState {
    bool found = false;
    std::string name;
    std::string description;
    pa_cvolume volume{};
    pa_channel_map map{};
    bool mute = false;
    std::vector<std::string> portNames;
    std::vector<std::string> portDescriptions;
    std::string activePort;
    bool isMonitor = false;
};

template <typename Info>
void readDevice(const Info& info, DeviceState& state) {
    state.found = true;
    state.name = info.name ? info.name : "";
    state.description = info.description ? info.description : state.name;
    state.volume = info.volume;
    state.map = info.channel_map;
    state.mute = info.mute != 0;
    for (std::uint32_t i = 0; i < info.n_ports && i < kMaxPorts; ++i) {
        const auto* port = info.ports[i];
        state.portNames.emplace_back(port->name ? port->name : "");
        state.portDescriptions.emplace_back(
            port->description && *port->description ? port->description : state.portNames.back());
    }
    if (info.active_port && info.active_port->name) state.activePort = info.active_port->name;
}

// The two fader values of a device's volume: the loudest channel of each side; channels of
// neither side (mono, centre) count for both when a side has none.
void fadersOf(const DeviceState& state, std::uint32_t& left, std::uint32_t& right) {
    pa_volume_t l = 0;
    pa_volume_t r = 0;
    bool anyLeft = false;
    bool anyRight = false;
    for (unsigned c = 0; c < state.volume.channels && c < state.map.channels; ++c) {
        pa_channel_position_t position = state.map.map[c];
        if (isLeft(position)) {
            l = std::max(l, state.volume.values[c]);
            anyLeft = true;
        } else if (isRight(position)) {
            r = std::max(r, state.volume.values[c]);
            anyRight = true;
        }
    }
    pa_volume_t all = pa_cvolume_max(&state.volume);
    if (!anyLeft) l = anyRight ? r : all;
    if (!anyRight) r = anyLeft ? l : all;
    left = faderFromPulseVolume(l);
    right = faderFromPulseVolume(r);
}

std::uint32_t lineChannels(const DeviceState& state) { return state.map.channels >= 2 ? 2 : 1; }

pa_cvolume volumeFor(const DeviceState& state, std::uint32_t left, std::uint32_t right) {
    pa_cvolume volume;
    pa_cvolume_init(&volume);
    volume.channels = state.map.channels;
    const pa_volume_t l = pulseVolumeFromFader(left);
    const pa_volume_t r = pulseVolumeFromFader(right);
    for (unsigned c = 0; c < state.map.channels; ++c) {
        pa_channel_position_t position = state.map.map[c];
        if (isLeft(position)) {
            volume.values[c] = l;
        } else if (isRight(position)) {
            volume.values[c] = r;
        } else {
            volume.values[c] = std::max(l, r);
        }
    }
    return volume;
}

// What a notification compares: the values the controls show.
struct Snapshot {
    bool valid = false;
    std::string device;
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    bool mute = false;
    std::string activePort;
};

Snapshot snapshotOf(const DeviceState& state) {
    Snapshot snapshot;
    snapshot.valid = state.found;
    snapshot.device = state.name;
    fadersOf(state, snapshot.left, snapshot.right);
    snapshot.mute = state.mute;
    snapshot.activePort = state.activePort;
    return snapshot;
}

struct OpenMixer {
    HMIXER handle = kNoMixer;
    bool isInput = false;
    std::string sourceName;  // input mixers: the source they belong to
    std::vector<std::string> portNames;
    MixerLayout layout;
    std::uint32_t muxId = 0;
    std::vector<std::uint32_t> volumeIds;
    std::vector<std::uint32_t> muteIds;
    Snapshot snapshot;  // under the system's openMutex
};

// The notification targets, shared with the work posted to the window thread, which may run
// after the system is gone.
struct Targets {
    std::mutex mutex;
    std::map<HMIXER, MixerNotifyTarget*> byMixer;
    MixerNotifyTarget* devices = nullptr;
};

class PulseMixerSystem : public MixerSystem {
  public:
    explicit PulseMixerSystem(WindowThreadPoster posterIn)
        : poster(std::move(posterIn)),
          targets(std::make_shared<Targets>()),
          source([this] { return std::make_shared<RefreshingConnection>(*this); },
                 connectionOptions(), true, [this] { onReconnected(); }) {}

    ~PulseMixerSystem() override = default;

    std::uint32_t mixerGetNumDevs() override {
        std::shared_ptr<pulse::Connection> connection;
        if (source.current(connection) != 0) return 0;
        pulse::Connection::Lock lock(*connection);
        std::string defaultSink;
        DeviceState sink;
        if (serverDefaultSink(*connection, defaultSink)) sinkByName(*connection, defaultSink, sink);
        std::vector<DeviceState> sources;
        listSources(*connection, sources);
        return std::max<std::uint32_t>(sink.found ? 1 : 0,
                                       static_cast<std::uint32_t>(sources.size()));
    }

    MMRESULT mixerOpen(HMIXER* mixer, std::uint32_t deviceId, MixerNotifyTarget* notify,
                       std::uint32_t flags) override {
        if (mixer == nullptr) return MMSYSERR_INVALPARAM;
        std::shared_ptr<pulse::Connection> connection;
        if (source.current(connection) != 0) return MMSYSERR_BADDEVICEID;
        const std::uint32_t kind = flags & MIXER_OBJECTF_TYPEMASK;
        if (kind != MIXER_OBJECTF_WAVEIN && kind != MIXER_OBJECTF_WAVEOUT) {
            return MMSYSERR_INVALFLAG;
        }
        auto opened = std::make_unique<OpenMixer>();
        opened->handle = nextHandle;
        const std::uint32_t idBase = static_cast<std::uint32_t>(nextHandle) << kIdShift;
        DeviceState device;
        {
            pulse::Connection::Lock lock(*connection);
            if (kind == MIXER_OBJECTF_WAVEOUT) {
                std::string defaultSink;
                if (deviceId != 0 || !serverDefaultSink(*connection, defaultSink) ||
                    !sinkByName(*connection, defaultSink, device)) {
                    return MMSYSERR_BADDEVICEID;
                }
                buildOutput(*opened, device, idBase);
            } else {
                std::vector<DeviceState> sources;
                listSources(*connection, sources);
                if (deviceId >= sources.size()) return MMSYSERR_BADDEVICEID;
                device = std::move(sources[deviceId]);
                buildInput(*opened, device, idBase);
            }
        }
        opened->snapshot = snapshotOf(device);
        *mixer = opened->handle;
        ++nextHandle;
        {
            std::lock_guard guard(targets->mutex);
            if (notify != nullptr && (flags & CALLBACK_WINDOW) != 0) {
                targets->byMixer[*mixer] = notify;
            }
        }
        std::lock_guard guard(openMutex);
        open[*mixer] = std::move(opened);
        return MMSYSERR_NOERROR;
    }

    MMRESULT mixerClose(HMIXER mixer) override {
        {
            std::lock_guard guard(targets->mutex);
            targets->byMixer.erase(mixer);
        }
        std::lock_guard guard(openMutex);
        return open.erase(mixer) == 1 ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
    }

    void mixerWatchDevices(MixerNotifyTarget* target) override {
        std::lock_guard guard(targets->mutex);
        targets->devices = target;
    }

    bool mixerServerRunning() override {
        std::shared_ptr<pulse::Connection> connection = source.last();
        return connection && connection->alive();
    }

    MMRESULT mixerGetDevCapsA(HMIXER mixer, MIXERCAPSA* caps, std::uint32_t capsSize) override {
        std::lock_guard guard(openMutex);
        OpenMixer* opened = find(mixer);
        return opened ? fillCaps(opened->layout, caps, capsSize) : MMSYSERR_INVALHANDLE;
    }

    MMRESULT mixerGetLineInfoA(HMIXER mixer, MIXERLINEA* line, std::uint32_t flags) override {
        std::lock_guard guard(openMutex);
        OpenMixer* opened = find(mixer);
        return opened ? fillLineInfo(opened->layout, line, flags) : MMSYSERR_INVALHANDLE;
    }

    MMRESULT mixerGetLineControlsA(HMIXER mixer, MIXERLINECONTROLSA* query,
                                   std::uint32_t flags) override {
        std::lock_guard guard(openMutex);
        OpenMixer* opened = find(mixer);
        return opened ? fillLineControls(opened->layout, query, flags) : MMSYSERR_INVALHANDLE;
    }

    MMRESULT mixerGetControlDetailsA(HMIXER mixer, MIXERCONTROLDETAILS* details,
                                     std::uint32_t flags) override {
        if ((flags & MIXER_QUERYMASK) == MIXER_GETCONTROLDETAILSF_LISTTEXT) {
            std::optional<OpenMixer> copy = copyOf(mixer);
            if (!copy) return MMSYSERR_INVALHANDLE;
            return details ? fillListText(copy->layout, details) : MMSYSERR_INVALPARAM;
        }
        std::optional<OpenMixer> copy;
        const ControlLayout* control = nullptr;
        MMRESULT check = checkDetailsRequest(mixer, details, flags, MIXER_GETCONTROLDETAILSF_VALUE,
                                             copy, control);
        if (check != MMSYSERR_NOERROR) return check;
        const OpenMixer* opened = &*copy;
        DeviceState state;
        std::shared_ptr<pulse::Connection> connection;
        if (source.current(connection) != 0) return MMSYSERR_ERROR;
        {
            pulse::Connection::Lock lock(*connection);
            if (!deviceOf(*connection, *opened, state)) return MMSYSERR_ERROR;
        }
        auto* values = static_cast<std::uint32_t*>(details->paDetails);
        if (control->type == MIXERCONTROL_CONTROLTYPE_MUX) {
            for (std::size_t i = 0; i < control->items.size(); ++i) {
                values[i] = opened->portNames[i] == state.activePort ? 1 : 0;
            }
            return MMSYSERR_NOERROR;
        }
        std::uint32_t left = 0;
        std::uint32_t right = 0;
        if (control->type == MIXERCONTROL_CONTROLTYPE_MUTE) {
            left = right = state.mute ? 1 : 0;
        } else {
            fadersOf(state, left, right);
        }
        if (details->cChannels == 1) {
            values[0] = std::max(left, right);
        } else {
            values[0] = left;
            values[1] = right;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT mixerSetControlDetails(HMIXER mixer, const MIXERCONTROLDETAILS* details,
                                    std::uint32_t flags) override {
        std::optional<OpenMixer> copy;
        const ControlLayout* control = nullptr;
        MMRESULT check = checkDetailsRequest(mixer, details, flags, MIXER_SETCONTROLDETAILSF_VALUE,
                                             copy, control);
        if (check != MMSYSERR_NOERROR) return check;
        const OpenMixer* opened = &*copy;
        std::shared_ptr<pulse::Connection> connection;
        if (source.current(connection) != 0) return MMSYSERR_ERROR;
        pulse::Connection::Lock lock(*connection);
        DeviceState state;
        if (!deviceOf(*connection, *opened, state)) return MMSYSERR_ERROR;
        const auto* values = static_cast<const std::uint32_t*>(details->paDetails);
        const char* name = state.name.c_str();
        pa_context* context = connection->context();
        Result result{connection.get()};
        pa_operation* operation = nullptr;
        if (control->type == MIXERCONTROL_CONTROLTYPE_MUX) {
            std::size_t chosen = control->items.size();
            for (std::size_t i = 0; i < control->items.size(); ++i) {
                if (values[i] != 0) {
                    chosen = i;
                    break;
                }
            }
            if (chosen == control->items.size()) return MMSYSERR_INVALPARAM;
            const std::string& port = opened->portNames[chosen];
            // A source without ports has its one line selected for good.
            if (port.empty() || port == state.activePort) return MMSYSERR_NOERROR;
            operation = pa_context_set_source_port_by_name(context, name, port.c_str(),
                                                           &PulseMixerSystem::onSuccess, &result);
        } else if (control->type == MIXERCONTROL_CONTROLTYPE_MUTE) {
            bool mute = false;
            for (std::uint32_t c = 0; c < details->cChannels; ++c) mute = mute || values[c] != 0;
            operation = opened->isInput
                            ? pa_context_set_source_mute_by_name(
                                  context, name, mute, &PulseMixerSystem::onSuccess, &result)
                            : pa_context_set_sink_mute_by_name(
                                  context, name, mute, &PulseMixerSystem::onSuccess, &result);
        } else {
            std::uint32_t left = std::min(values[0], kFaderMax);
            std::uint32_t right = details->cChannels >= 2 ? std::min(values[1], kFaderMax) : left;
            pa_cvolume volume = volumeFor(state, left, right);
            operation = opened->isInput
                            ? pa_context_set_source_volume_by_name(
                                  context, name, &volume, &PulseMixerSystem::onSuccess, &result)
                            : pa_context_set_sink_volume_by_name(
                                  context, name, &volume, &PulseMixerSystem::onSuccess, &result);
        }
        if (connection->wait(operation) != 0 || !result.success) return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

  private:
    struct Result {
        explicit Result(pulse::Connection* connection) : connection(connection) {}
        pulse::Connection* connection = nullptr;
        bool success = false;
        bool failed = false;
    };

    // A query of the device states, filled by the info callbacks.
    struct Query {
        explicit Query(pulse::Connection* connection) : connection(connection) {}
        pulse::Connection* connection = nullptr;
        std::vector<DeviceState> devices;
        std::string defaultSink;
        bool failed = false;
    };

    // The mixer's connection carries all that an event's follow-up queries need beside the
    // answer: libpulse drops the callbacks of the queries still running when the connection dies,
    // so anything a query owned would be left behind with each sound server restart.
    class RefreshingConnection : public pulse::Connection {
      public:
        explicit RefreshingConnection(PulseMixerSystem& system) : system(system) {}
        ~RefreshingConnection() override { close(); }

        PulseMixerSystem& system;
        bool refreshFailed = false;  // loop
    };

    // A value request of `mixer` checked in the order the mixer API answers it (handle, pointer,
    // query kind `valueQuery`, control, channels and items); on success `opened` holds a copy of
    // the open mixer and `control` the control named.
    MMRESULT checkDetailsRequest(HMIXER mixer, const MIXERCONTROLDETAILS* details,
                                 std::uint32_t flags, std::uint32_t valueQuery,
                                 std::optional<OpenMixer>& opened, const ControlLayout*& control) {
        opened = copyOf(mixer);
        if (!opened) return MMSYSERR_INVALHANDLE;
        if (details == nullptr) return MMSYSERR_INVALPARAM;
        if ((flags & MIXER_QUERYMASK) != valueQuery) return MMSYSERR_INVALFLAG;
        std::uint32_t channels = 0;
        control = opened->layout.findControl(details->dwControlID, &channels);
        if (control == nullptr) return MIXERR_INVALCONTROL;
        return checkValueRequest(*control, channels, *details);
    }

    pulse::Connection::Options connectionOptions() {
        pulse::Connection::Options options;
        options.clientName = "QuaveLink Server mixer";
        options.subscriptions =
            PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER;
        options.onEvent = [this](pulse::Connection& connection, unsigned type, std::uint32_t) {
            onEvent(connection, type);
        };
        return options;
    }

    // Watch thread, after the sound server came back or came up for the first time: every
    // control of every open mixer may show another value now, so the window reads them all
    // again, and a window that found no mixer device before may find some now.
    void onReconnected() {
        logLine("Mixer: connected to the sound server again\n");
        postDevicesChanged();
        std::vector<std::pair<HMIXER, std::uint32_t>> changed;
        {
            std::lock_guard guard(openMutex);
            for (auto& [handle, opened] : open) {
                opened->snapshot.valid = false;
                for (std::uint32_t id : opened->volumeIds) changed.emplace_back(handle, id);
                for (std::uint32_t id : opened->muteIds) changed.emplace_back(handle, id);
                if (opened->isInput) changed.emplace_back(handle, opened->muxId);
            }
        }
        for (auto [handle, id] : changed) post(handle, id);
    }

    // Under the lock of `connection`: runs the query that `start` begins on `query` and waits
    // for it; false when it failed in any way.
    template <typename Start>
    static bool run(pulse::Connection& connection, Query& query, Start start) {
        return connection.wait(start(connection.context())) == 0 && !query.failed;
    }

    static bool serverDefaultSink(pulse::Connection& connection, std::string& name) {
        Query query{&connection};
        if (!run(connection, query, [&](pa_context* context) {
                return pa_context_get_server_info(context, &PulseMixerSystem::onServer, &query);
            })) {
            return false;
        }
        name = query.defaultSink;
        return !name.empty();
    }

    static bool deviceByName(pulse::Connection& connection, bool isSource, const std::string& name,
                             DeviceState& state) {
        Query query{&connection};
        if (!run(connection, query,
                 [&](pa_context* context) {
                     return isSource
                                ? pa_context_get_source_info_by_name(
                                      context, name.c_str(), &PulseMixerSystem::onSource, &query)
                                : pa_context_get_sink_info_by_name(
                                      context, name.c_str(), &PulseMixerSystem::onSink, &query);
                 }) ||
            query.devices.empty()) {
            return false;
        }
        state = std::move(query.devices.front());
        return true;
    }

    static bool sinkByName(pulse::Connection& connection, const std::string& name,
                           DeviceState& state) {
        return deviceByName(connection, false, name, state);
    }

    static bool sourceByName(pulse::Connection& connection, const std::string& name,
                             DeviceState& state) {
        return deviceByName(connection, true, name, state);
    }

    static void listSources(pulse::Connection& connection, std::vector<DeviceState>& sources) {
        Query query{&connection};
        if (!run(connection, query, [&](pa_context* context) {
                return pa_context_get_source_info_list(context, &PulseMixerSystem::onSource,
                                                       &query);
            })) {
            return;
        }
        for (DeviceState& device : query.devices) {
            if (!device.isMonitor) sources.push_back(std::move(device));
        }
    }

    // Under the lock: the device an open mixer stands for now; the output mixer follows the
    // default sink.
    static bool deviceOf(pulse::Connection& connection, const OpenMixer& opened,
                         DeviceState& state) {
        if (opened.isInput) return sourceByName(connection, opened.sourceName, state);
        std::string defaultSink;
        return serverDefaultSink(connection, defaultSink) &&
               sinkByName(connection, defaultSink, state);
    }

    // A copy of the open mixer's description, taken under its mutex, so that no lock is held
    // while the sound server answers.
    std::optional<OpenMixer> copyOf(HMIXER mixer) {
        std::lock_guard guard(openMutex);
        OpenMixer* opened = find(mixer);
        if (!opened) return std::nullopt;
        return *opened;
    }

    OpenMixer* find(HMIXER mixer) {
        auto found = open.find(mixer);
        return found == open.end() ? nullptr : found->second.get();
    }

    static ControlLayout volumeControl(std::uint32_t id) {
        ControlLayout control;
        control.id = id;
        control.type = MIXERCONTROL_CONTROLTYPE_VOLUME;
        control.name = "Volume";
        control.shortName = "Volume";
        control.minimum = 0;
        control.maximum = static_cast<std::int32_t>(kFaderMax);
        return control;
    }

    static ControlLayout muteControl(std::uint32_t id) {
        ControlLayout control;
        control.id = id;
        control.type = MIXERCONTROL_CONTROLTYPE_MUTE;
        control.flags = MIXERCONTROL_CONTROLF_UNIFORM;
        control.name = "Mute";
        control.shortName = "Mute";
        control.minimum = 0;
        control.maximum = 1;
        return control;
    }

    static void buildOutput(OpenMixer& opened, const DeviceState& sink, std::uint32_t idBase) {
        opened.isInput = false;
        opened.layout.productName = sink.description;
        opened.layout.targetType = MIXERLINE_TARGETTYPE_WAVEOUT;
        LineLayout speakers;
        speakers.id = kDestinationLineId;
        speakers.componentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
        speakers.name = "Master Volume";
        speakers.shortName = "Volume";
        speakers.channels = lineChannels(sink);
        speakers.controls = {volumeControl(idBase + 1), muteControl(idBase + 2)};
        opened.volumeIds = {idBase + 1};
        opened.muteIds = {idBase + 2};
        opened.layout.destinations = {speakers};
    }

    static void buildInput(OpenMixer& opened, const DeviceState& source, std::uint32_t idBase) {
        opened.isInput = true;
        opened.sourceName = source.name;
        opened.layout.productName = source.description;
        opened.layout.targetType = MIXERLINE_TARGETTYPE_WAVEIN;
        LineLayout recording;
        recording.id = kDestinationLineId;
        recording.componentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
        recording.name = "Recording Control";
        recording.shortName = "Recording";
        recording.channels = lineChannels(source);
        std::vector<std::string> lineNames = source.portDescriptions;
        opened.portNames = source.portNames;
        if (lineNames.empty()) {
            lineNames = {source.description};
            opened.portNames = {""};
        }
        ControlLayout mux;
        mux.id = idBase + 1;
        mux.type = MIXERCONTROL_CONTROLTYPE_MUX;
        mux.flags = MIXERCONTROL_CONTROLF_UNIFORM | MIXERCONTROL_CONTROLF_MULTIPLE;
        mux.name = "Recording Source";
        mux.shortName = "Source";
        mux.maximum = static_cast<std::int32_t>(lineNames.size()) - 1;
        mux.items = lineNames;
        opened.muxId = mux.id;
        recording.controls = {mux};
        for (std::size_t i = 0; i < lineNames.size(); ++i) {
            LineLayout line;
            line.id = static_cast<std::uint32_t>(i);
            line.componentType = MIXERLINE_COMPONENTTYPE_SRC_ANALOG;
            line.name = lineNames[i];
            line.shortName = lineNames[i];
            line.channels = recording.channels;
            std::uint32_t volumeId = idBase + 2 + 2 * static_cast<std::uint32_t>(i);
            line.controls = {volumeControl(volumeId), muteControl(volumeId + 1)};
            opened.volumeIds.push_back(volumeId);
            opened.muteIds.push_back(volumeId + 1);
            recording.sources.push_back(std::move(line));
        }
        opened.layout.destinations = {recording};
    }

    // Loop thread, under openMutex: tells the window about every control whose value differs
    // from what it last saw.
    void compareAndNotify(OpenMixer& opened, const DeviceState& state) {
        Snapshot now = snapshotOf(state);
        Snapshot& before = opened.snapshot;
        std::vector<std::uint32_t> changed;
        bool deviceChanged = !before.valid || before.device != now.device;
        if (deviceChanged || before.left != now.left || before.right != now.right) {
            changed.insert(changed.end(), opened.volumeIds.begin(), opened.volumeIds.end());
        }
        if (deviceChanged || before.mute != now.mute) {
            changed.insert(changed.end(), opened.muteIds.begin(), opened.muteIds.end());
        }
        if (opened.isInput && (deviceChanged || before.activePort != now.activePort)) {
            changed.push_back(opened.muxId);
        }
        before = now;
        for (std::uint32_t id : changed) post(opened.handle, id);
    }

    void post(HMIXER mixer, std::uint32_t controlId) {
        if (!poster) return;
        std::weak_ptr<Targets> weak = targets;
        poster([weak, mixer, controlId] {
            std::shared_ptr<Targets> shared = weak.lock();
            if (!shared) return;
            MixerNotifyTarget* target = nullptr;
            {
                std::lock_guard guard(shared->mutex);
                auto found = shared->byMixer.find(mixer);
                if (found != shared->byMixer.end()) target = found->second;
            }
            if (target) target->OnMixerControlChange(mixer, controlId);
        });
    }

    void postDevicesChanged() {
        if (!poster) return;
        std::weak_ptr<Targets> weak = targets;
        poster([weak] {
            std::shared_ptr<Targets> shared = weak.lock();
            if (!shared) return;
            MixerNotifyTarget* target = nullptr;
            {
                std::lock_guard guard(shared->mutex);
                target = shared->devices;
            }
            if (target) target->OnMixerDevicesChanged();
        });
    }

    static void onSuccess(pa_context*, int success, void* userdata) {
        auto* result = static_cast<Result*>(userdata);
        result->connection->guard("mixer change", result->failed,
                                  [&] { result->success = success != 0; });
    }

    static void onServer(pa_context*, const pa_server_info* info, void* userdata) {
        auto* query = static_cast<Query*>(userdata);
        query->connection->guard("mixer server information", query->failed, [&] {
            if (info && info->default_sink_name) query->defaultSink = info->default_sink_name;
        });
    }

    template <typename Info>
    static void addDevice(const Info* info, int eol, Query* query) {
        query->connection->guard("mixer device list", query->failed, [&] {
            if (eol != 0 || !info) return;
            query->devices.emplace_back();
            readDevice(*info, query->devices.back());
            if constexpr (std::is_same_v<Info, pa_source_info>) {
                query->devices.back().isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
            }
        });
    }

    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        addDevice(info, eol, static_cast<Query*>(userdata));
    }

    static void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        addDevice(info, eol, static_cast<Query*>(userdata));
    }

    // Loop thread, inside the connection's guard. Any change of a sink, a source or the
    // default sink: the open mixers look again at what they show.
    void onEvent(pulse::Connection& connection, unsigned type) {
        const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        std::vector<std::string> sources;
        bool outputs = false;
        {
            std::lock_guard guard(openMutex);
            for (auto& [handle, opened] : open) {
                if (opened->isInput && facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
                    sources.push_back(opened->sourceName);
                } else if (!opened->isInput && facility != PA_SUBSCRIPTION_EVENT_SOURCE) {
                    outputs = true;
                }
            }
        }
        std::sort(sources.begin(), sources.end());
        sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
        pa_context* context = connection.context();
        for (const std::string& name : sources) {
            unrefStarted(pa_context_get_source_info_by_name(
                context, name.c_str(), &PulseMixerSystem::onSourceRefresh, &connection));
        }
        if (outputs) {
            unrefStarted(pa_context_get_server_info(context, &PulseMixerSystem::onServerRefresh,
                                                    &connection));
        }
    }

    static void unrefStarted(pa_operation* operation) {
        if (operation) pa_operation_unref(operation);
    }

    static void onServerRefresh(pa_context* context, const pa_server_info* info, void* userdata) {
        if (!info || !info->default_sink_name) return;
        unrefStarted(pa_context_get_sink_info_by_name(context, info->default_sink_name,
                                                      &PulseMixerSystem::onSinkRefresh, userdata));
    }

    // Loop thread: the open mixers of the device `info` describes (the default sink for the
    // output mixers) compare it with what they showed.
    template <typename Info>
    static void refreshFrom(const Info* info, void* userdata, bool isInput) {
        if (!info) return;
        auto* connection = static_cast<RefreshingConnection*>(userdata);
        connection->guard("mixer refresh", connection->refreshFailed, [&] {
            DeviceState state;
            readDevice(*info, state);
            PulseMixerSystem& self = connection->system;
            std::lock_guard guard(self.openMutex);
            for (auto& [handle, opened] : self.open) {
                if (opened->isInput == isInput && (!isInput || opened->sourceName == state.name)) {
                    self.compareAndNotify(*opened, state);
                }
            }
        });
    }

    static void onSinkRefresh(pa_context*, const pa_sink_info* info, int, void* userdata) {
        refreshFrom(info, userdata, false);
    }

    static void onSourceRefresh(pa_context*, const pa_source_info* info, int, void* userdata) {
        refreshFrom(info, userdata, true);
    }

    WindowThreadPoster poster;
    std::shared_ptr<Targets> targets;
    HMIXER nextHandle = 1;  // window thread
    std::mutex openMutex;   // never held while waiting for the sound server
    std::map<HMIXER, std::unique_ptr<OpenMixer>> open;  // under openMutex
    // Last: its watch thread and connections end before what they use.
    pulse::ConnectionSource source;
};

}  // namespace

std::uint32_t faderFromPulseVolume(std::uint32_t volume) {
    std::uint64_t fader = (std::uint64_t{volume} * kFaderMax + PA_VOLUME_NORM / 2) / PA_VOLUME_NORM;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(fader, kFaderMax));
}

std::uint32_t pulseVolumeFromFader(std::uint32_t fader) {
    std::uint64_t clamped = std::min(fader, kFaderMax);
    return static_cast<std::uint32_t>((clamped * PA_VOLUME_NORM + kFaderMax / 2) / kFaderMax);
}

std::unique_ptr<MixerSystem> CreatePulseMixerSystem(WindowThreadPoster poster) {
    return std::make_unique<PulseMixerSystem>(std::move(poster));
}

}  // namespace quavelink
