#pragma once

#include <functional>
#include <memory>

#include "platform/audio/audio_system.h"

namespace quavelink {

//! Tells its owner when devices come, go or change: a registration for the audio system's
//! device notifications, renewed on every `renew` so that it lives on a sound server that was
//! restarted, or came up late. Main thread, except `onChange`.
class EndpointWatch : private audio::NotificationClient {
  public:
    //! `onChange` runs on the audio system's thread, at once for each event: it must return
    //! quickly and must not call into the audio system.
    EndpointWatch(audio::AudioSystem& system, std::function<void()> onChange);
    ~EndpointWatch() override;
    EndpointWatch(const EndpointWatch&) = delete;
    EndpointWatch& operator=(const EndpointWatch&) = delete;

    //! Registers on the sound server as it is now (the one before may be gone); harmless while
    //! there is none. False when no registration could be made.
    bool renew();

  private:
    void OnDefaultDeviceChanged(audio::DataFlow, std::string_view) override {}
    void OnDeviceAdded(audio::DataFlow, std::string_view) override { onChange(); }
    void OnDeviceRemoved(audio::DataFlow, std::string_view) override { onChange(); }
    void OnDeviceStateChanged(audio::DataFlow, std::string_view) override { onChange(); }

    audio::AudioSystem& system;
    std::function<void()> onChange;
    std::shared_ptr<audio::DeviceEnumerator> registeredOn;
};

}  // namespace quavelink
