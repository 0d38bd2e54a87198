#include "fake_audio_system.h"

#include <algorithm>
#include <chrono>

#include "platform/wake_event.h"

namespace quavelink::test {

using audio::Status;

namespace {

struct FakeStream {
    std::string device;
    bool record = false;
    std::uint16_t channels = 2;
    bool eventCallback = false;
    WakeEvent* packetEvent = nullptr;
    audio::SessionEvents* events = nullptr;
    std::vector<float> current;
};

}  // namespace

struct FakeAudioSystem::State {
    std::mutex mutex;
    std::condition_variable changed;
    // Held while notifications are delivered and while clients unregister.
    std::recursive_mutex notifyMutex;
    std::vector<Device> devices;
    std::map<std::string, std::deque<Packet>> packets;
    std::string defaultRender, defaultCapture;
    std::map<std::string, std::pair<Status, int>> failures;
    std::vector<std::string> calls;
    std::vector<audio::NotificationClient*> clients;
    std::vector<FakeStream*> streams;
    int polls = 0;
    std::uint32_t rendered = 0, renderedSilent = 0;

    // Under `mutex`: records `call` and returns the failure scripted for `key` (or 0).
    Status check(const std::string& call, const std::string& key) {
        calls.push_back(call);
        changed.notify_all();
        auto found = failures.find(key);
        if (found == failures.end()) return audio::kOk;
        Status status = found->second.first;
        if (found->second.second > 0 && --found->second.second == 0) failures.erase(found);
        return status;
    }
    Status check(const std::string& call) { return check(call, call); }

    Device* find(const std::string& id) {
        for (Device& device : devices) {
            if (device.id == id) return &device;
        }
        return nullptr;
    }

    void tellStreams(const std::string& id, audio::DisconnectReason reason) {
        std::vector<audio::SessionEvents*> targets;
        std::lock_guard notify(notifyMutex);
        {
            std::lock_guard lock(mutex);
            for (FakeStream* stream : streams) {
                if (stream->device == id && stream->events) targets.push_back(stream->events);
            }
        }
        for (auto* events : targets) events->OnSessionDisconnected(reason);
    }

    // Tells every registered client what `tell` says of device `id`, outside `mutex`.
    template <typename Tell>
    void tellClients(const std::string& id, Tell tell) {
        std::lock_guard notify(notifyMutex);
        std::vector<audio::NotificationClient*> targets;
        audio::DataFlow flow = audio::DataFlow::Render;
        {
            std::lock_guard lock(mutex);
            Device* device = find(id);
            if (device == nullptr) return;
            flow = device->flow;
            targets = clients;
        }
        for (auto* client : targets) tell(*client, flow, id);
    }
};

namespace {

using State = FakeAudioSystem::State;
using Device = FakeAudioSystem::Device;

class FakeCaptureClient : public audio::CaptureClient {
  public:
    FakeCaptureClient(std::shared_ptr<State> state, FakeStream* stream)
        : state(std::move(state)), stream(stream) {}

    Status GetBuffer(const std::uint8_t*& data, std::uint32_t& frames,
                     std::uint32_t& flags) override {
        std::lock_guard lock(state->mutex);
        ++state->polls;
        frames = 0;
        flags = 0;
        auto& queue = state->packets[stream->device];
        if (queue.empty()) return audio::kOk;
        FakeAudioSystem::Packet packet = std::move(queue.front());
        queue.pop_front();
        if (audio::Failed(packet.error)) return packet.error;
        stream->current = std::move(packet.samples);
        data = reinterpret_cast<const std::uint8_t*>(stream->current.data());
        frames = static_cast<std::uint32_t>(stream->current.size() / stream->channels);
        flags = packet.flags;
        return audio::kOk;
    }

    Status ReleaseBuffer(std::uint32_t) override {
        std::lock_guard lock(state->mutex);
        return state->check("ReleaseBuffer");
    }

  private:
    std::shared_ptr<State> state;
    FakeStream* stream;
};

class FakeRenderClient : public audio::RenderClient {
  public:
    FakeRenderClient(std::shared_ptr<State> state, FakeStream* stream)
        : state(std::move(state)), stream(stream) {}

    Status GetBuffer(std::uint32_t frames, std::uint8_t*& data) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("RenderGetBuffer");
        if (audio::Failed(status)) return status;
        stream->current.assign(static_cast<std::size_t>(frames) * stream->channels, 1.0f);
        data = reinterpret_cast<std::uint8_t*>(stream->current.data());
        return audio::kOk;
    }

    Status ReleaseBuffer(std::uint32_t frames, std::uint32_t flags) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("RenderReleaseBuffer");
        if (audio::Failed(status)) return status;
        state->rendered += frames;
        if (flags & audio::kBufferFlagsSilent) state->renderedSilent += frames;
        return audio::kOk;
    }

