#pragma once
// The FLAME model files decoded during one loading pass: each file is read and decoded at most
// once however many heads need it (the mixed head reads both).

#include "kit/head/flame_model_file.hpp"

#include <exception>
#include <map>
#include <string>
#include <variant>

namespace MivoKit {

class FlameModelFiles {
public:
    // The decoded file; throws its FlameModelError again on every request once it failed.
    std::shared_ptr<const FlameData> get(const std::string& resourceName);
    // Forgets the file (a decoded file is large); a later get() reads it again.
    void release(const std::string& resourceName) { files_.erase(resourceName); }

private:
    std::map<std::string, std::variant<std::shared_ptr<const FlameData>, std::exception_ptr>> files_;
};

} // namespace MivoKit
