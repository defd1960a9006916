#pragma once
// The "sdl" driver's maker, kept apart so that only sdl_audio_device.cpp includes SDL.
//
// Making the device starts SDL's audio subsystem (the first time; later devices share it) and
// throws AudioError with SDL's text when SDL has no audio driver that runs here (an unknown
// SDL_AUDIODRIVER, say). SIGINT and SIGTERM stay the application's: SDL installs no handlers for
// them unless the application set SDL_HINT_NO_SIGNAL_HANDLERS itself. The playback and capture
// devices are opened by startOutput() and startInput(). The microphone's format is the default
// capture device's preferred rate and channel count where SDL can tell, else 48000 Hz mono (SDL
// converts to whatever the hardware has).
//
// Threads: SDL's own audio threads call the clients' render and capture; one delivery thread per
// device, woken by an atomic notify from those callbacks, calls deliver().

#include "platform/audio/audio_device.hpp"

#include <memory>

namespace MivoKit {

namespace platform::audio {

std::shared_ptr<AudioDevice> makeSdlAudioDevice(const AudioDeviceOptions& options);

} // namespace platform::audio

} // namespace MivoKit
