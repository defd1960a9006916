#pragma once
// What the service peer tests share: a peer started in-process with the test's options and trusted
// by the kit, the kit's own drive services connected to it with a recording delegate (main queue),
// and test speech with its loudness per keyframe.

#include "kit/service/mv_character_service.hpp"
#include "tests/kit/service/recorders.hpp"
#include "tools/service_peer/service_peer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace MivoKit;

namespace peertest {

inline constexpr const char* kSessionKey = "test-session-key";
inline constexpr const char* kCharacterId = "synthetic";
inline constexpr int kRate = 16000;

// The test key, the synthetic character id, the given mode and pace (0: no waiting).
service_peer::PeerOptions peerOptions(service_peer::PeerMode mode = service_peer::PeerMode::normal, double pace = 0);

// 16-bit mono PCM bytes of a 180 Hz tone whose amplitude (0..1) is `levels[i]` during segment i.
std::vector<std::uint8_t> toneBytes(const std::vector<double>& levels, double segmentSeconds);

// The root-mean-square level of each 40 ms of the PCM bytes, computed independently of the peer.
std::vector<double> keyframeLevels(const std::vector<std::uint8_t>& pcm);

struct ReplyRecorder : RecordingServiceDelegate {
    std::vector<std::uint8_t> audio() const;    // all audio events joined
    std::vector<FlameFrameData> frames() const; // all keyframes joined
    bool hasResponseEnd() const;
};

class PeerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    service_peer::ServicePeer& start(service_peer::PeerOptions options);
    // A service of type S connected to `url` with `key`, once the connection is open.
    template <class S>
    std::shared_ptr<S> open(const std::string& url, const std::string& key = kSessionKey) {
        auto service = std::make_shared<S>();
        opened_.push_back(service);
        service->delegate = delegate_;
        service->connect(url, key, std::nullopt);
        EXPECT_TRUE(pumpUntil([&] { return service->isConnected(); })) << url;
        return service;
    }
    std::string withId(const std::string& url, const std::string& id = kCharacterId) const { return url + "?id=" + id; }
    // Sends one utterance and waits until it went out.
    void send(MvCharacterService& service, const std::string& reqId, const std::vector<std::uint8_t>& audio);
    bool pumpUntil(const std::function<bool()>& done, double seconds = 30);

    std::unique_ptr<service_peer::ServicePeer> peer_;
    std::vector<std::shared_ptr<MvCharacterService>> opened_; // disconnected when the test ends
    std::shared_ptr<ReplyRecorder> delegate_ = std::make_shared<ReplyRecorder>();
    std::shared_ptr<RecordingSDKDelegate> sdkDelegate_ = std::make_shared<RecordingSDKDelegate>();
};

} // namespace peertest
