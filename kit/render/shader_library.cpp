#include "kit/render/shader_library.hpp"

#include "kit/render/fatal_error.hpp"
#include "kit/render/shaders/splat_shaders.hpp"
#include "kit/render/shaders/sr_compute_kernels.hpp"
#include "kit/render/shaders/sr_splat_shaders.hpp"
#include "kit/render/shaders/texture_screen_shaders.hpp"

namespace MivoKit {

std::shared_ptr<platform::gpu::Library> makeKitShaderLibrary(platform::gpu::Device& device) {
    platform::gpu::LibrarySource source;
    source.functions = {
        {"splatVertexShader", &shaders::splatVertexShader, shaders::kSplatVaryingCount},
        {"splatFragmentShader", &shaders::splatFragmentShader, 0},
        {"SRSplatVertexShader", &shaders::srSplatVertexShader, shaders::kSRSplatVaryingCount},
        {"SRSplatFragmentShader", &shaders::srSplatFragmentShader, 0},
        {"texture2ScreenVertexShader", &shaders::texture2ScreenVertexShader, shaders::kTextureScreenVaryingCount},
        {"texture2ScreenFragmentShader", &shaders::texture2ScreenFragmentShader, 0},
        {"compositeTextures", &shaders::compositeTextures, 0},
        {"computeSRMultiChannel", &shaders::computeSRMultiChannel, 0},
    };
    source.fusedDraws = {
        {"splatVertexShader", "splatFragmentShader", shaders::makeSplatFusedDraw()},
        {"SRSplatVertexShader", "SRSplatFragmentShader", shaders::makeSRSplatFusedDraw()},
        {"texture2ScreenVertexShader", "texture2ScreenFragmentShader", shaders::makeTextureScreenFusedDraw()},
    };
    return device.makeLibrary(std::move(source));
}

std::shared_ptr<platform::gpu::Function> makeRequiredFunction(const platform::gpu::Library& library,
                                                              const std::string& name) {
    auto function = library.makeFunction(name);
    if (!function) fatalError("Unable to load required shader function: \"" + name + "\"");
    return function;
}

} // namespace MivoKit
