#include "platform/audio/audio_session.hpp"

namespace MivoKit {

namespace platform::audio {

// ---- scripted backend ----

void ScriptedAudioSessionBackend::failSetCategory(std::string description, int count) {
    std::lock_guard lock(mutex_);
    category_ = {std::move(description), count};
}

void ScriptedAudioSessionBackend::failSetActive(std::string description, int count) {
    std::lock_guard lock(mutex_);
    active_ = {std::move(description), count};
}

void ScriptedAudioSessionBackend::clearFailures() {
    std::lock_guard lock(mutex_);
    category_ = {};
    active_ = {};
}

int ScriptedAudioSessionBackend::setCategoryCalls() const {
    std::lock_guard lock(mutex_);
    return categoryCalls_;
}

int ScriptedAudioSessionBackend::setActiveCalls() const {
    std::lock_guard lock(mutex_);
    return activeCalls_;
}

void ScriptedAudioSessionBackend::setCategory(AudioSessionCategory, AudioSessionMode) {
    std::lock_guard lock(mutex_);
    ++categoryCalls_;
    failIfScripted(category_);
}

void ScriptedAudioSessionBackend::setActive(bool) {
    std::lock_guard lock(mutex_);
    ++activeCalls_;
    failIfScripted(active_);
}

void ScriptedAudioSessionBackend::failIfScripted(Failure& failure) {
    if (failure.remaining == 0) return;
    if (failure.remaining > 0) --failure.remaining;
    throw AudioError(failure.description);
}

// ---- session ----

AudioSession::AudioSession() : backend_(std::make_shared<SystemAudioSessionBackend>()) {}

AudioSession& AudioSession::sharedInstance() {
    // Never destroyed: background threads may still ask for it while the process exits.
    static AudioSession* session = new AudioSession();
    return *session;
}

void AudioSession::setCategory(AudioSessionCategory category, AudioSessionMode mode) {
    std::lock_guard lock(mutex_);
    backend_->setCategory(category, mode);
    category_ = category;
    mode_ = mode;
}

void AudioSession::setActive(bool active) {
    std::lock_guard lock(mutex_);
    backend_->setActive(active);
    active_ = active;
}

AudioSessionCategory AudioSession::category() const {
    std::lock_guard lock(mutex_);
    return category_;
}

AudioSessionMode AudioSession::mode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}

bool AudioSession::isActive() const {
    std::lock_guard lock(mutex_);
    return active_;
}

void AudioSession::setBackend(std::shared_ptr<AudioSessionBackend> backend) {
    std::lock_guard lock(mutex_);
    backend_ = backend ? std::move(backend) : std::make_shared<SystemAudioSessionBackend>();
    category_ = AudioSessionCategory::ambient;
    mode_ = AudioSessionMode::none;
    active_ = false;
}

} // namespace platform::audio

} // namespace MivoKit
