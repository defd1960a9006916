// The WebSocket task over Boost.Beast and OpenSSL. This is the only translation unit that compiles
// Beast's WebSocket and Asio's SSL code for the kit (they are slow to compile).

#include "platform/net/websocket_task.hpp"

#include "platform/net/trust_store.hpp"
#include "platform/dispatch/work_census.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <charconv>
#include <deque>
#include <mutex>
#include <thread>

namespace MivoKit {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;

namespace platform::net {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        return std::tolower(x) == std::tolower(y);
    });
}

} // namespace

void WebSocketRequest::setValue(std::string value, std::string_view field) {
    for (auto& [name, existing] : headerFields) {
        if (equalsIgnoringCase(name, field)) {
            existing = std::move(value);
            return;
        }
    }
    headerFields.emplace_back(std::string(field), std::move(value));
}

std::optional<std::string> WebSocketRequest::value(std::string_view field) const {
    for (const auto& [name, value] : headerFields) {
        if (equalsIgnoringCase(name, field)) return value;
    }
    return std::nullopt;
}

namespace {

// The process-wide network thread. Its context is never destroyed (tasks may still be queued while
// the process exits), but the thread is stopped and joined by an exit handler: OpenSSL frees its
// global state from an exit handler of its own, and a task released on this thread after that would
// free its TLS context into freed memory. Exit handlers run in reverse order of registration, so
// OpenSSL and the trust store are initialised before ours is registered.
struct NetworkThread {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    std::thread thread;
};

NetworkThread* network = nullptr;

void stopNetworkThread() {
    network->context.stop(); // the handler that is running finishes; no further handler starts
    if (network->thread.get_id() == std::this_thread::get_id()) {
        network->thread.detach(); // exit was called from a network callback
    } else {
        network->thread.join();
    }
}

asio::io_context& networkContext() {
    static NetworkThread* started = [] {
        OPENSSL_init_ssl(0, nullptr);
        (void)trustedCertificates();
        network = new NetworkThread();
        network->thread = std::thread([] { network->context.run(); });
        std::atexit(stopNetworkThread);
        return network;
    }();
    return started->context;
}

struct ParsedURL {
    std::string host;       // without brackets
    std::string port;       // "443" by default
    std::string hostHeader; // host[:port] as written
    std::string target;     // path and query, at least "/"
};

// Accepts wss://host[:port][/path][?query][#fragment]; IPv6 hosts in brackets. No user information.
std::optional<ParsedURL> parseURL(std::string_view url) {
    const auto schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos || !equalsIgnoringCase(url.substr(0, schemeEnd), "wss")) return std::nullopt;
    std::string_view rest = url.substr(schemeEnd + 3);
    const auto authorityEnd = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view target = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    target = target.substr(0, target.find('#'));
    if (authority.find('@') != std::string_view::npos) return std::nullopt;

    ParsedURL parsed;
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return std::nullopt;
            port = after.substr(1);
        }
    } else if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty()) return std::nullopt;
    if (!port.empty()) {
        unsigned number = 0;
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (ec != std::errc() || end != port.data() + port.size() || number == 0 || number > 65535) return std::nullopt;
    }
    parsed.host = std::string(host);
    parsed.port = port.empty() ? "443" : std::string(port);
    parsed.hostHeader = std::string(authority);
    parsed.target = target.empty() || target[0] != '/' ? "/" + std::string(target) : std::string(target);
    return parsed;
}

WebSocketError makeError(WebSocketError::Code code, const std::string& detail = {}) {
    using Code = WebSocketError::Code;
    std::string text;
    switch (code) {
    case Code::badURL: text = "unsupported URL"; break;
    case Code::cannotFindHost: text = "A server with the specified hostname could not be found."; break;
    case Code::cannotConnectToHost: text = "Could not connect to the server."; break;
    case Code::timedOut: text = "The request timed out."; break;
    case Code::secureConnectionFailed:
        text = "An SSL error has occurred and a secure connection to the server cannot be made.";
        break;
    case Code::badServerResponse: text = "There was a bad response from the server."; break;
    case Code::networkConnectionLost: text = "The network connection was lost."; break;
    case Code::messageTooLarge: text = "The message exceeded the maximum message size."; break;
    case Code::closedByServer: text = "The server closed the connection."; break;
    case Code::cancelled: text = "cancelled"; break;
    }
    if (!detail.empty()) text += " (" + detail + ")";
    return {code, std::move(text)};
}

