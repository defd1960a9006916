#pragma once
// The application's handle on one character's session. It owns the character's player and the
// drive service that the drive-service type asks for, turns the application's calls into player
// and service operations, and publishes three states (connection, conversation, player), each with
// a notice to the delegate only when it changes.
//
// Every field but the logger, the character, the player and the drive-service type is observable
// (observedConnectionState() and its siblings): observers hear of each change with the old and the
// new value, on the main queue, and of nothing when a field is set to the value it holds.
//
// Threads: the application calls everything on the main queue; service events and the player's
// notices arrive there too. The recorded-buffer callback runs on the audio input thread.
//
// Failures reach the application only as Mivo::Error values through the delegate; nothing throws.
// While a conversation plays, an error applies MivoSDK's downgrade plan (read at that moment):
// keep the audio with the idle animation, or stop the conversation.
//
// Dropping the manager without close(true) still stops the player's render loop and its audio
// (without notices): nothing of the session outlives it.

#include "kit/conversation/mv_character_player.hpp"
#include "kit/model/mivo.hpp"
#include "kit/service/mv_character_service.hpp"
#include "platform/ui/observable.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace MivoKit {

class MvCharacterManager;

class MvCharacterManagerDelegate {
public:
    virtual ~MvCharacterManagerDelegate() = default;
    virtual void characterManager(MvCharacterManager& manager, Mivo::ConnectionState didUpdatedConnectionState) = 0;
    virtual void characterManager(MvCharacterManager& manager, Mivo::ConversationState didUpdatedConversationState) = 0;
    virtual void characterManager(MvCharacterManager& manager, Mivo::PlayerState didUpdatedPlayerState) = 0;
    // The speech bytes of one audio message of the current conversation.
    virtual void characterManager(MvCharacterManager&, const std::vector<std::uint8_t>& didReceivedAudioData) {
        (void)didReceivedAudioData;
    }
    // The frames of one animation message of the current conversation.
    virtual void characterManager(MvCharacterManager&, const std::vector<FlameFrameData>& didReceivedFlameFrames) {
        (void)didReceivedFlameFrames;
    }
    virtual void characterManager(MvCharacterManager& manager, const Mivo::Error& didEncounteredError) = 0;
};

