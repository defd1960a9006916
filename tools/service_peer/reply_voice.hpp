#pragma once
// The reply speech used when no WAV file is given: a voice-like signal, a pitched tone with
// harmonics gliding between about 120 and 220 Hz, shaped into ten syllables of varying loudness
// (four a second) with short pauses between them, 2.5 seconds in all. Its loudness rises and falls
// with every syllable, so a jaw that follows it opens and closes visibly. Runs on the calling thread.

#include "tools/service_peer/pcm_audio.hpp"

namespace service_peer {

PcmAudio makeReplyVoice(int sampleRate);

} // namespace service_peer