std::atomic<std::uint64_t> nextTaskIdentifier{1};

// Tasks resumed and not yet finished (their delegate told), for the work census.
std::atomic<std::size_t> tasksOpen{0};
std::size_t webSocketTasksOpen() { return tasksOpen.load(std::memory_order_acquire); }

// Calls posted to the network thread and not yet run, also for the census: a call on a finished
// task still answers its completion, which the caller may hand on to its own queue.
std::atomic<std::size_t> callsPending{0};
std::size_t webSocketCallsPending() { return callsPending.load(std::memory_order_acquire); }

void registerCensusCounters() {
    static const bool registered = (dispatch::registerWorkCounter("WebSocket tasks", &webSocketTasksOpen),
                                    dispatch::registerWorkCounter("WebSocket calls", &webSocketCallsPending), true);
    (void)registered;
}

constexpr std::size_t kReadChunk = 256 * 1024;

using SendCompletion = std::function<void(std::optional<WebSocketError>)>;
using ReceiveCompletion = std::function<void(WebSocketReceiveResult)>;

// All state below is touched only on the network thread; public operations post there.
class BeastWebSocketTask final : public WebSocketTask, public std::enable_shared_from_this<BeastWebSocketTask> {
public:
    BeastWebSocketTask(WebSocketRequest request, std::weak_ptr<WebSocketTaskDelegate> delegate)
        : io_(networkContext()), identifier_(nextTaskIdentifier++), request_(std::move(request)),
          delegate_(std::move(delegate)), ssl_(asio::ssl::context::tls_client), ws_(io_, ssl_), resolver_(io_),
          resolveTimer_(io_) {
        registerCensusCounters();
    }

    std::uint64_t taskIdentifier() const override { return identifier_; }
    const WebSocketRequest& originalRequest() const override { return request_; }

    std::optional<WebSocketHTTPResponse> response() const override {
        std::lock_guard lock(responseMutex_);
        return response_;
    }

    void resume() override {
        if (!counted_.exchange(true)) tasksOpen.fetch_add(1, std::memory_order_relaxed);
        post([self = shared_from_this()] { self->open(); });
    }

    void send(WebSocketMessage message, SendCompletion completion) override {
        post([self = shared_from_this(), message = std::move(message), completion = std::move(completion)]() mutable {
            if (self->state_ == State::finished) {
                if (completion) completion(self->requestError_);
                return;
            }
            self->sends_.push_back({std::move(message), std::move(completion)});
            self->writeNext();
        });
    }

    void receive(ReceiveCompletion completion) override {
        post([self = shared_from_this(), completion = std::move(completion)]() mutable {
            if (self->state_ == State::finished) {
                if (completion) completion(*self->requestError_);
                return;
            }
            self->receives_.push_back(std::move(completion));
            self->readNext();
        });
    }

    void cancel(std::uint16_t closeCode, std::string reason) override {
        post([self = shared_from_this(), closeCode, reason = std::move(reason)]() mutable {
            self->cancelNow(closeCode, std::move(reason));
        });
    }

private:
    enum class State { suspended, opening, open, closing, finished };

    // Runs `call` on the network thread, counted until it has returned.
    template <class Call>
    void post(Call call) {
        callsPending.fetch_add(1, std::memory_order_relaxed);
        asio::post(io_, [call = std::move(call)]() mutable {
            call();
            callsPending.fetch_sub(1, std::memory_order_release);
        });
    }

    struct PendingSend {
        WebSocketMessage message;
        SendCompletion completion;
    };

    // ---- opening: resolve, connect, TLS, upgrade, all before one deadline ----

