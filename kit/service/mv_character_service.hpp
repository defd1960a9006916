#pragma once
// The WebSocket client that the two drive services build on.
//
// A service owns one connection to a realtime service, reports its opening and its end to the
// delegate, hands every received message (binary, or Base64 text) to handleMessageData() one at a
// time in arrival order, and runs the request timer that turns a missing answer into a timeout.
// It also records in MivoSDK whether the service accepted the session.
//
// Threads: connect(), disconnect() and sendAudio() are called on the main queue. The network thread
// only re-posts what it reports to the main queue; all fields are read and written, and every
// delegate is called, there. Services are reference objects: create them with std::make_shared.
//
// Each connection's callbacks carry their task. Those of a task replaced by a newer connect() are
// ignored, except that the end of the connection that isConnected stands for is still reported.
// Every open of the current task is reported, also when it replaced a connection still counted as
// open; an end is reported only when the service was counted as connected. A task reports at most
// one error event, and none when the kit cancelled it.

#include "kit/model/mivo_sdk.hpp"
#include "kit/service/mv_character_service_event.hpp"
#include "platform/dispatch/dispatch.hpp"
#include "platform/net/websocket_task.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace MivoKit {

class MvCharacterServiceDelegate {
public:
    virtual ~MvCharacterServiceDelegate() = default;
    // True on every opening (also one that replaced an open connection), false when the
    // connection counted as open ended.
    virtual void serviceConnectionChanged(bool connected) = 0;
    virtual void handleServiceEvent(const MvCharacterServiceEvent& event) = 0;
};

class MvCharacterService : public platform::net::WebSocketTaskDelegate,
                           public std::enable_shared_from_this<MvCharacterService> {
public:
    // The limit for opening the connection, in seconds.
    static constexpr double requestTimeoutInterval = 60;

    MvCharacterService() = default;
    // Closes a connection that is still open: nothing could reach it any more.
    ~MvCharacterService() override;
    MvCharacterService(const MvCharacterService&) = delete;
    MvCharacterService& operator=(const MvCharacterService&) = delete;

    // The live connection; none before the first connect and after disconnect(). A close by the
    // server does not clear it.
    const std::shared_ptr<platform::net::WebSocketTask>& webSocketTask() const { return webSocketTask_; }
    // The request timer; armed after each send, stopped by every received message.
    const std::shared_ptr<platform::dispatch::Timer>& requestTimeoutTimer() const { return requestTimeoutTimer_; }
    bool isConnected() const { return isConnected_; }
    std::weak_ptr<MvCharacterServiceDelegate> delegate;

    // Opens a connection to a "wss" URL with the session key in "X-Session-Key"; `headers` are
    // added after it (a "X-Session-Key" entry replaces the key). Any other URL is refused with
    // error("URL错误"). A connection still open is closed and replaced.
    virtual void connect(const std::string& url, const std::string& sessionKey,
                         const std::optional<MivoSDK::Headers>& headers);
    // Closes the connection (code 1000). The end is reported by the connection's callbacks; without
    // a connection, a connection still counted as open is reported ended at once.
    virtual void disconnect();
    // Sends one utterance. The completion runs on the main queue: true when the message was handed
    // to the socket, false otherwise (also when there is no connection).
    virtual void sendAudio(const std::string& reqID, const std::vector<std::uint8_t>& audio,
                           std::function<void(bool)> completion);
    // One received message; called on the main queue.
    virtual void handleMessageData(std::span<const std::uint8_t> data);

    // Arms the one-shot request timer when MivoSDK's configuration has a request timeout, replacing
    // a running one; without a timeout, a running timer is left as it is.
    void startRequestTimeoutTimer();

    // platform::net::WebSocketTaskDelegate, called on the network thread.
    void webSocketTaskDidOpen(platform::net::WebSocketTask& task, const std::string& protocol) override;
    void webSocketTaskDidClose(platform::net::WebSocketTask& task, std::uint16_t closeCode,
                               const std::string& reason) override;
    void taskDidComplete(platform::net::WebSocketTask& task,
                         const std::optional<platform::net::WebSocketError>& error) override;

protected:
    // Sends one encoded message as a binary WebSocket message, then arms the request timer (also
    // when there is no connection and nothing is sent).
    void sendMessage(std::vector<std::uint8_t> message, std::function<void(bool)> completion);
    // Hands the event to the delegate when it is still there.
    void sendEvent(const MvCharacterServiceEvent& event);

private:
    using TaskID = std::uint64_t;

    void receiveNext();
    void didReceive(TaskID task, platform::net::WebSocketReceiveResult result);
    void didOpen(TaskID task);
    void didEnd(TaskID task);
    void didComplete(TaskID task, const platform::net::WebSocketError& error,
                     std::optional<int> statusCode);
    // Reports the end once, when the service was counted as connected.
    void endConnection();
    // At most one error event per task, none for a task the kit cancelled.
    void reportTaskError(const std::string& text);
    void stopRequestTimer();
    // Runs `work` on the main queue while this service is alive.
    void onMain(std::function<void(MvCharacterService&)> work);

    std::shared_ptr<platform::net::WebSocketTask> webSocketTask_;
    std::shared_ptr<platform::dispatch::Timer> requestTimeoutTimer_;
    bool isConnected_ = false;

    TaskID currentTask_ = 0;   // made by the latest connect(); other tasks' callbacks are ignored
    TaskID connectedTask_ = 0; // the task whose connection isConnected stands for
    bool currentTaskCancelled_ = false;
    bool currentTaskReportedError_ = false;
};

} // namespace MivoKit
