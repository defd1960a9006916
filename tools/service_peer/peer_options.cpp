#include "tools/service_peer/peer_options.hpp"

#include <cmath>
#include <stdexcept>

using namespace MivoKit;

namespace service_peer {

void PeerOptions::validate() const {
    if (!std::isfinite(pace) || pace < 0 || pace > 100) throw std::invalid_argument("pace must be between 0 and 100");
    if (sampleRate < 8000 || sampleRate > 48000)
        throw std::invalid_argument("the sample rate must be between 8000 and 48000 Hz");
    if (characterIds.empty()) throw std::invalid_argument("at least one character id is needed");
    for (const auto& id : characterIds)
        if (id.empty()) throw std::invalid_argument("a character id may not be empty");
}

} // namespace service_peer