    void open() {
        if (state_ == State::finished) uncount(); // cancelled before it was resumed
        if (state_ != State::suspended) return;
        state_ = State::opening;
        auto parsed = parseURL(request_.url);
        if (!parsed) return finish(makeError(WebSocketError::Code::badURL, request_.url));
        url_ = std::move(*parsed);

        const auto timeout = std::chrono::duration<double>(std::max(0.0, request_.timeoutInterval));
        deadline_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);

        // The resolver has no deadline of its own.
        resolveTimer_.expires_at(deadline_);
        resolveTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) self->resolver_.cancel();
        });
        resolver_.async_resolve(url_.host, url_.port, [self = shared_from_this()](beast::error_code ec, tcp::resolver::results_type results) {
            self->resolveTimer_.cancel();
            if (ec) return self->failOpening(ec, WebSocketError::Code::cannotFindHost);
            self->connect(results);
        });
    }

    // False when opening has stopped; a cancellation that came between two steps ends the task here.
    bool continueOpening() {
        if (state_ != State::opening) return false;
        if (cancelRequested_) {
            finish(makeError(WebSocketError::Code::cancelled));
            return false;
        }
        return true;
    }

    void connect(const tcp::resolver::results_type& results) {
        if (!continueOpening()) return;
        // The stream's deadline bounds connect, TLS and upgrade. Beast's own handshake timer is not
        // armed (no timeout option yet): it would keep a declined upgrade alive for 30 seconds.
        beast::get_lowest_layer(ws_).expires_at(deadline_);
        beast::get_lowest_layer(ws_).async_connect(results, [self = shared_from_this()](beast::error_code ec, const tcp::endpoint&) {
            if (ec) return self->failOpening(ec, WebSocketError::Code::cannotConnectToHost);
            self->secure();
        });
    }

    void secure() {
        if (!continueOpening()) return;
        beast::error_code noSystemStore; // then only the added certificates are trusted
        ssl_.set_default_verify_paths(noSystemStore);
        for (const auto& pem : trustedCertificates()) {
            beast::error_code ignored; // an unreadable certificate adds no trust
            ssl_.add_certificate_authority(asio::buffer(pem), ignored);
        }
        auto& tls = ws_.next_layer();
        tls.set_verify_mode(asio::ssl::verify_peer);
        tls.set_verify_callback(asio::ssl::host_name_verification(url_.host));
        beast::error_code notAnAddress;
        asio::ip::make_address(url_.host, notAnAddress);
        if (notAnAddress && !SSL_set_tlsext_host_name(tls.native_handle(), url_.host.c_str())) {
            return finish(makeError(WebSocketError::Code::secureConnectionFailed, "cannot set the server name"));
        }
        tls.async_handshake(asio::ssl::stream_base::client, [self = shared_from_this()](beast::error_code ec) {
            if (ec) return self->failOpening(ec, WebSocketError::Code::secureConnectionFailed);
            self->upgrade();
        });
    }

    void upgrade() {
        if (!continueOpening()) return;
        ws_.set_option(websocket::stream_base::decorator([fields = request_.headerFields](websocket::request_type& request) {
            for (const auto& [name, value] : fields) request.set(name, value);
        }));
        ws_.read_message_max(0); // readSome() applies maximumMessageSize
        ws_.async_handshake(handshakeResponse_, url_.hostHeader, url_.target, [self = shared_from_this()](beast::error_code ec) {
            self->upgraded(ec);
        });
    }

    void upgraded(beast::error_code ec) {
        if (handshakeResponse_.result_int() != 0) {
            WebSocketHTTPResponse response{static_cast<int>(handshakeResponse_.result_int()), {}};
            for (const auto& field : handshakeResponse_) {
                response.headerFields.emplace_back(std::string(field.name_string()), std::string(field.value()));
            }
            std::lock_guard lock(responseMutex_);
            response_ = std::move(response);
        }
        if (state_ != State::opening) return;
        if (ec == websocket::error::upgrade_declined && !cancelRequested_) {
            return finish(makeError(WebSocketError::Code::badServerResponse,
                                    "HTTP status " + std::to_string(handshakeResponse_.result_int())));
        }
        if (ec) return failOpening(ec, WebSocketError::Code::badServerResponse);

        beast::get_lowest_layer(ws_).expires_never();
        // From now on Beast's timeout bounds only the closing handshake; an open connection may idle.
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(5);
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        state_ = State::open;
        if (cancelRequested_) { // cancelled while the upgrade completed
            return beginClose(closeCode_, closeReason_, makeError(WebSocketError::Code::cancelled));
        }

        if (auto delegate = delegate_.lock()) {
            delegate->webSocketTaskDidOpen(*this, std::string(handshakeResponse_[http::field::sec_websocket_protocol]));
        }
        writeNext();
        readNext();
    }

    void failOpening(beast::error_code ec, WebSocketError::Code code) {
        if (state_ != State::opening) return;
        if (cancelRequested_) return finish(makeError(WebSocketError::Code::cancelled));
        if (ec == beast::error::timeout || std::chrono::steady_clock::now() >= deadline_) {
            return finish(makeError(WebSocketError::Code::timedOut));
        }
        finish(makeError(code, ec.message()));
    }

    // ---- open connection ----

    void readNext() {
        if (state_ != State::open || reading_ || receives_.empty()) return;
        reading_ = true;
        readSome();
    }

    // Reads a message piece by piece, so that the size limit is checked by this code: when Beast
    // itself fails an oversized message, the error it reports is that of the teardown that follows.
    void readSome() {
        ws_.async_read_some(readBuffer_, kReadChunk, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->onRead(ec);
        });
    }

    void onRead(beast::error_code ec) {
        if (state_ == State::finished) return;
        if (!ec && readBuffer_.size() > maximumMessageSize) {
            reading_ = false;
            const auto error = makeError(WebSocketError::Code::messageTooLarge,
                                         "limit " + std::to_string(maximumMessageSize) + " bytes");
            failReceives(error);
            return beginClose(websocket::close_code::too_big, {}, error);
        }
        if (!ec && !ws_.is_message_done()) return readSome();
        reading_ = false;
        if (!ec) {
            const auto bytes = readBuffer_.data();
            const auto* begin = static_cast<const std::uint8_t*>(bytes.data());
            WebSocketMessage message = ws_.got_text() ? WebSocketMessage(std::string(begin, begin + bytes.size()))
                                                      : WebSocketMessage(WebSocketData(begin, begin + bytes.size()));
            readBuffer_.consume(readBuffer_.size());
            auto completion = std::move(receives_.front());
            receives_.pop_front();
            if (completion) completion(std::move(message));
            return readNext();
        }
        if (state_ == State::closing) return; // our closing handshake ends the task

        if (ec == websocket::error::closed) {
            const auto reason = ws_.reason();
            const auto error = makeError(WebSocketError::Code::closedByServer, "close code " + std::to_string(reason.code));
            failReceives(error);
            if (auto delegate = delegate_.lock()) {
                delegate->webSocketTaskDidClose(*this, reason.code, std::string(reason.reason.c_str()));
            }
            return finish(std::nullopt, error);
        }
        finish(makeError(WebSocketError::Code::networkConnectionLost, ec.message()));
    }

    void writeNext() {
        if (state_ != State::open || writing_ || sends_.empty()) return;
        writing_ = true;
        writingNow_ = std::move(sends_.front());
        sends_.pop_front();
        asio::const_buffer payload;
        if (const auto* text = std::get_if<std::string>(&writingNow_.message)) {
            ws_.text(true);
            payload = asio::buffer(*text);
        } else {
            ws_.binary(true);
            payload = asio::buffer(std::get<WebSocketData>(writingNow_.message));
        }
        ws_.async_write(payload, [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onWrite(ec); });
    }

    void onWrite(beast::error_code ec) {
        writing_ = false;
        auto completion = std::move(writingNow_.completion);
        writingNow_ = {};
        std::optional<WebSocketError> error;
        if (ec) {
            error = state_ == State::finished ? *requestError_
                                              : makeError(WebSocketError::Code::networkConnectionLost, ec.message());
        }
        if (completion) completion(error);
        if (ec && state_ == State::open) return finish(*error);
        writeNext();
    }

    // ---- ending ----

    void cancelNow(std::uint16_t closeCode, std::string reason) {
        if (state_ == State::finished || cancelRequested_) return;
        cancelRequested_ = true;
        closeCode_ = closeCode;
        closeReason_ = std::move(reason);
        switch (state_) {
        case State::suspended: return finish(makeError(WebSocketError::Code::cancelled));
        case State::opening: {
            // The pending step fails and reports the cancellation. The socket is closed, not just
            // cancelled: a cancel reaches only the operation waiting on it at this moment, and a
            // TLS or upgrade step whose write has just completed would go on to wait for a reply
            // until the deadline. On a closed socket the next operation fails at once.
            resolveTimer_.cancel();
            resolver_.cancel();
            beast::get_lowest_layer(ws_).close();
            return;
        }
        case State::open: return beginClose(closeCode_, closeReason_, makeError(WebSocketError::Code::cancelled));
        case State::closing:
        case State::finished: return;
        }
    }

    // Starts the closing handshake; the task then ends with `error`.
    void beginClose(std::uint16_t code, const std::string& text, WebSocketError error) {
        state_ = State::closing;
        websocket::close_reason reason;
        reason.code = code;
        reason.reason = text;
        ws_.async_close(reason, [self = shared_from_this(), error = std::move(error)](beast::error_code) {
            self->finish(error);
        });
    }

    void failReceives(const WebSocketError& error) {
        for (auto& completion : std::exchange(receives_, {})) {
            if (completion) completion(error);
        }
    }

    // Ends the task: `completionError` goes to the delegate, `requestError` (by default the same)
    // to every pending and later request.
    void finish(std::optional<WebSocketError> completionError, std::optional<WebSocketError> requestError = std::nullopt) {
        if (state_ == State::finished) return;
        state_ = State::finished;
        requestError_ = requestError ? std::move(requestError) : completionError;
        resolveTimer_.cancel();
        resolver_.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);

        failReceives(*requestError_);
        for (auto& pending : std::exchange(sends_, {})) {
            if (pending.completion) pending.completion(*requestError_);
        }
        if (auto delegate = delegate_.lock()) delegate->taskDidComplete(*this, completionError);
        uncount();
    }

    void uncount() {
        if (counted_.exchange(false)) tasksOpen.fetch_sub(1, std::memory_order_release);
    }

    asio::io_context& io_;
    const std::uint64_t identifier_;
    const WebSocketRequest request_;
    const std::weak_ptr<WebSocketTaskDelegate> delegate_;

    asio::ssl::context ssl_;
    // Without permessage-deflate, which is never offered: the stream then carries none of its code.
    websocket::stream<beast::ssl_stream<beast::tcp_stream>, false> ws_;
    tcp::resolver resolver_;
    asio::steady_timer resolveTimer_;
    ParsedURL url_;
    std::chrono::steady_clock::time_point deadline_;
    websocket::response_type handshakeResponse_;

    State state_ = State::suspended;
    bool cancelRequested_ = false;
    std::uint16_t closeCode_ = kWebSocketNormalClosure;
    std::string closeReason_;
    std::optional<WebSocketError> requestError_; // set when finished

    beast::flat_buffer readBuffer_;
    std::deque<ReceiveCompletion> receives_; // the front one is being read
    bool reading_ = false;
    std::deque<PendingSend> sends_;
    PendingSend writingNow_; // kept alive while its bytes are written
    bool writing_ = false;

    mutable std::mutex responseMutex_;
    std::atomic<bool> counted_{false}; // counted in tasksOpen
    std::optional<WebSocketHTTPResponse> response_;
};

} // namespace

std::shared_ptr<WebSocketTask> makeWebSocketTask(WebSocketRequest request, std::weak_ptr<WebSocketTaskDelegate> delegate) {
    return std::make_shared<BeastWebSocketTask>(std::move(request), std::move(delegate));
}

} // namespace platform::net

} // namespace MivoKit
