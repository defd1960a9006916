#pragma once
// An in-process TLS WebSocket server for tests, standing in for a realtime service on 127.0.0.1.
//
// It accepts the upgrade when the "X-Session-Key" header carries the expected key and answers
// HTTP 401 otherwise; it records every upgrade request and every message the clients send, and
// sends, closes or drops on the test's command. Everything here may be called from any thread.

#include "tools/local_tls/tls_server.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class WebSocketPeer {
public:
    // One upgrade request as the peer received it.
    struct Upgrade {
        std::string target;                        // path and query
        std::map<std::string, std::string> headers; // as sent
        std::string serverName;                     // the SNI host name, "" when none was sent
        bool accepted = false;
    };

    // One message a client sent.
    struct Received {
        int connection = 0; // 1 for the first accepted connection, and so on
        bool binary = true;
        std::string payload;
    };

    // Something the peer does on a connection.
    struct Action {
        enum class Kind { sendBinary, sendText, close, drop } kind = Kind::sendBinary;
        std::string payload;       // message, or close reason
        std::uint16_t code = 1000; // close code

        static Action binary(std::string bytes) { return {Kind::sendBinary, std::move(bytes), 0}; }
        static Action text(std::string text) { return {Kind::sendText, std::move(text), 0}; }
        static Action closeWith(std::uint16_t code, std::string reason = {}) { return {Kind::close, std::move(reason), code}; }
        // Closes the TCP connection without any WebSocket or TLS closing handshake.
        static Action dropConnection() { return {Kind::drop, {}, 0}; }
    };

    // Answers each received message with the returned actions, in order. Runs on the server thread.
    using Responder = std::function<std::vector<Action>(const Received&)>;

    explicit WebSocketPeer(std::string sessionKey,
                           const local_tls::LocalCertificate& certificate = local_tls::localhostCertificate());
    ~WebSocketPeer();
    WebSocketPeer(const WebSocketPeer&) = delete;
    WebSocketPeer& operator=(const WebSocketPeer&) = delete;

    unsigned short port() const { return server_->port(); }
    // "localhost:<port>", the form a service domain takes.
    std::string domain() const { return "localhost:" + std::to_string(port()); }

    // Performs the action on the newest open connection, in the order of these calls; when no
    // connection is open, on the next one that opens.
    void perform(Action action);
    void sendBinary(std::string bytes) { perform(Action::binary(std::move(bytes))); }
    void sendText(std::string text) { perform(Action::text(std::move(text))); }
    void close(std::uint16_t code = 1000, std::string reason = {}) { perform(Action::closeWith(code, std::move(reason))); }
    void drop() { perform(Action::dropConnection()); }
    void setResponder(Responder responder);

    std::vector<Upgrade> upgrades() const;
    std::vector<Received> received() const;
    std::size_t receivedCount() const;
    // Close codes of the closing handshakes that ended connections, in order (the client's code, or
    // the code the client echoed when the peer closed first).
    std::vector<std::uint16_t> closeCodes() const;
    int openConnections() const;
    int acceptedConnections() const;

    struct Connection; // one accepted connection, on the server thread

private:
    boost::asio::awaitable<void> serve(local_tls::TlsServer::Stream stream);
    void dispatch(const std::shared_ptr<Connection>& connection, Action action);

    const std::string sessionKey_;

    mutable std::mutex mutex_;
    std::vector<Upgrade> upgrades_;
    std::vector<Received> received_;
    std::vector<std::uint16_t> closeCodes_;
    int accepted_ = 0;
    int openCount_ = 0;
    Responder responder_;

    // Server-thread state. Connections are owned by their coroutines: the server's I/O context
    // must be the one to destroy them.
    std::vector<std::weak_ptr<Connection>> open_;
    std::vector<Action> waiting_; // actions for the next connection to open

    std::unique_ptr<local_tls::TlsServer> server_; // last: stopped before the state above goes away
};

} // namespace testsupport
