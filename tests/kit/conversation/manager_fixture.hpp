#pragma once
// What the manager tests share: the virtual audio set-up of the player tests, a local service peer
// over real TLS that the kit trusts, MivoSDK pointed at it, and a delegate that records every
// notice of the manager in order.

#include "kit/conversation/mv_character_manager.hpp"
#include "tests/kit/conversation/player_fixture.hpp"
#include "tools/service_peer/service_peer.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace MivoKit;

namespace conversationtest {

struct ManagerEvents : MvCharacterManagerDelegate {
    // "connection:connected", "conversation:active", "player:playing", "error:1005", "audio:640",
    // "frames:5", in the order they came.
    std::vector<std::string> notices;
    std::vector<std::uint8_t> receivedAudio;
    std::vector<FlameFrameData> receivedFrames;

    std::vector<std::string> named(const std::string& prefix) const;
    bool has(const std::string& notice) const;

    void characterManager(MvCharacterManager&, Mivo::ConnectionState state) override;
    void characterManager(MvCharacterManager&, Mivo::ConversationState state) override;
    void characterManager(MvCharacterManager&, Mivo::PlayerState state) override;
    void characterManager(MvCharacterManager&, const std::vector<std::uint8_t>& audio) override;
    void characterManager(MvCharacterManager&, const std::vector<FlameFrameData>& frames) override;
    void characterManager(MvCharacterManager&, const Mivo::Error& error) override;
};

class ManagerTest : public VirtualAudioTest {
protected:
    ManagerTest();
    ~ManagerTest() override;

    // Starts the peer (replacing one already running) in `mode`, answering as fast as it can
    // unless `pace` says otherwise, and points MivoSDK at it.
    void startPeer(service_peer::PeerMode mode = service_peer::PeerMode::normal, double pace = 0);
    // A manager of the synthetic character in the 16 kHz mono format, with `events` as delegate.
    std::shared_ptr<MvCharacterManager> makeManager(Mivo::DriveServiceType type);
    // start() and wait (in real time, virtual time standing still) until the socket is open.
    void connect(const std::shared_ptr<MvCharacterManager>& manager);
    // Pumps the main queue in real time until `done()` holds (network events arrive so).
    static bool waitFor(const std::function<bool()>& done, double seconds = 10);
    // close(true) and let the player's tasks end.
    void finish(const std::shared_ptr<MvCharacterManager>& manager);

    std::unique_ptr<service_peer::ServicePeer> peer;
    std::shared_ptr<ManagerEvents> managerEvents = std::make_shared<ManagerEvents>();
};

} // namespace conversationtest
