#include "kit/view/mv_character_view.hpp"

namespace MivoKit {

MvCharacterView::MvCharacterView(std::shared_ptr<MvCharacterManager> characterManager,
                                 ConnectionStateDidUpdated connectionStateDidUpdated,
                                 ConversationStateDidUpdated conversationStateDidUpdated,
                                 PlayerStateDidUpdated playerStateDidUpdated, PlayerEncounteredError playerEncounteredError)
    : connectionStateDidUpdated(std::move(connectionStateDidUpdated)),
      conversationStateDidUpdated(std::move(conversationStateDidUpdated)),
      playerStateDidUpdated(std::move(playerStateDidUpdated)), playerEncounteredError(std::move(playerEncounteredError)),
      characterManager_(std::move(characterManager)) {}

namespace {

template <class T, class Observer>
std::shared_ptr<void> observe(platform::ui::Observable<T>& value, Observer observer) {
    return std::make_shared<typename platform::ui::Observable<T>::Subscription>(value.onChange(std::move(observer)));
}

} // namespace

MvCharacterView::Body MvCharacterView::body() const {
    auto& manager = *characterManager_;
    const auto& configuration = manager.character().configuration();
    Body body;
    // A network object for every evaluation, whatever the render mode; its model loads with the renderer.
    body.content = Splat2DView{std::nullopt, configuration.renderMode,
                               SRNetworkFactory::createNetwork(configuration.srNetwork), platform::gpu::GPUView::make(),
                               manager.characterPlayer()};
    // The observers keep copies of the closures as they are now; only new values are passed on.
    body.observers.push_back(observe(manager.observedConnectionState(), [f = connectionStateDidUpdated](auto, auto now) {
        if (f) f(now);
    }));
    body.observers.push_back(observe(manager.observedConversationState(), [f = conversationStateDidUpdated](auto, auto now) {
        if (f) f(now);
    }));
    body.observers.push_back(observe(manager.observedPlayerState(), [f = playerStateDidUpdated](auto, auto now) {
        if (f) f(now);
    }));
    body.observers.push_back(observe(manager.observedPlayerError(), [f = playerEncounteredError](const auto&, const auto& now) {
        if (f && now) f(*now);
    }));
    return body;
}

HostedCharacterView::HostedCharacterView(const MvCharacterView& view) : HostedCharacterView(view.body()) {}

HostedCharacterView::HostedCharacterView(MvCharacterView::Body body) : body_(std::move(body)) {
    coordinator_ = body_.content.makeCoordinator();
    gpuView_ = body_.content.makeUIView(*coordinator_);
    gpuView_->startDisplayLink();
}

HostedCharacterView::~HostedCharacterView() { gpuView_->stopDisplayLink(); }

void HostedCharacterView::update(const MvCharacterView& view) {
    // The framework makes the underlying view once; a new value brings new observers only.
    body_.observers.clear();
    body_ = view.body();
}

} // namespace MivoKit
