#include "kit/service/mv_character_service.hpp"

#include "kit/service/base64.hpp"
#include "platform/log/log.hpp"

namespace MivoKit {

using platform::net::WebSocketData;
using platform::net::WebSocketError;
using platform::net::WebSocketMessage;
using platform::net::WebSocketReceiveResult;
using platform::net::WebSocketTask;

MvCharacterService::~MvCharacterService() {
    if (webSocketTask_) webSocketTask_->cancel(platform::net::kWebSocketNormalClosure, "");
    if (requestTimeoutTimer_) requestTimeoutTimer_->cancel();
}

void MvCharacterService::connect(const std::string& url, const std::string& sessionKey,
                                 const std::optional<MivoSDK::Headers>& headers) {
    if (!url.starts_with("wss")) {
        sendEvent(MvCharacterServiceEvent::Error{"URL错误"});
        return;
    }
    platform::log::print("wss url " + url);

    platform::net::WebSocketRequest request{url, requestTimeoutInterval, {}};
    request.setValue(sessionKey, "X-Session-Key");
    if (headers) {
        for (const auto& [name, value] : *headers) request.setValue(value, name);
    }
    auto task = platform::net::makeWebSocketTask(std::move(request), weak_from_this());

    if (webSocketTask_) {
        // The new connection takes over from the live one: the old task's callbacks are ignored
        // from now on, so its close must not be waited for.
        webSocketTask_->cancel(platform::net::kWebSocketNormalClosure, "");
        if (connectedTask_ == currentTask_) connectedTask_ = task->taskIdentifier();
    }
    currentTask_ = task->taskIdentifier();
    currentTaskCancelled_ = false;
    currentTaskReportedError_ = false;
    webSocketTask_ = std::move(task);
    webSocketTask_->resume();
    receiveNext();
}

void MvCharacterService::disconnect() {
    if (webSocketTask_) {
        currentTaskCancelled_ = true;
        webSocketTask_->cancel(platform::net::kWebSocketNormalClosure, "");
        webSocketTask_.reset();
    } else if (isConnected_) {
        endConnection();
    }
}

void MvCharacterService::sendAudio(const std::string&, const std::vector<std::uint8_t>&, std::function<void(bool)>) {}

void MvCharacterService::handleMessageData(std::span<const std::uint8_t>) {}

void MvCharacterService::sendMessage(std::vector<std::uint8_t> message, std::function<void(bool)> completion) {
    auto finished = [completion = std::move(completion)](bool sent) {
        if (!completion) return;
        platform::dispatch::postMain([completion, sent] { completion(sent); });
    };
    if (webSocketTask_) {
        webSocketTask_->send(WebSocketMessage(std::move(message)),
                             [finished](const std::optional<WebSocketError>& error) { finished(!error); });
    } else {
        finished(false); // nothing to send on: the caller still hears back
    }
    startRequestTimeoutTimer();
}

void MvCharacterService::startRequestTimeoutTimer() {
    const auto timeout = MivoSDK::shared().configuration().requestTimeout;
    if (!timeout) return;
    stopRequestTimer();
    requestTimeoutTimer_ = platform::dispatch::Timer::scheduleOnMain(
        platform::dispatch::Seconds(std::max(0.0, *timeout)), [weak = weak_from_this()] {
            // The fired timer stays in its field until the next send or receive replaces it.
            if (auto self = weak.lock()) self->sendEvent(MvCharacterServiceEvent::RequestTimeout{});
        });
}

void MvCharacterService::stopRequestTimer() {
    if (requestTimeoutTimer_) requestTimeoutTimer_->cancel();
    requestTimeoutTimer_.reset();
}

void MvCharacterService::sendEvent(const MvCharacterServiceEvent& event) {
    if (auto target = delegate.lock()) target->handleServiceEvent(event);
}

void MvCharacterService::endConnection() {
    if (!isConnected_) return;
    isConnected_ = false;
    if (auto target = delegate.lock()) target->serviceConnectionChanged(false);
}

void MvCharacterService::reportTaskError(const std::string& text) {
    if (currentTaskCancelled_ || currentTaskReportedError_) return;
    currentTaskReportedError_ = true;
    sendEvent(MvCharacterServiceEvent::Error{text});
}

void MvCharacterService::onMain(std::function<void(MvCharacterService&)> work) {
    platform::dispatch::postMain([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

// ---- receive loop ----

void MvCharacterService::receiveNext() {
    const TaskID task = currentTask_;
    webSocketTask_->receive([weak = weak_from_this(), task](WebSocketReceiveResult result) {
        platform::dispatch::postMain([weak, task, result = std::move(result)]() mutable {
            if (auto self = weak.lock()) self->didReceive(task, std::move(result));
        });
    });
}

void MvCharacterService::didReceive(TaskID task, WebSocketReceiveResult result) {
    if (task != currentTask_) return; // a replaced connection
    stopRequestTimer();                // every receive stops it, whatever it carries

    if (const auto* error = std::get_if<WebSocketError>(&result)) {
        reportTaskError(error->localizedDescription);
        disconnect();
        return;
    }
    const auto& message = std::get<WebSocketMessage>(result);
    if (const auto* data = std::get_if<WebSocketData>(&message)) {
        handleMessageData(*data);
    } else if (auto decoded = decodeBase64(std::get<std::string>(message))) {
        handleMessageData(*decoded);
    }
    // The delegate may have disconnected or reconnected meanwhile: continue only on this task.
    if (webSocketTask_ && task == currentTask_) receiveNext();
}

// ---- connection callbacks ----

void MvCharacterService::webSocketTaskDidOpen(WebSocketTask& task, const std::string&) {
    onMain([id = task.taskIdentifier()](MvCharacterService& self) { self.didOpen(id); });
}

void MvCharacterService::webSocketTaskDidClose(WebSocketTask& task, std::uint16_t, const std::string&) {
    onMain([id = task.taskIdentifier()](MvCharacterService& self) { self.didEnd(id); });
}

void MvCharacterService::taskDidComplete(WebSocketTask& task, const std::optional<WebSocketError>& error) {
    if (!error) return;
    std::optional<int> statusCode;
    if (auto response = task.response()) statusCode = response->statusCode;
    onMain([id = task.taskIdentifier(), error = *error, statusCode](MvCharacterService& self) {
        self.didComplete(id, error, statusCode);
    });
}

void MvCharacterService::didOpen(TaskID task) {
    // A task the kit has cancelled or replaced does not count as opened.
    if (task != currentTask_ || currentTaskCancelled_) return;
    // A connection the caller disconnected may open its successor before its own end arrives:
    // tell that end now, so the delegate hears it before the new open; the late close is ignored.
    if (isConnected_ && connectedTask_ != task) endConnection();
    connectedTask_ = task;
    // Every open is told, also one that replaced a connection still counted as open: the delegate
    // has been waiting for this connection since it asked for it.
    isConnected_ = true;
    if (auto target = delegate.lock()) target->serviceConnectionChanged(true);
    // Both happen on every open too.
    MivoSDK::shared().setIsVerified(true);
    if (auto sdkDelegate = MivoSDK::shared().delegate()) sdkDelegate->avatarSDKDidStarted();
}

void MvCharacterService::didEnd(TaskID task) {
    if (task == connectedTask_) endConnection();
}

void MvCharacterService::didComplete(TaskID task, const WebSocketError& error, std::optional<int> statusCode) {
    didEnd(task);
    if (task != currentTask_) return;
    reportTaskError(error.localizedDescription);
    if (statusCode == 401) {
        MivoSDK::shared().setIsVerified(false);
        if (auto sdkDelegate = MivoSDK::shared().delegate()) sdkDelegate->avatarSDKFailedToStart();
    }
}

} // namespace MivoKit
