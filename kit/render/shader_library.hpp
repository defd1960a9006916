#pragma once
// The kit's GPU shader library: its functions are compiled into the kit and registered by name.

#include "platform/gpu/device.hpp"

#include <memory>
#include <string>

namespace MivoKit {

// The kit's library on `device`.
std::shared_ptr<platform::gpu::Library> makeKitShaderLibrary(platform::gpu::Device& device);

// The library's function `name`; stops the program with
// "Unable to load required shader function: \"<name>\"" when there is none.
std::shared_ptr<platform::gpu::Function> makeRequiredFunction(const platform::gpu::Library& library,
                                                              const std::string& name);

} // namespace MivoKit
