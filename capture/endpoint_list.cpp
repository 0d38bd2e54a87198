#include "capture/endpoint_list.h"

#include "platform/log.h"

namespace quavelink {
namespace {

// The largest name a list entry holds; longer names are cut at a character boundary.
constexpr std::size_t kMaxNameBytes = 255;

std::string cutName(std::string name) {
    if (name.size() <= kMaxNameBytes) return name;
    std::size_t end = kMaxNameBytes;
    // Never leave half of a UTF-8 sequence at the end.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    name.resize(end);
    return name;
}

}  // namespace

EndpointList::EndpointList(audio::AudioSystem& system) : system(system) {}

audio::Status EndpointList::findEndpoint(int index, std::shared_ptr<audio::Endpoint>* device,
                                         bool* isDefault, bool quiet) {
    if (isDefault) *isDefault = false;
    std::shared_ptr<audio::DeviceEnumerator> enumerator;
    audio::Status status = system.CreateDeviceEnumerator(enumerator);
    if (audio::Failed(status)) {
        if (!quiet) {
            logLine("Unable to instantiate device enumerator: %x\n", static_cast<unsigned>(status));
        }
        return status;
    }
    std::shared_ptr<audio::Endpoint> endpoint;
    {
        std::lock_guard lock(mutex);
        if (!endpointCollection) {
            status = enumerator->EnumAudioEndpoints(endpointCollection);
            if (audio::Failed(status)) {
                endpointCollection.reset();
                if (!quiet) {
                    logLine("Unable to retrieve device collection: %x\n",
                            static_cast<unsigned>(status));
                }
                return status;
            }
        }
        if (index >= 1) {
            status = endpointCollection->Item(static_cast<std::uint32_t>(index - 1), endpoint);
            if (audio::Failed(status)) {
                if (!quiet) {
                    logLine("Unable to retrieve device %d: %x\n", index - 1,
                            static_cast<unsigned>(status));
                }
                return status;
            }
        }
    }
    if (index <= 0) {
        status = enumerator->GetDefaultAudioEndpoint(audio::DataFlow::Render, endpoint);
        if (audio::Failed(status)) {
            if (!quiet) {
                logLine("Unable to get default device for role %d: %x\n", 1,
                        static_cast<unsigned>(status));
            }
            return status;
        }
        if (isDefault) *isDefault = true;
    }
    if (device) *device = std::move(endpoint);
    return audio::kOk;
}

std::optional<std::string> EndpointList::endpointName(int index) {
    if (index == 0) return std::string("Default multimedia device");
    std::shared_ptr<audio::EndpointCollection> collection;
    {
        std::lock_guard lock(mutex);
        collection = endpointCollection;
    }
    if (!collection || index < 0) return std::nullopt;
    // The list is filled until a name is missing: the probe one past the end is no error.
    std::uint32_t count = 0;
    if (audio::Succeeded(collection->GetCount(count)) &&
        static_cast<std::uint32_t>(index - 1) >= count) {
        return std::nullopt;
    }
    std::shared_ptr<audio::Endpoint> endpoint;
    audio::Status status = collection->Item(static_cast<std::uint32_t>(index - 1), endpoint);
    if (audio::Failed(status)) {
        logLine("Unable to get device %d: %x\n", index - 1, static_cast<unsigned>(status));
        return std::nullopt;
    }
    audio::EndpointProperties properties;
    status = endpoint->OpenPropertyStore(properties);
    if (audio::Failed(status)) {
        logLine("Unable to open device %d property store: %x\n", index - 1,
                static_cast<unsigned>(status));
        return std::nullopt;
    }
    return cutName(properties.friendlyName.value_or("Unknown"));
}

}  // namespace quavelink
