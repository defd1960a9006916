#include "tests/support/websocket/websocket_peer.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <deque>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace testsupport {

using local_tls::LocalCertificate;
using local_tls::TlsServer;

// One accepted WebSocket connection. Actions run one at a time, in order, on the server thread.
struct WebSocketPeer::Connection {
    explicit Connection(TlsServer::Stream stream, int number) : ws(std::move(stream)), number(number) {}

    websocket::stream<TlsServer::Stream, false> ws; // no permessage-deflate, as the kit's client
    const int number;
    std::deque<Action> queue;
    Action current;
    bool busy = false;
    bool dropped = false;
};

WebSocketPeer::WebSocketPeer(std::string sessionKey, const LocalCertificate& certificate)
    : sessionKey_(std::move(sessionKey)),
      server_(std::make_unique<TlsServer>([this](TlsServer::Stream stream) { return serve(std::move(stream)); },
                                          certificate)) {}

WebSocketPeer::~WebSocketPeer() { server_.reset(); }

void WebSocketPeer::perform(Action action) {
    asio::post(server_->context(), [this, action = std::move(action)]() mutable {
        if (auto newest = open_.empty() ? nullptr : open_.back().lock()) {
            dispatch(newest, std::move(action));
        } else {
            waiting_.push_back(std::move(action));
        }
    });
}

void WebSocketPeer::setResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

namespace {

// Runs the queued actions of a connection one after another; each completion starts the next.
void runNext(const std::shared_ptr<WebSocketPeer::Connection>& connection);

} // namespace

void WebSocketPeer::dispatch(const std::shared_ptr<Connection>& connection, Action action) {
    connection->queue.push_back(std::move(action));
    if (!connection->busy) runNext(connection);
}

namespace {

void runNext(const std::shared_ptr<WebSocketPeer::Connection>& connection) {
    using Kind = WebSocketPeer::Action::Kind;
    if (connection->queue.empty() || connection->dropped) {
        connection->busy = false;
        return;
    }
    connection->busy = true;
    connection->current = std::move(connection->queue.front());
    connection->queue.pop_front();
    const auto& action = connection->current;
    auto resume = [connection](auto&&...) { runNext(connection); };
    switch (action.kind) {
    case Kind::sendBinary:
    case Kind::sendText:
        connection->ws.binary(action.kind == Kind::sendBinary);
        connection->ws.async_write(asio::buffer(action.payload), resume);
        break;
    case Kind::close:
    {
        websocket::close_reason reason;
        reason.code = action.code;
        reason.reason = action.payload;
        connection->ws.async_close(reason, resume);
    }
        break;
    case Kind::drop: {
        beast::error_code ignored;
        beast::get_lowest_layer(connection->ws).socket().close(ignored);
        connection->dropped = true;
        connection->busy = false;
        break;
    }
    }
}

} // namespace

asio::awaitable<void> WebSocketPeer::serve(TlsServer::Stream stream) {
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    auto [readError, readBytes] = co_await http::async_read(stream, buffer, request, asio::as_tuple(asio::use_awaitable));
    if (readError) co_return;

    Upgrade upgrade;
    upgrade.target = std::string(request.target());
    for (const auto& field : request) upgrade.headers[std::string(field.name_string())] = std::string(field.value());
    upgrade.serverName = TlsServer::serverName(stream);
    upgrade.accepted = websocket::is_upgrade(request) && request["X-Session-Key"] == sessionKey_;
    {
        std::lock_guard lock(mutex_);
        upgrades_.push_back(upgrade);
    }

    if (!upgrade.accepted) {
        http::response<http::string_body> refusal{http::status::unauthorized, request.version()};
        refusal.set(http::field::content_type, "text/plain");
        refusal.body() = "invalid session key";
        refusal.keep_alive(false);
        refusal.prepare_payload();
        co_await http::async_write(stream, refusal, asio::as_tuple(asio::use_awaitable));
        co_await stream.async_shutdown(asio::as_tuple(asio::use_awaitable));
        co_return;
    }

    int number;
    {
        std::lock_guard lock(mutex_);
        number = ++accepted_;
    }
    auto connection = std::make_shared<Connection>(std::move(stream), number);
    auto [acceptError] = co_await connection->ws.async_accept(request, asio::as_tuple(asio::use_awaitable));
    if (acceptError) co_return;

    open_.push_back(connection);
    {
        std::lock_guard lock(mutex_);
        ++openCount_;
    }
    for (auto& action : std::exchange(waiting_, {})) dispatch(connection, std::move(action));

    for (;;) {
        beast::flat_buffer message;
        auto [ec, bytes] = co_await connection->ws.async_read(message, asio::as_tuple(asio::use_awaitable));
        if (ec) {
            if (ec == websocket::error::closed) {
                std::lock_guard lock(mutex_);
                closeCodes_.push_back(connection->ws.reason().code);
            }
            break;
        }
        Received received{number, connection->ws.got_binary(), beast::buffers_to_string(message.data())};
        Responder responder;
        {
            std::lock_guard lock(mutex_);
            received_.push_back(received);
            responder = responder_;
        }
        if (responder) {
            for (auto& action : responder(received)) dispatch(connection, std::move(action));
        }
    }
    std::erase_if(open_, [&](const auto& open) { return open.lock() == connection; });
    std::lock_guard lock(mutex_);
    --openCount_;
}

std::vector<WebSocketPeer::Upgrade> WebSocketPeer::upgrades() const {
    std::lock_guard lock(mutex_);
    return upgrades_;
}

std::vector<WebSocketPeer::Received> WebSocketPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::size_t WebSocketPeer::receivedCount() const {
    std::lock_guard lock(mutex_);
    return received_.size();
}

std::vector<std::uint16_t> WebSocketPeer::closeCodes() const {
    std::lock_guard lock(mutex_);
    return closeCodes_;
}

int WebSocketPeer::openConnections() const {
    std::lock_guard lock(mutex_);
    return openCount_;
}

int WebSocketPeer::acceptedConnections() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

} // namespace testsupport
