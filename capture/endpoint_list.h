#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/audio_system.h"

namespace quavelink {

//! The endpoint list of the main window and the server thread: index 0 is "Default multimedia
//! device" (the default render endpoint at the moment of opening, captured through its monitor
//! and followed across default changes); index n >= 1 is the n-th device listed, in the order of
//! the collection made on first use, then in the order refresh found more. An index keeps its
//! device for the list's life, since the server thread may hold it: a device that went away
//! stays listed (absent, and failing to open as an unplugged one does) and takes its index back
//! when it returns. Any thread.
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

    //! Enumerates the devices again: new ones are appended, gone ones marked absent, returned
    //! ones present again. Whether any of that changed the list; false when the audio system
    //! cannot be asked (the list stays as it was).
    bool refresh();
    //! Whether the device at `index` is there now (index 0 always is; past the end is not).
    bool present(int index);

    //! The largest number of list entries the window shows.
    static constexpr int kMaxListEntries = 50;

    audio::AudioSystem& audioSystem() { return system; }

  private:
    struct Listed {
        std::shared_ptr<audio::Endpoint> endpoint;
        std::string id;
        audio::DataFlow flow = audio::DataFlow::Render;
        bool present = true;
        std::optional<std::string> lastName;  // as read last, for while it is absent
    };

    //! Under `mutex`: merges the collection `enumerator` gives into `listed`.
    audio::Status enumerateLocked(audio::DeviceEnumerator& enumerator, bool& changed);

    audio::AudioSystem& system;
    std::mutex mutex;
    bool enumerated = false;
    std::vector<Listed> listed;
};

}  // namespace quavelink
