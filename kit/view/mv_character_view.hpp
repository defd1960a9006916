#pragma once
// The view an application shows a character with, over a character manager: the manager's player
// drawn by the kit's GPU view, and the manager's connection, conversation and player states and
// player errors passed to the application through four optional closures.
//
// A value: body() describes what to show, and a new evaluation builds a new network object and a
// new GPU view value; HostedCharacterView does what the user-interface framework does with it
// (makes the underlying view and its draw loop once, keeps the observers of the newest body).
// Main queue only.

#include "kit/conversation/mv_character_manager.hpp"
#include "kit/view/splat_2d_view.hpp"

#include <functional>
#include <memory>
#include <vector>

namespace MivoKit {

class MvCharacterView {
public:
    using ConnectionStateDidUpdated = std::function<void(Mivo::ConnectionState)>;
    using ConversationStateDidUpdated = std::function<void(Mivo::ConversationState)>;
    using PlayerStateDidUpdated = std::function<void(Mivo::PlayerState)>;
    using PlayerEncounteredError = std::function<void(Mivo::PlayerError)>;

    MvCharacterView(std::shared_ptr<MvCharacterManager> characterManager,
                    ConnectionStateDidUpdated connectionStateDidUpdated = {},
                    ConversationStateDidUpdated conversationStateDidUpdated = {},
                    PlayerStateDidUpdated playerStateDidUpdated = {}, PlayerEncounteredError playerEncounteredError = {});

    const std::shared_ptr<MvCharacterManager>& characterManager() const { return characterManager_; }
    ConnectionStateDidUpdated connectionStateDidUpdated;
    ConversationStateDidUpdated conversationStateDidUpdated;
    PlayerStateDidUpdated playerStateDidUpdated;
    PlayerEncounteredError playerEncounteredError;

    // What the view shows, and the change observers it attaches (attached while the body lives).
    struct Body {
        Splat2DView content;
        std::vector<std::shared_ptr<void>> observers;
    };
    Body body() const;

private:
    std::shared_ptr<MvCharacterManager> characterManager_;
};

// An MvCharacterView on screen: the underlying GPU view and its draw loop, made from the first
// body, and the observers of the newest body. The display link runs while it lives.
class HostedCharacterView {
public:
    explicit HostedCharacterView(const MvCharacterView& view);
    // Hosts a body already evaluated (a caller may have adjusted what it shows).
    explicit HostedCharacterView(MvCharacterView::Body body);
    ~HostedCharacterView();
    // A new value of the view: its body is evaluated again; the GPU view and its draw loop stay.
    void update(const MvCharacterView& view);

    const std::shared_ptr<platform::gpu::GPUView>& gpuView() const { return gpuView_; }
    const std::shared_ptr<Splat2DView::Coordinator>& coordinator() const { return coordinator_; }

private:
    MvCharacterView::Body body_;
    std::shared_ptr<Splat2DView::Coordinator> coordinator_;
    std::shared_ptr<platform::gpu::GPUView> gpuView_;
};

} // namespace MivoKit
