#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <functional>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "capture/channel_selection.h"
#include "capture/endpoint_list.h"
#include "platform/audio/audio_backend.h"
#include "platform/hand_off.h"
#include "platform/message_box.h"
#include "platform/mixer/pulse_mixer_system.h"

namespace quavelink::test {

//! What the main window works on, over the PulseAudio server of the environment, as the
//! program builds it: the mixer's work is posted to the Qt event loop. Make it once the server
//! runs.
struct PulseWindowParts {
    PulseWindowParts()
        : audioSystem(audio::CreateAudioSystem(chooseSoundServerApi())),
          endpoints(std::make_unique<EndpointList>(*audioSystem)),
          mixerSystem(CreatePulseMixerSystem([](std::function<void()> work) {
              QMetaObject::invokeMethod(qApp, HandOff(std::move(work)), Qt::QueuedConnection);
          })) {}

    //! A window setup over these parts that shows its boxes on `boxes`, starts `workers`, says
    //! its address is 127.0.0.1 and never ends the process.
    MainWindowSetup setup(MessageBoxHost& boxes, WindowWorkers& workers) {
        MainWindowSetup made;
        made.endpoints = endpoints.get();
        made.channels = &channels;
        made.boxes = &boxes;
        made.workers = &workers;
        made.mixers = mixerSystem.get();
        made.localAddressText = [] { return std::string(" 127.0.0.1"); };
        made.exitProcess = [](int) {};
        return made;
    }

    std::unique_ptr<audio::AudioSystem> audioSystem;
    std::unique_ptr<EndpointList> endpoints;
    std::unique_ptr<MixerSystem> mixerSystem;
    ChannelSelection channels;
};

}  // namespace quavelink::test
