#include "tests/tools/service_peer/peer_session.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/net/trust_store.hpp"
#include "tests/support/ends_idle.hpp"

#include <cmath>
#include <numbers>

using namespace MivoKit;

using service_peer::PeerOptions;
using Event = MvCharacterServiceEvent;

namespace peertest {

PeerOptions peerOptions(service_peer::PeerMode mode, double pace) {
    PeerOptions options;
    options.sessionKey = kSessionKey;
    options.characterIds = {kCharacterId};
    options.mode = mode;
    options.pace = pace;
    options.sampleRate = kRate;
    return options;
}

std::vector<std::uint8_t> toneBytes(const std::vector<double>& levels, double segmentSeconds) {
    const auto perSegment = static_cast<std::size_t>(segmentSeconds * kRate);
    service_peer::PcmAudio tone{kRate, std::vector<std::int16_t>(levels.size() * perSegment)};
    for (std::size_t i = 0; i < tone.samples.size(); ++i)
        tone.samples[i] = static_cast<std::int16_t>(
            std::lround(levels[i / perSegment] * 30000 * std::sin(2 * std::numbers::pi * 180 * i / kRate)));
    return tone.bytes(0, tone.samples.size());
}

std::vector<double> keyframeLevels(const std::vector<std::uint8_t>& pcm) {
    const auto samples = service_peer::PcmAudio::fromBytes(pcm, kRate).samples;
    std::vector<double> levels;
    for (std::size_t first = 0; first < samples.size(); first += kRate / 25) {
        const std::size_t last = std::min<std::size_t>(first + kRate / 25, samples.size());
        double sum = 0;
        for (std::size_t i = first; i < last; ++i) sum += double(samples[i]) * samples[i];
        levels.push_back(std::sqrt(sum / double(last - first)));
    }
    return levels;
}

std::vector<std::uint8_t> ReplyRecorder::audio() const {
    std::vector<std::uint8_t> all;
    for (const auto& piece : eventsOf<Event::AudioData>()) all.insert(all.end(), piece.data.begin(), piece.data.end());
    return all;
}

std::vector<FlameFrameData> ReplyRecorder::frames() const {
    std::vector<FlameFrameData> all;
    for (const auto& piece : eventsOf<Event::AnimationFrames>())
        all.insert(all.end(), piece.frames.begin(), piece.frames.end());
    return all;
}

bool ReplyRecorder::hasResponseEnd() const { return !eventsOf<Event::ResponseEnd>().empty(); }

void PeerTest::SetUp() {
    MivoSDK::shared().resetToInitialValues();
    MivoSDK::shared().setup(kSessionKey, MivoSDK::Configuration(MivoSDK::DowngradePlan::none, std::nullopt, ""),
                            std::nullopt, sdkDelegate_);
}

void PeerTest::TearDown() {
    for (const auto& service : opened_) service->disconnect();
    EXPECT_TRUE(testsupport::finishWork());
    peer_.reset();
    platform::net::clearTrustedCertificates();
    MivoSDK::shared().resetToInitialValues();
}

service_peer::ServicePeer& PeerTest::start(PeerOptions options) {
    peer_ = std::make_unique<service_peer::ServicePeer>(std::move(options));
    platform::net::addTrustedCertificate(peer_->certificatePem());
    return *peer_;
}

void PeerTest::send(MvCharacterService& service, const std::string& reqId, const std::vector<std::uint8_t>& audio) {
    std::optional<bool> sent;
    service.sendAudio(reqId, audio, [&](bool ok) { sent = ok; });
    ASSERT_TRUE(pumpUntil([&] { return sent.has_value(); }));
    ASSERT_TRUE(*sent);
}

bool PeerTest::pumpUntil(const std::function<bool()>& done, double seconds) {
    return platform::dispatch::pumpMainUntil(done, platform::dispatch::Seconds(seconds));
}

} // namespace peertest
