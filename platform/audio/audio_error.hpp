#pragma once
// The failure of an audio session or engine operation, with the description that the platform (or
// the audio driver, e.g. SDL's error text) gave.

#include <stdexcept>
#include <string>

namespace MivoKit {

namespace platform::audio {

class AudioError : public std::runtime_error {
public:
    explicit AudioError(const std::string& description) : std::runtime_error(description) {}
    std::string localizedDescription() const { return what(); }
};

} // namespace platform::audio

} // namespace MivoKit
