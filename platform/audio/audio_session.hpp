#pragma once
// Stand-in for the platform's shared audio session: the category (record or playback), the mode
// (spokenAudio or none) and activation. On Linux there is nothing to negotiate: the real backend
// records what it was told and always succeeds. Tests install a ScriptedAudioSessionBackend that
// fails chosen calls with a description text.
//
// Any thread; calls are serialised.

#include "platform/audio/audio_error.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace MivoKit {

namespace platform::audio {

enum class AudioSessionCategory { ambient, playback, record, playAndRecord };
enum class AudioSessionMode { none, spokenAudio };

// What a session does with each call; throws AudioError to refuse.
class AudioSessionBackend {
public:
    virtual ~AudioSessionBackend() = default;
    virtual void setCategory(AudioSessionCategory category, AudioSessionMode mode) = 0;
    virtual void setActive(bool active) = 0;
};

// Accepts everything.
class SystemAudioSessionBackend : public AudioSessionBackend {
public:
    void setCategory(AudioSessionCategory, AudioSessionMode) override {}
    void setActive(bool) override {}
};

// Fails the next calls it was told to fail, with the given description; accepts everything else.
class ScriptedAudioSessionBackend : public AudioSessionBackend {
public:
    // The next `count` calls of each kind fail (count < 0: every call fails until cleared).
    void failSetCategory(std::string description, int count = 1);
    void failSetActive(std::string description, int count = 1);
    void clearFailures();

    int setCategoryCalls() const;
    int setActiveCalls() const;

    void setCategory(AudioSessionCategory category, AudioSessionMode mode) override;
    void setActive(bool active) override;

private:
    struct Failure {
        std::string description;
        int remaining = 0;
    };
    static void failIfScripted(Failure& failure);

    mutable std::mutex mutex_;
    Failure category_, active_;
    int categoryCalls_ = 0, activeCalls_ = 0;
};

class AudioSession {
public:
    // The process's session.
    static AudioSession& sharedInstance();

    // Throws AudioError when the backend refuses; the stored values then stay as they were.
    void setCategory(AudioSessionCategory category, AudioSessionMode mode = AudioSessionMode::none);
    void setActive(bool active);

    AudioSessionCategory category() const;
    AudioSessionMode mode() const;
    bool isActive() const;

    // Replaces the backend (null: the system one) and puts the session back to its first state
    // (ambient, no mode, inactive).
    void setBackend(std::shared_ptr<AudioSessionBackend> backend);

private:
    AudioSession();

    mutable std::mutex mutex_;
    std::shared_ptr<AudioSessionBackend> backend_;
    AudioSessionCategory category_ = AudioSessionCategory::ambient;
    AudioSessionMode mode_ = AudioSessionMode::none;
    bool active_ = false;
};

} // namespace platform::audio

} // namespace MivoKit
