#include "capture/endpoint_list.h"

#include <algorithm>

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

audio::Status EndpointList::enumerateLocked(audio::DeviceEnumerator& enumerator, bool& changed) {
    std::shared_ptr<audio::EndpointCollection> collection;
    audio::Status status = enumerator.EnumAudioEndpoints(collection);
    if (audio::Failed(status)) return status;
    std::uint32_t count = 0;
    status = collection->GetCount(count);
    if (audio::Failed(status)) return status;
    std::vector<bool> seen(listed.size(), false);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::shared_ptr<audio::Endpoint> endpoint;
        if (audio::Failed(collection->Item(i, endpoint)) || !endpoint) continue;
        std::string id = endpoint->GetId();
        audio::DataFlow flow = endpoint->GetDataFlow();
        auto found = std::find_if(listed.begin(), listed.end(), [&](const Listed& entry) {
            return entry.id == id && entry.flow == flow;
        });
        if (found != listed.end()) {
            seen[found - listed.begin()] = true;
            changed = changed || !found->present;
            found->present = true;
            found->endpoint = std::move(endpoint);
        } else if (listed.size() + 1 < static_cast<std::size_t>(kMaxListEntries)) {
            listed.push_back({std::move(endpoint), std::move(id), flow, true, std::nullopt});
            seen.push_back(true);
            changed = true;
        }
    }
    for (std::size_t i = 0; i < listed.size(); ++i) {
        changed = changed || (listed[i].present && !seen[i]);
        listed[i].present = seen[i];
    }
    enumerated = true;
    return audio::kOk;
}

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
        if (!enumerated) {
            bool changed = false;
            status = enumerateLocked(*enumerator, changed);
            if (audio::Failed(status)) {
                if (!quiet) {
                    logLine("Unable to retrieve device collection: %x\n",
                            static_cast<unsigned>(status));
                }
                return status;
            }
        }
        if (index >= 1) {
            if (static_cast<std::size_t>(index - 1) >= listed.size()) {
                if (!quiet) {
                    logLine("Unable to retrieve device %d: %x\n", index - 1,
                            static_cast<unsigned>(audio::kErrorNotFound));
                }
                return audio::kErrorNotFound;
            }
            endpoint = listed[index - 1].endpoint;
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

bool EndpointList::refresh() {
    std::shared_ptr<audio::DeviceEnumerator> enumerator;
    if (audio::Failed(system.CreateDeviceEnumerator(enumerator))) return false;
    std::lock_guard lock(mutex);
    bool changed = false;
    return audio::Succeeded(enumerateLocked(*enumerator, changed)) && changed;
}

bool EndpointList::present(int index) {
    if (index == 0) return true;
    std::lock_guard lock(mutex);
    return index >= 1 && static_cast<std::size_t>(index - 1) < listed.size() &&
           listed[index - 1].present;
}

std::optional<std::string> EndpointList::endpointName(int index) {
    if (index == 0) return std::string("Default multimedia device");
    std::shared_ptr<audio::Endpoint> endpoint;
    {
        std::lock_guard lock(mutex);
        // The list is filled until a name is missing: the probe one past the end is no error.
        if (index < 0 || static_cast<std::size_t>(index - 1) >= listed.size()) return std::nullopt;
        const Listed& entry = listed[index - 1];
        if (!entry.present && entry.lastName) return entry.lastName;
        endpoint = entry.endpoint;
    }
    audio::EndpointProperties properties;
    audio::Status status = endpoint->OpenPropertyStore(properties);
    if (audio::Failed(status)) {
        logLine("Unable to open device %d property store: %x\n", index - 1,
                static_cast<unsigned>(status));
        return std::nullopt;
    }
    std::string name = cutName(properties.friendlyName.value_or("Unknown"));
    std::lock_guard lock(mutex);
    if (static_cast<std::size_t>(index - 1) < listed.size()) listed[index - 1].lastName = name;
    return name;
}

}  // namespace quavelink
