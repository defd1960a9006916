#pragma once
// Stand-in for the platform's WebSocket task: one client connection to a "wss" URL.
//
// A task is created suspended; resume() opens it (TCP, TLS with peer and host-name verification,
// HTTP upgrade), all within the request's timeout. Messages are sent and received one at a time,
// in order; cancel() closes it with a close code. All I/O runs on one process-wide network thread,
// and every completion and delegate callback is called there: callers re-post to their own queue.
//
// The end of every task is reported exactly once, through taskDidComplete: without an error after
// the server closed the connection, with one after a failure or after cancel().

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace MivoKit {

namespace platform::net {

// The opening request of a WebSocket task.
struct WebSocketRequest {
    std::string url;
    // Limit for opening the connection (connect, TLS handshake and upgrade together), in seconds.
    double timeoutInterval = 60;
    std::vector<std::pair<std::string, std::string>> headerFields; // sent in this order

    // Sets a header field, replacing a field of the same name (names compare case-insensitively).
    void setValue(std::string value, std::string_view field);
    std::optional<std::string> value(std::string_view field) const;
};

// The HTTP response of the opening handshake; kept when the server declined the upgrade.
struct WebSocketHTTPResponse {
    int statusCode = 0;
    std::vector<std::pair<std::string, std::string>> headerFields;
};

struct WebSocketError {
    enum class Code {
        badURL,                 // not a "wss" URL with a host
        cannotFindHost,         // name resolution failed
        cannotConnectToHost,    // TCP connection refused or unreachable
        timedOut,               // the connection was not open within the request's timeout
        secureConnectionFailed, // TLS failed, e.g. an untrusted certificate or another host name
        badServerResponse,      // the server declined the upgrade (see the task's response())
        networkConnectionLost,  // the connection broke without a closing handshake
        messageTooLarge,        // an incoming message exceeded maximumMessageSize
        closedByServer,         // the server closed the connection (receive and send only)
        cancelled,              // cancel() was called
    };
    Code code;
    std::string localizedDescription;
};

using WebSocketData = std::vector<std::uint8_t>;
// A binary or a text message.
using WebSocketMessage = std::variant<WebSocketData, std::string>;
using WebSocketReceiveResult = std::variant<WebSocketMessage, WebSocketError>;

inline constexpr std::uint16_t kWebSocketNormalClosure = 1000;

class WebSocketTask;

// Receives the task's life events, on the network thread. The task holds its delegate weakly.
class WebSocketTaskDelegate {
public:
    virtual ~WebSocketTaskDelegate() = default;
    // The upgrade succeeded; `protocol` is the negotiated subprotocol ("" for none).
    virtual void webSocketTaskDidOpen(WebSocketTask& task, const std::string& protocol) = 0;
    // The server closed the connection with a closing handshake.
    virtual void webSocketTaskDidClose(WebSocketTask& task, std::uint16_t closeCode, const std::string& reason) = 0;
    // The task has ended; nothing else is reported for it afterwards.
    virtual void taskDidComplete(WebSocketTask& task, const std::optional<WebSocketError>& error) = 0;
};

class WebSocketTask {
public:
    // Incoming messages larger than this fail the receive and the connection.
    static constexpr std::size_t maximumMessageSize = 16 * 1024 * 1024;

    virtual ~WebSocketTask() = default;

    // Unique within the process.
    virtual std::uint64_t taskIdentifier() const = 0;
    virtual const WebSocketRequest& originalRequest() const = 0;
    // The handshake's HTTP response: present once the server answered the upgrade request.
    virtual std::optional<WebSocketHTTPResponse> response() const = 0;

    // Starts opening the connection. Only the first call has an effect.
    virtual void resume() = 0;
    // Queues one message; it goes out once the connection is open. The completion gets no error
    // when the message was handed to the connection.
    virtual void send(WebSocketMessage message, std::function<void(std::optional<WebSocketError>)> completion) = 0;
    // Asks for the next incoming message; requests are answered in order. After the task ended,
    // requests fail with the error that ended it.
    virtual void receive(std::function<void(WebSocketReceiveResult)> completion) = 0;
    // Ends the task: an open connection is closed with `closeCode` and `reason`, pending requests
    // fail with `cancelled` and the task completes with that error.
    virtual void cancel(std::uint16_t closeCode, std::string reason) = 0;
};

// Creates a suspended task over Boost.Beast and OpenSSL. The server's certificate must chain to the
// system's trusted roots or to a certificate added with addTrustedCertificate(), and name the host.
std::shared_ptr<WebSocketTask> makeWebSocketTask(WebSocketRequest request, std::weak_ptr<WebSocketTaskDelegate> delegate);

} // namespace platform::net

} // namespace MivoKit