  private:
    std::shared_ptr<State> state;
    FakeStream* stream;
};

class FakeSessionControl : public audio::SessionControl {
  public:
    FakeSessionControl(std::shared_ptr<State> state, FakeStream* stream)
        : state(std::move(state)), stream(stream) {}

    Status RegisterAudioSessionNotification(audio::SessionEvents* events) override {
        std::lock_guard notify(state->notifyMutex);
        std::lock_guard lock(state->mutex);
        Status status = state->check("RegisterAudioSessionNotification", "Register");
        if (audio::Succeeded(status)) stream->events = events;
        return status;
    }
    Status UnregisterAudioSessionNotification(audio::SessionEvents* events) override {
        std::lock_guard notify(state->notifyMutex);
        std::lock_guard lock(state->mutex);
        state->check("UnregisterAudioSessionNotification");
        if (stream->events != events) return audio::kErrorNotFound;
        stream->events = nullptr;
        return audio::kOk;
    }

  private:
    std::shared_ptr<State> state;
    FakeStream* stream;
};

class FakeAudioClient : public audio::AudioClient {
  public:
    FakeAudioClient(std::shared_ptr<State> state, std::string id)
        : state(std::move(state)), id(std::move(id)) {}

    ~FakeAudioClient() override {
        if (!stream) return;
        std::lock_guard notify(state->notifyMutex);
        std::lock_guard lock(state->mutex);
        auto& streams = state->streams;
        streams.erase(std::remove(streams.begin(), streams.end(), stream.get()), streams.end());
    }

    Status GetMixFormat(audio::MixFormat& format) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("GetMixFormat:" + id);
        if (audio::Failed(status)) return status;
        Device* device = state->find(id);
        if (!device || !device->present) return audio::kErrorDeviceInvalidated;
        format = device->format;
        return audio::kOk;
    }

    Status Initialize(audio::ShareMode, std::uint32_t streamFlags,
                      std::chrono::microseconds bufferDuration,
                      const audio::MixFormat& format) override {
        std::lock_guard lock(state->mutex);
        bool loopback = (streamFlags & audio::kStreamFlagsLoopback) != 0;
        std::string call = "Initialize:" + id + (loopback ? ":loopback" : ":direct");
        Status status = state->check(call);
        if (audio::Failed(status)) return status;
        if (stream) return audio::kErrorAlreadyInitialized;
        Device* device = state->find(id);
        if (!device || !device->present) return audio::kErrorDeviceInvalidated;
        if (loopback && device->flow != audio::DataFlow::Render) {
            return audio::kErrorWrongEndpointType;
        }
        stream = std::make_unique<FakeStream>();
        stream->device = id;
        stream->record = loopback || device->flow == audio::DataFlow::Capture;
        stream->channels = format.channels;
        stream->eventCallback = (streamFlags & audio::kStreamFlagsEventCallback) != 0;
        bufferFrames =
            static_cast<std::uint32_t>(bufferDuration.count() * format.samplesPerSec / 1000000);
        state->streams.push_back(stream.get());
        return audio::kOk;
    }

    Status SetEventHandle(WakeEvent& event) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("SetEventHandle");
        if (audio::Failed(status)) return status;
        if (!stream) return audio::kErrorNotInitialized;
        if (!stream->eventCallback) return audio::kErrorEventHandleNotExpected;
        stream->packetEvent = &event;
        if (!state->packets[id].empty()) event.set();
        return audio::kOk;
    }

    Status GetBufferSize(std::uint32_t& frames) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("GetBufferSize");
        if (audio::Failed(status)) return status;
        frames = bufferFrames;
        return audio::kOk;
    }

    Status GetCurrentPadding(std::uint32_t& frames) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("GetCurrentPadding");
        if (audio::Failed(status)) return status;
        // Half the buffer has been played since the last look.
        frames = bufferFrames / 2;
        return audio::kOk;
    }

    Status GetService(std::unique_ptr<audio::CaptureClient>& service) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("GetService:capture");
        if (audio::Failed(status)) return status;
        if (!stream) return audio::kErrorNotInitialized;
        service = std::make_unique<FakeCaptureClient>(state, stream.get());
        return audio::kOk;
    }

    Status GetService(std::unique_ptr<audio::RenderClient>& service) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("GetService:render");
        if (audio::Failed(status)) return status;
        if (!stream) return audio::kErrorNotInitialized;
        service = std::make_unique<FakeRenderClient>(state, stream.get());
        return audio::kOk;
    }

    Status GetService(std::unique_ptr<audio::SessionControl>& service) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("GetService:session");
        if (audio::Failed(status)) return status;
        if (!stream) return audio::kErrorNotInitialized;
        service = std::make_unique<FakeSessionControl>(state, stream.get());
        return audio::kOk;
    }

    Status Start() override {
        std::lock_guard lock(state->mutex);
        return state->check("Start:" + id, "Start");
    }
    Status Stop() override {
        std::lock_guard lock(state->mutex);
        return state->check("Stop:" + id, "Stop");
    }

  private:
    std::shared_ptr<State> state;
    std::string id;
    std::unique_ptr<FakeStream> stream;
    std::uint32_t bufferFrames = 0;
};

