#include "kit/head/mv_character_buffer_provider.hpp"

#include "kit/model/free_heap_pages.hpp"
#include "kit/model/json_values.hpp"
#include "platform/log/log.hpp"

#include <cstring>

namespace MivoKit {

using json_values::arrayView;
using json_values::element;
using json_values::lenientNumber;

namespace {

constexpr std::ptrdiff_t kShapeParams = 300;
constexpr std::ptrdiff_t kExprParams = 100;

GSManager::HeadMap makeHeads() {
    GSManager::HeadMap heads;
    for (auto version : {FlameVersion::Mix, FlameVersion::V_2023, FlameVersion::V_2020})
        heads[version] = std::make_shared<FlameHead>(kShapeParams, kExprParams, version);
    return heads;
}

float number(const nlohmann::json& value) { return static_cast<float>(lenientNumber(value)); }

} // namespace

MvCharacterBufferProvider::MvCharacterBufferProvider(Mivo::AssetPaths assetPaths, platform::audio::AudioFormat audioFormat)
    : assetPaths_(std::move(assetPaths)), audioFormat_(audioFormat),
      gsManager_(assetPaths_.pointCloudModelUrl, makeHeads()) {}

std::optional<SplatMemoryBuffer> MvCharacterBufferProvider::makeSplatBuffer(const FlameFrameData& frameData,
                                                                            std::optional<FlameVersion> flameVersion) {
    const bool loading = !loadedStaticData_;
    if (loading) {
        gsManager_.start();
        // Offsets before shape, as the files are read.
        auto staticOffset = loadStaticOffset();
        auto shape = loadShape();
        gsManager_.loadFlameStaticData(std::move(staticOffset), std::move(shape), std::nullopt);
        loadedStaticData_ = true;
    }
    SplatMemoryBuffer buffer;
    const bool made = gsManager_.computeFrame(frameData, flameVersion, buffer);
    // The first frame ends the load: its temporaries are freed by now.
    if (loading) returnFreeHeapPages();
    if (!made) return std::nullopt;
    return buffer;
}

std::vector<simd::float3> MvCharacterBufferProvider::loadStaticOffset() const {
    if (!assetPaths_.staticOffsetJsonUrl) return {};
    const auto document = readJSONFile(*assetPaths_.staticOffsetJsonUrl);
    if (!document || !document->is_array()) return {};
    std::vector<simd::float3> offsets;
    offsets.reserve(document->size());
    for (const auto& row : *document)
        offsets.push_back({number(element(row, 0)), number(element(row, 1)), number(element(row, 2))});
    return offsets;
}

std::vector<float> MvCharacterBufferProvider::loadShape() const {
    if (!assetPaths_.shapeJsonUrl) return {};
    const auto document = readJSONFile(*assetPaths_.shapeJsonUrl);
    if (!document || !document->is_array()) return {};
    std::vector<float> shape;
    shape.reserve(document->size());
    for (const auto& value : *document) shape.push_back(number(value));
    return shape;
}

std::shared_ptr<platform::audio::PCMBuffer> MvCharacterBufferProvider::makeAudioBuffer(std::string_view data) const {
    return makeAudioBuffer(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

std::shared_ptr<platform::audio::PCMBuffer> MvCharacterBufferProvider::makeAudioBuffer(std::span<const std::uint8_t> data) const {
    // A format without channels has no frames to count (and no buffer can be made in it).
    const std::uint32_t channels = audioFormat_.channelCount();
    if (channels == 0) return nullptr;
    const std::uint32_t frames = std::uint32_t(data.size() / (2 * std::size_t(channels)));
    auto buffer = platform::audio::PCMBuffer::make(audioFormat_, frames);
    if (buffer) buffer->setFrameLength(frames);
    float* samples = buffer ? buffer->floatChannelData(0) : nullptr;
    if (channels != 1 || !samples) {
        platform::log::print("声道数不为1");
        return buffer; // silent: buffers start zeroed
    }
    for (std::uint32_t i = 0; i < frames; ++i) {
        std::int16_t sample;
        std::memcpy(&sample, data.data() + 2 * std::size_t(i), sizeof sample);
        samples[i] = float(sample) / 32767.0f;
    }
    return buffer;
}

} // namespace MivoKit
