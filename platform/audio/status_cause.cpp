#include "platform/audio/audio_system.h"

namespace quavelink::audio {

const char* statusCause(Status status) {
    switch (status) {
        case kOk:
            return "no error";
        case kErrorOutOfMemory:
            return "out of memory";
        case kErrorNotFound:
            return "not found";
        case kErrorNotInitialized:
            return "the stream is not open";
        case kErrorAlreadyInitialized:
            return "the stream is already open";
        case kErrorWrongEndpointType:
            return "the device cannot be used that way";
        case kErrorDeviceInvalidated:
            return "the device is gone";
        case kErrorUnsupportedFormat:
            return "the sample format is not supported";
        case kErrorServiceNotRunning:
            return "the sound server cannot be reached";
        case kErrorEventHandleNotExpected:
            return "the stream was not opened to signal its packets";
        case kErrorBufferTooLarge:
            return "more than the buffer holds";
        default:
            break;
    }
    const std::uint32_t facility = static_cast<std::uint32_t>(status) & 0xFFFF0000u;
    if (facility == kPulseErrorFacility || facility == kPipeWireErrorFacility) {
        return "the sound server refused";
    }
    return Succeeded(status) ? "no error" : "failed";
}

}  // namespace quavelink::audio
