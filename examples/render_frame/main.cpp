// Loads a character from the application's Documents directory, poses the first frame of its idle
// animation and draws it from the character's own camera, as the kit's view would, into a 690x798
// image written as a binary PPM file.
//
//   render_frame <Documents directory> <output.ppm> [character name, default "synthetic"]

#include "kit/head/mv_character_buffer_provider.hpp"
#include "kit/model/camera_math.hpp"
#include "kit/model/character.hpp"
#include "kit/model/transform.hpp"
#include "kit/render/splat_renderer.hpp"
#include "platform/files/directories.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

namespace gpu = MivoKit::platform::gpu;

namespace {

constexpr std::uint32_t width = 690, height = 798;

MivoKit::ViewportDescriptor viewFrom(const MivoKit::Mivo::CameraSettings& camera) {
    const auto transform = MivoKit::Mivo::Transform().transform(camera.rotation, camera.fovyRadians, camera.translationX,
                                                                camera.translationY, camera.translationZ);
    MivoKit::ViewportDescriptor view;
    view.viewport = {0, 0, double(width), double(height), 0, 1};
    view.projectionMatrix = MivoKit::perspectiveMatrix(transform.fovyRadians, float(width) / float(height), 0.01f, 100.0f);
    view.viewMatrix = MivoKit::simd::inverse(transform.translation) * MivoKit::simd::inverse(transform.rotation);
    view.screenSize = {width, height};
    return view;
}

bool writePPM(const std::string& path, const std::vector<std::uint8_t>& bgra) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << width << ' ' << height << "\n255\n";
    for (std::size_t i = 0; i < bgra.size(); i += 4) {
        const char rgb[3] = {char(bgra[i + 2]), char(bgra[i + 1]), char(bgra[i])};
        out.write(rgb, 3);
    }
    return bool(out.flush());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: render_frame <Documents directory> <output.ppm> [character name]\n";
        return 2;
    }
    const std::string name = argc > 3 ? argv[3] : "synthetic";
    std::cout << "resources: " << MivoKit::platform::files::resourceDirectory().string() << '\n';

    MivoKit::platform::files::setDocumentsDirectory(std::filesystem::path(argv[1]));
    auto character = MivoKit::Mivo::Character::createCharacter(name);
    if (!character || !character->idleAnimation()) {
        std::cerr << "no character \"" << name << "\" with an idle animation under " << argv[1] << "/MvCharacters\n";
        return 1;
    }
    const auto version = MivoKit::fromRaw<MivoKit::FlameVersion>(character->configuration().flameVersion)
                             .value_or(MivoKit::FlameVersion::V_2023);
    MivoKit::MvCharacterBufferProvider provider(character->assetPaths(),
                                                MivoKit::platform::audio::AudioFormat::standard(16000, 1));
    const auto frame = character->idleAnimation()->nextFrame();
    const auto splats = frame ? provider.makeSplatBuffer(*frame, version) : std::nullopt;
    if (!splats) {
        std::cerr << "the character could not be posed (see the log above)\n";
        return 1;
    }

    auto device = gpu::createSystemDefaultDevice();
    auto queue = device->makeCommandQueue();
    MivoKit::SplatRenderer renderer(device, MivoKit::ColorFormat::RGB, gpu::PixelFormat::invalid,
                                    gpu::PixelFormat::invalid, 1, 1, 1);
    renderer.update(*splats);
    auto target = device->makeTexture({gpu::PixelFormat::bgra8Unorm, width, height, 1, gpu::TextureUsage::renderTarget});
    auto commands = renderer.render({viewFrom(character->camera())}, target, gpu::StoreAction::store, nullptr, nullptr,
                                    nullptr, 0, queue->makeCommandBuffer(), queue);
    commands->commit();
    commands->waitUntilCompleted();

    std::vector<std::uint8_t> bgra(std::size_t(width) * height * 4);
    target->getBytes(bgra.data(), width * 4, {0, 0, width, height});
    if (!writePPM(argv[2], bgra)) {
        std::cerr << "could not write " << argv[2] << '\n';
        return 1;
    }
    std::cout << renderer.splatCount() << " splats drawn into " << argv[2] << '\n';
    return 0;
}