class FakeEndpoint : public audio::Endpoint {
  public:
    FakeEndpoint(std::shared_ptr<State> state, std::string id, audio::DataFlow flow)
        : state(std::move(state)), id(std::move(id)), flow(flow) {}

    std::string GetId() const override { return id; }
    audio::DataFlow GetDataFlow() const override { return flow; }

    Status OpenPropertyStore(audio::EndpointProperties& properties) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("OpenPropertyStore:" + id);
        if (audio::Failed(status)) return status;
        Device* device = state->find(id);
        if (!device || !device->present) return audio::kErrorDeviceInvalidated;
        properties = device->properties;
        return audio::kOk;
    }

    Status Activate(std::unique_ptr<audio::AudioClient>& client) override {
        {
            std::lock_guard lock(state->mutex);
            Status status = state->check("Activate:" + id);
            if (audio::Failed(status)) return status;
            Device* device = state->find(id);
            if (!device || !device->present) return audio::kErrorDeviceInvalidated;
        }
        client = std::make_unique<FakeAudioClient>(state, id);
        return audio::kOk;
    }

  private:
    std::shared_ptr<State> state;
    std::string id;
    audio::DataFlow flow;
};

class FakeCollection : public audio::EndpointCollection {
  public:
    FakeCollection(std::shared_ptr<State> state,
                   std::vector<std::shared_ptr<audio::Endpoint>> items)
        : state(std::move(state)), items(std::move(items)) {}

    Status GetCount(std::uint32_t& count) override {
        count = static_cast<std::uint32_t>(items.size());
        return audio::kOk;
    }
    Status Item(std::uint32_t index, std::shared_ptr<audio::Endpoint>& endpoint) override {
        {
            std::lock_guard lock(state->mutex);
            Status status = state->check("Item");
            if (audio::Failed(status)) return status;
        }
        if (index >= items.size()) return audio::kErrorNotFound;
        endpoint = items[index];
        return audio::kOk;
    }

  private:
    std::shared_ptr<State> state;
    std::vector<std::shared_ptr<audio::Endpoint>> items;
};

class FakeEnumerator : public audio::DeviceEnumerator {
  public:
    explicit FakeEnumerator(std::shared_ptr<State> state) : state(std::move(state)) {}

    Status EnumAudioEndpoints(std::shared_ptr<audio::EndpointCollection>& collection) override {
        std::vector<std::shared_ptr<audio::Endpoint>> items;
        {
            std::lock_guard lock(state->mutex);
            Status status = state->check("EnumAudioEndpoints");
            if (audio::Failed(status)) return status;
            for (const Device& device : state->devices) {
                if (device.present) {
                    items.push_back(std::make_shared<FakeEndpoint>(state, device.id, device.flow));
                }
            }
        }
        collection = std::make_shared<FakeCollection>(state, std::move(items));
        return audio::kOk;
    }

    Status GetDefaultAudioEndpoint(audio::DataFlow flow,
                                   std::shared_ptr<audio::Endpoint>& endpoint) override {
        std::lock_guard lock(state->mutex);
        Status status = state->check("GetDefaultAudioEndpoint");
        if (audio::Failed(status)) return status;
        const std::string& id =
            flow == audio::DataFlow::Render ? state->defaultRender : state->defaultCapture;
        if (id.empty()) return audio::kErrorNotFound;
        endpoint = std::make_shared<FakeEndpoint>(state, id, flow);
        return audio::kOk;
    }

    Status RegisterEndpointNotificationCallback(audio::NotificationClient* client) override {
        std::lock_guard notify(state->notifyMutex);
        std::lock_guard lock(state->mutex);
        Status status = state->check("RegisterEndpointNotificationCallback", "Register");
        if (audio::Succeeded(status)) state->clients.push_back(client);
        return status;
    }

    Status UnregisterEndpointNotificationCallback(audio::NotificationClient* client) override {
        std::lock_guard notify(state->notifyMutex);
        std::lock_guard lock(state->mutex);
        state->check("UnregisterEndpointNotificationCallback");
        auto& clients = state->clients;
        auto found = std::find(clients.begin(), clients.end(), client);
        if (found == clients.end()) return audio::kErrorNotFound;
        clients.erase(found);
        return audio::kOk;
    }

