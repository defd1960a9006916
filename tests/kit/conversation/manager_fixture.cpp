#include "tests/kit/conversation/manager_fixture.hpp"

#include "kit/model/mivo_sdk.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/net/trust_store.hpp"

using namespace MivoKit;

namespace conversationtest {

namespace {

const char* name(Mivo::ConnectionState s) {
    switch (s) {
    case Mivo::ConnectionState::disconnected: return "disconnected";
    case Mivo::ConnectionState::connecting: return "connecting";
    case Mivo::ConnectionState::connected: return "connected";
    case Mivo::ConnectionState::failed: return "failed";
    }
    return "?";
}

const char* name(Mivo::ConversationState s) {
    switch (s) {
    case Mivo::ConversationState::idle: return "idle";
    case Mivo::ConversationState::starting: return "starting";
    case Mivo::ConversationState::active: return "active";
    case Mivo::ConversationState::closing: return "closing";
    }
    return "?";
}

} // namespace

std::vector<std::string> ManagerEvents::named(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& n : notices)
        if (n.starts_with(prefix)) out.push_back(n);
    return out;
}

bool ManagerEvents::has(const std::string& notice) const {
    return std::find(notices.begin(), notices.end(), notice) != notices.end();
}

void ManagerEvents::characterManager(MvCharacterManager&, Mivo::ConnectionState state) {
    notices.push_back(std::string("connection:") + name(state));
}

void ManagerEvents::characterManager(MvCharacterManager&, Mivo::ConversationState state) {
    notices.push_back(std::string("conversation:") + name(state));
}

void ManagerEvents::characterManager(MvCharacterManager&, Mivo::PlayerState state) {
    notices.push_back(state == Mivo::PlayerState::playing ? "player:playing" : "player:idle");
}

void ManagerEvents::characterManager(MvCharacterManager&, const std::vector<std::uint8_t>& audio) {
    notices.push_back("audio:" + std::to_string(audio.size()));
    receivedAudio.insert(receivedAudio.end(), audio.begin(), audio.end());
}

void ManagerEvents::characterManager(MvCharacterManager&, const std::vector<FlameFrameData>& frames) {
    notices.push_back("frames:" + std::to_string(frames.size()));
    receivedFrames.insert(receivedFrames.end(), frames.begin(), frames.end());
}

void ManagerEvents::characterManager(MvCharacterManager&, const Mivo::Error& error) {
    notices.push_back("error:" + std::to_string(Mivo::rawValue(error.type())));
}

ManagerTest::ManagerTest() { MivoSDK::shared().resetToInitialValues(); }

ManagerTest::~ManagerTest() {
    time.settle();
    peer.reset();
    platform::net::clearTrustedCertificates();
    MivoSDK::shared().resetToInitialValues();
}

void ManagerTest::startPeer(service_peer::PeerMode mode, double pace) {
    peer.reset();
    service_peer::PeerOptions options;
    options.mode = mode;
    options.pace = pace;
    options.characterDirectory = std::filesystem::path(MIVO_TEST_DOCUMENTS_DIR) / "MvCharacters" / "synthetic";
    peer = std::make_unique<service_peer::ServicePeer>(options);
    platform::net::clearTrustedCertificates();
    platform::net::addTrustedCertificate(peer->certificatePem());
    auto& sdk = MivoSDK::shared();
    sdk.setup(options.sessionKey, MivoSDK::Configuration(MivoSDK::DowngradePlan::none, std::nullopt, peer->audiovisualUrl()),
              std::nullopt, nullptr);
    sdk.set(peer->domain(), MivoSDK::Environment::release);
}

std::shared_ptr<MvCharacterManager> ManagerTest::makeManager(Mivo::DriveServiceType type) {
    auto manager = MvCharacterManager::create(character, type, platform::audio::AudioFormat::standard(sampleRate, 1));
    manager->setDelegate(managerEvents);
    return manager;
}

void ManagerTest::connect(const std::shared_ptr<MvCharacterManager>& manager) {
    manager->start();
    ASSERT_TRUE(waitFor([&] { return manager->connectionState() == Mivo::ConnectionState::connected; }));
}

bool ManagerTest::waitFor(const std::function<bool()>& done, double seconds) {
    return platform::dispatch::pumpMainUntil(done, platform::dispatch::Seconds(seconds));
}

void ManagerTest::finish(const std::shared_ptr<MvCharacterManager>& manager) {
    const bool connected = manager->connectionState() == Mivo::ConnectionState::connected;
    manager->close(true);
    if (connected) waitFor([&] { return manager->connectionState() == Mivo::ConnectionState::disconnected; }, 5);
    time.advance(std::chrono::milliseconds(100));
}

} // namespace conversationtest
