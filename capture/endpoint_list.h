#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/audio/audio_system.h"

namespace quavelink {

//! The endpoint list of the main window and the server thread: index 0 is "Default multimedia
//! device" (the default render endpoint at the moment of opening, captured through its monitor
//! and followed across default changes); index n >= 1 is entry n - 1 of the collection, made
//! once on first use and kept (devices that appear later are not listed).
//! Any thread; the window lists before the server thread starts.
class EndpointList {
  public:
    explicit EndpointList(audio::AudioSystem& system);

    //! Creates the collection if needed and returns the endpoint for `index` in `device` (when
    //! not null); `isDefault` (when not null) tells whether it is the default device (index 0).
    //! Returns 0 or the audio system's error, having printed its line (unless `quiet`: a look
    //! repeated while the sound server or the device is away says nothing).
    audio::Status findEndpoint(int index, std::shared_ptr<audio::Endpoint>* device = nullptr,
                               bool* isDefault = nullptr, bool quiet = false);

    //! The list text of `index`: "Default multimedia device" for 0, the friendly name (cut to
    //! 255 characters, "Unknown" when it cannot be read as text) for n >= 1; nothing past the
    //! end of the collection, before it exists, or when the device cannot be read.
    std::optional<std::string> endpointName(int index);

    //! The largest number of list entries the window shows.
    static constexpr int kMaxListEntries = 50;

    audio::AudioSystem& audioSystem() { return system; }

  private:
    audio::AudioSystem& system;
    std::mutex mutex;
    std::shared_ptr<audio::EndpointCollection> endpointCollection;
};

}  // namespace quavelink
