#pragma once
// The failure of a machine-learning operation, with the description the runtime gave (OpenCV's
// message for a model that cannot be read, say).

#include <stdexcept>
#include <string>

namespace MivoKit {

namespace platform::ml {

class MLError : public std::runtime_error {
public:
    explicit MLError(const std::string& description) : std::runtime_error(description) {}
    std::string localizedDescription() const { return what(); }
};

} // namespace platform::ml

} // namespace MivoKit