class MvCharacterManager : public MvCharacterPlayerDelegate,
                           public MvCharacterServiceDelegate,
                           public std::enable_shared_from_this<MvCharacterManager> {
public:
    // Receives every microphone buffer, in the input's own format, on the audio input thread.
    using RecordedAudioBuffer =
        std::function<void(const std::shared_ptr<platform::audio::PCMBuffer>&, const platform::audio::AudioTime&)>;
    // The delegate as an observable value: held weakly, and the same as another when both refer to
    // the same object (or both to none).
    struct WeakDelegate {
        std::weak_ptr<MvCharacterManagerDelegate> object;
        bool operator==(const WeakDelegate& other) const {
            return !object.owner_before(other.object) && !other.object.owner_before(object);
        }
    };

    // Creates the player (its render loop starts on the idle animation at once) and the service of
    // the drive type, then checks the character: the first problem is reported (to no delegate yet:
    // none can have been set) and nothing is refused.
    static std::shared_ptr<MvCharacterManager> create(const Mivo::Character& character,
                                                      Mivo::DriveServiceType driveServiceType,
                                                      const platform::audio::AudioFormat& customAudioFormat);
    ~MvCharacterManager() override;
    MvCharacterManager(const MvCharacterManager&) = delete;
    MvCharacterManager& operator=(const MvCharacterManager&) = delete;

    // Opens the drive service's connection (nothing for drive type none).
    void start();
    // One utterance of the user's speech: 16-bit mono PCM at the audio format's rate.
    void sendAudioData(const std::vector<std::uint8_t>& data);
    // Plays the given speech with the given frames, without any service.
    void start(std::vector<std::uint8_t> withAudioData, std::vector<FlameFrameData> frameDataQueue);
    // Ends the current conversation; later server data of it is ignored.
    void interrupt();
    void togglePlayerMute();
    // Ends the session: any socket the service holds is closed, also one still opening (which then
    // counts as disconnected at once). With clean-up the player's audio is torn down and its render
    // loop ends.
    void close(bool shouldCleanup);

    Mivo::ConnectionState connectionState() const { return connectionState_.get(); }
    Mivo::ConversationState conversationState() const { return conversationState_.get(); }
    Mivo::PlayerState playerState() const { return playerState_.get(); }
    std::optional<Mivo::PlayerError> playerError() const { return playerError_.get(); }
    // The same values for observers (a view's change observers): told of every change, main queue.
    platform::ui::Observable<Mivo::ConnectionState>& observedConnectionState() { return connectionState_; }
    platform::ui::Observable<Mivo::ConversationState>& observedConversationState() { return conversationState_; }
    platform::ui::Observable<Mivo::PlayerState>& observedPlayerState() { return playerState_; }
    platform::ui::Observable<std::optional<Mivo::PlayerError>>& observedPlayerError() { return playerError_; }
    platform::ui::Observable<std::optional<std::string>>& observedCurrentConversationId() { return currentConversationId_; }
    platform::ui::Observable<std::optional<std::string>>& observedDisplayCurrentConversationId() {
        return displayCurrentConversationId_;
    }
    platform::ui::Observable<std::shared_ptr<EyeTrackingLogic>>& observedEyeTrackingLogic() { return eyeTrackingLogic_; }
    // A callback has no equality of its own: every callback set is a change, clearing none is not.
    platform::ui::Observable<std::shared_ptr<const RecordedAudioBuffer>>& observedRecordedAudioBuffer() {
        return recordedAudioBuffer_;
    }
    platform::ui::Observable<std::shared_ptr<MvCharacterService>>& observedCharacterService() { return characterService_; }
    platform::ui::Observable<WeakDelegate>& observedDelegate() { return delegate_; }

    // The conversation being shown.
    const std::optional<std::string>& displayCurrentConversationId() const { return displayCurrentConversationId_.get(); }
    const std::shared_ptr<EyeTrackingLogic>& eyeTrackingLogic() const { return eyeTrackingLogic_.get(); }
    // Also hands the logic to the player, whose render loop uses it.
    void setEyeTrackingLogic(std::shared_ptr<EyeTrackingLogic> logic);
    const Mivo::Character& character() const { return character_; }
    const std::shared_ptr<MvCharacterPlayer>& characterPlayer() const { return characterPlayer_; }
    Mivo::DriveServiceType driveServiceType() const { return driveServiceType_; }
    // Any thread.
    RecordedAudioBuffer recordedAudioBuffer() const;
    void setRecordedAudioBuffer(RecordedAudioBuffer callback);
    std::shared_ptr<MvCharacterManagerDelegate> delegate() const { return delegate_.get().object.lock(); }
    void setDelegate(const std::shared_ptr<MvCharacterManagerDelegate>& delegate) { delegate_.set({delegate}); }

    // ---- used inside the kit and by tests ----
    // The conversation whose server data is accepted.
    const std::optional<std::string>& currentConversationId() const { return currentConversationId_.get(); }
    const std::shared_ptr<MvCharacterService>& characterService() const { return characterService_.get(); }

    // MvCharacterServiceDelegate.
    void serviceConnectionChanged(bool connected) override;
    void handleServiceEvent(const MvCharacterServiceEvent& event) override;

    // MvCharacterPlayerDelegate.
    void characterPlayerDidStartPlaying(MvCharacterPlayer& player) override;
    void characterPlayer(MvCharacterPlayer& player, const std::shared_ptr<platform::audio::PCMBuffer>& didRecordAudioBuffer,
                         const platform::audio::AudioTime& time) override;
    void characterPlayerDidStopPlaying(MvCharacterPlayer& player) override;
    void characterPlayerDidRenderFrame(MvCharacterPlayer& player) override;
    void characterPlayer(MvCharacterPlayer& player, Mivo::PlayerError didEncounterError) override;

    // The application's notice of `type` with its fixed reason, then the downgrade plan when playing.
    void reportError(Mivo::Error::ErrorType type);

    // The first problem of the character that the manager reports when it is made: an empty
    // identifier, a missing idle-frames, point-cloud or shape file, or a camera of all zeros.
    static std::optional<Mivo::Error::ErrorType> validationProblem(const Mivo::Character& character);

private:
    MvCharacterManager(const Mivo::Character& character, Mivo::DriveServiceType driveServiceType);

    std::string makeServiceURL() const;
    void setConnectionState(Mivo::ConnectionState state);
    void setConversationState(Mivo::ConversationState state);
    void setPlayerState(Mivo::PlayerState state);
    void setPlayerError(Mivo::PlayerError error);
    // Makes a new conversation identifier current and displayed.
    std::string beginConversation();
    // True when the event belongs to the current conversation.
    bool isCurrent(const std::string& requestId) const;

    const platform::log::Logger logger_;
    platform::ui::Observable<Mivo::ConnectionState> connectionState_{Mivo::ConnectionState::disconnected};
    platform::ui::Observable<Mivo::ConversationState> conversationState_{Mivo::ConversationState::idle};
    platform::ui::Observable<Mivo::PlayerState> playerState_{Mivo::PlayerState::idle};
    platform::ui::Observable<std::optional<Mivo::PlayerError>> playerError_;
    platform::ui::Observable<std::optional<std::string>> currentConversationId_;
    platform::ui::Observable<std::optional<std::string>> displayCurrentConversationId_;
    platform::ui::Observable<std::shared_ptr<EyeTrackingLogic>> eyeTrackingLogic_;
    const Mivo::Character character_;
    std::shared_ptr<MvCharacterPlayer> characterPlayer_;
    const Mivo::DriveServiceType driveServiceType_;
    platform::ui::Observable<std::shared_ptr<const RecordedAudioBuffer>> recordedAudioBuffer_;
    // The observable lives on the main queue while the audio input thread reads the callback: that
    // thread reads this copy, which the first observer of every change keeps up to date.
    mutable std::mutex recordedAudioBufferMutex_;
    std::shared_ptr<const RecordedAudioBuffer> audioThreadRecordedAudioBuffer_;
    platform::ui::Observable<std::shared_ptr<const RecordedAudioBuffer>>::Subscription recordedAudioBufferCopier_;
    platform::ui::Observable<std::shared_ptr<MvCharacterService>> characterService_;
    platform::ui::Observable<WeakDelegate> delegate_;
};

} // namespace MivoKit
