#pragma once
// The per-character producer the player owns: turns each frame of FLAME parameters into that
// frame's posed splats (loading the head models, the point cloud and the character's static data
// on first use) and received 16-bit PCM speech into playable buffers.

#include "kit/head/gs_manager.hpp"
#include "kit/model/character.hpp"
#include "platform/audio/audio_format.hpp"
#include "platform/audio/pcm_buffer.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace MivoKit {

class MvCharacterBufferProvider {
public:
    // Creates the three heads (300 shape and 100 expression parameters each) and the splat
    // binder. Reads nothing.
    MvCharacterBufferProvider(Mivo::AssetPaths assetPaths, platform::audio::AudioFormat audioFormat);

    // The splats of one frame, posed with the head of `flameVersion` (absent: the binder's current
    // version); none when no head exists for it. The first call loads the heads, the point cloud,
    // the static offsets and the shape; a reader error is thrown and the next call loads again.
    std::optional<SplatMemoryBuffer> makeSplatBuffer(const FlameFrameData& frameData,
                                                     std::optional<FlameVersion> flameVersion);

    // 16-bit PCM samples (native byte order) as a buffer of the audio format holding one frame per
    // two bytes per channel, each sample divided by 32767 for a mono float format. Any other
    // format prints "声道数不为1" and gives a silent buffer of that length. Null when no buffer can
    // be made in the format. Safe to call while a splat buffer is being made.
    std::shared_ptr<platform::audio::PCMBuffer> makeAudioBuffer(std::span<const std::uint8_t> data) const;
    std::shared_ptr<platform::audio::PCMBuffer> makeAudioBuffer(std::string_view data) const;

    // The character's files: one offset (x, y, z) per vertex and the shape coefficients; empty
    // when absent or unreadable.
    std::vector<simd::float3> loadStaticOffset() const;
    std::vector<float> loadShape() const;

    const Mivo::AssetPaths& assetPaths() const { return assetPaths_; }
    const platform::audio::AudioFormat& audioFormat() const { return audioFormat_; }
    bool loadedStaticData() const { return loadedStaticData_; }
    GSManager& gsManager() { return gsManager_; }

private:
    Mivo::AssetPaths assetPaths_;
    platform::audio::AudioFormat audioFormat_;
    bool loadedStaticData_ = false;
    GSManager gsManager_;
};

} // namespace MivoKit
