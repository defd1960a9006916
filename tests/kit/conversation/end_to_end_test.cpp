// The whole road, headless: the loader fetches the character from the local peer over HTTPS, the
// manager holds an audiovisual conversation with it over a TLS WebSocket, the player plays the reply
// on the virtual device, and the direct renderer draws the frames the player publishes.

#include "tests/kit/conversation/manager_fixture.hpp"

#include "kit/loader/mv_character_loader.hpp"
#include "kit/model/camera_math.hpp"
#include "kit/model/mivo_sdk.hpp"
#include "kit/render/splat_renderer.hpp"
#include "platform/files/directories.hpp"
#include "tests/support/temp_dir.hpp"

using namespace MivoKit;

using namespace conversationtest;
using namespace std::chrono_literals;

namespace {

// Draws a player's frames as its view would: the frame transform as camera, the kit's perspective.
class HeadlessView {
public:
    HeadlessView(std::uint32_t width, std::uint32_t height)
        : device_(platform::gpu::createSystemDefaultDevice()), queue_(device_->makeCommandQueue()),
          renderer_(device_, ColorFormat::RGB, platform::gpu::PixelFormat::depth32Float, platform::gpu::PixelFormat::invalid, 1, 1, 3),
          color_(device_->makeTexture({platform::gpu::PixelFormat::bgra8Unorm, width, height, 1,
                                       platform::gpu::TextureUsage::renderTarget | platform::gpu::TextureUsage::shaderRead})),
          depth_(device_->makeTexture({platform::gpu::PixelFormat::depth32Float, width, height, 1,
                                       platform::gpu::TextureUsage::renderTarget})),
          width_(width), height_(height) {}

    std::vector<std::uint8_t> draw(MvCharacterDataProvider& provider) {
        const auto& frame = provider.currentVideoFrame();
        const auto& transform = provider.frameTransform();
        if (!frame || !transform) return {};
        renderer_.update(frame->buffer());
        ViewportDescriptor view;
        view.viewport = {0, 0, double(width_), double(height_), 0, 1};
        view.projectionMatrix = perspectiveMatrix(transform->fovyRadians, float(width_) / float(height_), 0.01f, 100.0f);
        view.viewMatrix = simd::inverse(transform->translation) * simd::inverse(transform->rotation);
        view.screenSize = {width_, height_};
        auto commandBuffer = renderer_.render({view}, color_, platform::gpu::StoreAction::store, depth_, nullptr,
                                              nullptr, 0, queue_->makeCommandBuffer(), queue_);
        commandBuffer->commit();
        commandBuffer->waitUntilCompleted();
        std::vector<std::uint8_t> pixels(std::size_t(width_) * height_ * 4);
        color_->getBytes(pixels.data(), width_ * 4, {0, 0, width_, height_});
        return pixels;
    }

private:
    std::shared_ptr<platform::gpu::Device> device_;
    std::shared_ptr<platform::gpu::CommandQueue> queue_;
    SplatRenderer renderer_;
    std::shared_ptr<platform::gpu::Texture> color_, depth_;
    std::uint32_t width_, height_;
};

std::size_t differingPixels(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    std::size_t n = 0;
    for (std::size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4)
        n += a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2];
    return n;
}

} // namespace

TEST_F(ManagerTest, EndToEndTheLoadedCharacterAnswersAndItsFramesFollowTheReply) {
    startPeer();
    testsupport::TempDir documents;
    platform::files::setDocumentsDirectory(documents.path());
    std::optional<Mivo::Character> loaded = MvCharacterLoader::shared().loadCharacter("synthetic", {}).get();
    platform::files::setDocumentsDirectory(std::nullopt);
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(std::filesystem::exists(documents.path() / "MvCharacters" / "synthetic" / "model" / "point_cloud.ply"));
    character = *loaded;
    ASSERT_FALSE(character.idleAnimation()->frames.empty());

    auto manager = makeManager(Mivo::DriveServiceType::audiovisual);
    connect(manager);
    HeadlessView view(96, 111);
    time.advance(100ms);
    const auto idleImage = view.draw(*manager->characterPlayer());
    ASSERT_FALSE(idleImage.empty());

    manager->sendAudioData(speech(0.5));
    ASSERT_TRUE(waitFor([&] { return !manager->currentConversationId(); }));
    const auto& received = managerEvents->receivedFrames;
    const auto outputStart = device->renderedSamples().size();

    // Step the clock frame by frame, drawing what the player shows, as a view would.
    std::vector<int> shownKeyframes;
    std::size_t changedImages = 0;
    auto previous = idleImage;
    for (int step = 0; step < 400 && manager->playerState() == Mivo::PlayerState::playing; ++step) {
        time.advance(40ms);
        const auto image = view.draw(*manager->characterPlayer());
        changedImages += differingPixels(previous, image) > 0;
        previous = image;
        const auto& shown = manager->characterPlayer()->currentVideoFrame()->flameFrameData();
        for (std::size_t k = 0; k < received.size(); ++k)
            if (received[k].jaw_pose == shown.jaw_pose && received[k].expr == shown.expr) {
                shownKeyframes.push_back(int(k));
                break;
            }
    }
    ASSERT_EQ(manager->playerState(), Mivo::PlayerState::idle);
    // The reply was played whole and in order.
    const auto& reply = peer->replyAudio();
    const auto expected = expectedSamples(reply.bytes(0, reply.samples.size()));
    const auto played = device->renderedSamples();
    ASSERT_GE(played.size(), outputStart + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()));
    // The keyframes were shown in order, following the audio through to its end, and the head moved.
    ASSERT_GE(shownKeyframes.size(), std::size_t(reply.seconds() * 25 * 0.8));
    EXPECT_TRUE(std::is_sorted(shownKeyframes.begin(), shownKeyframes.end()));
    EXPECT_GE(shownKeyframes.back(), int(reply.seconds() * 25) - 2);
    EXPECT_GT(changedImages, shownKeyframes.size() / 2);
    finish(manager);
}
