#include "capture/endpoint_watch.h"

namespace quavelink {

EndpointWatch::EndpointWatch(audio::AudioSystem& system, std::function<void()> onChange)
    : system(system), onChange(std::move(onChange)) {}

EndpointWatch::~EndpointWatch() {
    if (registeredOn) registeredOn->UnregisterEndpointNotificationCallback(this);
}

bool EndpointWatch::renew() {
    std::shared_ptr<audio::DeviceEnumerator> enumerator;
    if (audio::Failed(system.CreateDeviceEnumerator(enumerator))) return false;
    // Off the old registration first: on a live connection both would tell each event.
    if (registeredOn) registeredOn->UnregisterEndpointNotificationCallback(this);
    registeredOn.reset();
    if (audio::Failed(enumerator->RegisterEndpointNotificationCallback(this))) return false;
    registeredOn = std::move(enumerator);
    return true;
}

}  // namespace quavelink
