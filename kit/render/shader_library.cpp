#include "kit/render/shader_library.hpp"

#include "kit/render/fatal_error.hpp"
#include "kit/render/shaders/splat_shaders.hpp"

std::shared_ptr<platform::gpu::Library> makeKitShaderLibrary(platform::gpu::Device& device) {
    platform::gpu::LibrarySource source;
    source.functions = {
        {"splatVertexShader", &shaders::splatVertexShader, shaders::kSplatVaryingCount},
        {"splatFragmentShader", &shaders::splatFragmentShader, 0},
    };
    source.fusedDraws = {{"splatVertexShader", "splatFragmentShader", shaders::makeSplatFusedDraw()}};
    return device.makeLibrary(std::move(source));
}

std::shared_ptr<platform::gpu::Function> makeRequiredFunction(const platform::gpu::Library& library,
                                                              const std::string& name) {
    auto function = library.makeFunction(name);
    if (!function) fatalError("Unable to load required shader function: \"" + name + "\"");
    return function;
}