  private:
    std::shared_ptr<State> state;
};

}  // namespace

FakeAudioSystem::FakeAudioSystem() : state(std::make_shared<State>()) {}

void FakeAudioSystem::addDevice(const Device& device) {
    {
        std::lock_guard lock(state->mutex);
        state->devices.push_back(device);
    }
    if (device.present) {
        state->tellClients(device.id,
                           [](audio::NotificationClient& client, audio::DataFlow flow,
                              const std::string& id) { client.OnDeviceAdded(flow, id); });
    }
}

void FakeAudioSystem::setDefault(audio::DataFlow flow, const std::string& id) {
    std::vector<audio::NotificationClient*> clients;
    std::lock_guard notify(state->notifyMutex);
    {
        std::lock_guard lock(state->mutex);
        std::string& current =
            flow == audio::DataFlow::Render ? state->defaultRender : state->defaultCapture;
        if (current == id) return;
        current = id;
        clients = state->clients;
    }
    for (auto* client : clients) client->OnDefaultDeviceChanged(flow, id);
}

void FakeAudioSystem::removeDevice(const std::string& id) {
    {
        std::lock_guard lock(state->mutex);
        if (Device* device = state->find(id)) device->present = false;
    }
    state->tellStreams(id, audio::DisconnectReason::DeviceRemoval);
    state->tellClients(id, [](audio::NotificationClient& client, audio::DataFlow flow,
                              const std::string& id) { client.OnDeviceRemoved(flow, id); });
}

void FakeAudioSystem::restoreDevice(const std::string& id) {
    {
        std::lock_guard lock(state->mutex);
        if (Device* device = state->find(id)) device->present = true;
    }
    state->tellClients(id, [](audio::NotificationClient& client, audio::DataFlow flow,
                              const std::string& id) { client.OnDeviceAdded(flow, id); });
}

void FakeAudioSystem::changeFormat(const std::string& id, const audio::MixFormat& format) {
    {
        std::lock_guard lock(state->mutex);
        if (Device* device = state->find(id)) device->format = format;
    }
    state->tellStreams(id, audio::DisconnectReason::FormatChanged);
    state->tellClients(id, [](audio::NotificationClient& client, audio::DataFlow flow,
                              const std::string& id) { client.OnDeviceStateChanged(flow, id); });
}

void FakeAudioSystem::pushPacket(const std::string& id, Packet packet) {
    std::lock_guard lock(state->mutex);
    state->packets[id].push_back(std::move(packet));
    for (FakeStream* stream : state->streams) {
        if (stream->device == id && stream->packetEvent) stream->packetEvent->set();
    }
}

void FakeAudioSystem::pushFrames(const std::string& id, std::uint32_t frames, float value,
                                 std::uint32_t flags) {
    std::uint16_t channels = 2;
    {
        std::lock_guard lock(state->mutex);
        if (Device* device = state->find(id)) channels = device->format.channels;
    }
    Packet packet;
    packet.samples.assign(static_cast<std::size_t>(frames) * channels, value);
    packet.flags = flags;
    pushPacket(id, std::move(packet));
}

void FakeAudioSystem::fail(const std::string& key, Status status, int times) {
    std::lock_guard lock(state->mutex);
    state->failures[key] = {status, times};
}

std::vector<std::string> FakeAudioSystem::calls() {
    std::lock_guard lock(state->mutex);
    return state->calls;
}

int FakeAudioSystem::count(const std::string& call) {
    std::lock_guard lock(state->mutex);
    return static_cast<int>(std::count(state->calls.begin(), state->calls.end(), call));
}

bool FakeAudioSystem::waitForCall(const std::string& call, int times, int timeoutMs) {
    std::unique_lock lock(state->mutex);
    return state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return std::count(state->calls.begin(), state->calls.end(), call) >= times;
    });
}

int FakeAudioSystem::polls() {
    std::lock_guard lock(state->mutex);
    return state->polls;
}

std::uint32_t FakeAudioSystem::renderedFrames() {
    std::lock_guard lock(state->mutex);
    return state->rendered;
}

std::uint32_t FakeAudioSystem::renderedSilentFrames() {
    std::lock_guard lock(state->mutex);
    return state->renderedSilent;
}

int FakeAudioSystem::notificationClients() {
    std::lock_guard lock(state->mutex);
    return static_cast<int>(state->clients.size());
}

Status FakeAudioSystem::CreateDeviceEnumerator(
    std::shared_ptr<audio::DeviceEnumerator>& enumerator) {
    {
        std::lock_guard lock(state->mutex);
        Status status = state->check("CreateDeviceEnumerator");
        if (audio::Failed(status)) return status;
    }
    enumerator = std::make_shared<FakeEnumerator>(state);
    return audio::kOk;
}

}  // namespace quavelink::test
