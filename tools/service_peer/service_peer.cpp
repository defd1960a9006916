// The transport of the service peer: TLS connections, HTTP requests, WebSocket upgrades and the
// paced sending of planned replies, all as coroutines on the TLS server's one thread. What is said
// on the wire is decided elsewhere (ServiceResponder, CharacterAssets); this is the only file of
// the peer that uses Beast.

#include "tools/service_peer/service_peer.hpp"

#include "tools/local_tls/tls_server.hpp"
#include "tools/service_peer/character_assets.hpp"
#include "tools/service_peer/reply_voice.hpp"
#include "tools/service_peer/service_responder.hpp"
#include "tools/service_peer/reply_wav.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <deque>

using namespace MivoKit;

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using local_tls::TlsServer;
using Clock = std::chrono::steady_clock;
using Request = http::request<http::string_body>;

namespace service_peer {
namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kMaxRequestBody = 1 << 20;
constexpr std::size_t kMaxMessageBytes = 64 << 20;
// A client whose connection the peer ends gets this long to read the last answer and close TLS.
constexpr auto kClosingDeadline = std::chrono::seconds(5);

// The value of `name` in the target's query, "" when absent.
std::string queryValue(std::string_view target, std::string_view name) {
    const std::size_t question = target.find('?');
    if (question == std::string_view::npos) return "";
    std::string_view query = target.substr(question + 1);
    for (;;) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name)
            return equals == std::string_view::npos ? "" : std::string(pair.substr(equals + 1));
        if (amp == std::string_view::npos) return "";
        query.remove_prefix(amp + 1);
    }
}

PeerOptions validated(PeerOptions options) {
    options.validate();
    return options;
}

PcmAudio loadReplyAudio(const PeerOptions& options) {
    return options.replyWav ? readReplyWav(*options.replyWav, options.sampleRate) : makeReplyVoice(options.sampleRate);
}

std::string describe(const ServiceResponder::Answer& answer) {
    const auto& m = answer.received;
    std::string line = std::string(toRaw(m.protocol)) + " ";
    if (!m.decoded) return line + "undecodable message, no answer";
    line += messageTypeName(m.protocol, m.type) + " req_id=" + m.reqId + " audio=" + std::to_string(m.audioBytes) + " bytes";
    if (!answer.reply) return line + " -> no answer";
    const auto& steps = answer.reply->steps;
    const auto drops = std::count_if(steps.begin(), steps.end(), [](const ReplyStep& step) { return step.drop; });
    return line + " -> " + std::to_string(steps.size() - std::size_t(drops)) + " messages" +
           (drops > 0 ? ", then a drop" : "");
}

// One accepted WebSocket connection, shared by its reading and its writing coroutine.
struct Connection {
    Connection(TlsServer::Stream stream, WireProtocol protocol)
        : ws(std::move(stream)), protocol(protocol), wake(ws.get_executor()), pace(ws.get_executor()) {}

    void close() {
        closed = true;
        wake.cancel();
        pace.cancel();
    }

    websocket::stream<TlsServer::Stream, false> ws; // no permessage-deflate, as the kit's client
    const WireProtocol protocol;
    std::deque<ReplyScript> replies; // planned, not yet begun, oldest first
    asio::steady_timer wake;         // the writer waits on it for the next reply
    asio::steady_timer pace;         // the writer waits on it for a message's due time
    bool closed = false;
};

} // namespace

struct ServicePeer::Impl {
    explicit Impl(PeerOptions o)
        : options(validated(std::move(o))),
          responder(options.mode, options.pace, loadReplyAudio(options),
                    KeyframeSource::forCharacter(options.characterDirectory)) {
        if (options.characterDirectory) assets.emplace(*options.characterDirectory, options.characterIds);
        server = std::make_unique<TlsServer>([this](TlsServer::Stream stream) { return serve(std::move(stream)); },
                                             local_tls::localhostCertificate(), options.port);
    }
    ~Impl() { server.reset(); }

    std::string origin() const { return "https://localhost:" + std::to_string(server->port()); }

    void log(const std::string& line) const {
        if (options.requestLog) options.requestLog(line);
    }

    asio::awaitable<void> serve(TlsServer::Stream stream) {
        beast::flat_buffer buffer;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.body_limit(kMaxRequestBody);
            auto [ec, bytes] = co_await http::async_read(stream, buffer, parser, kAwait);
            if (ec) co_return;
            Request request = parser.release();
            if (websocket::is_upgrade(request)) {
                co_await serveWebSocket(std::move(stream), std::move(request));
                co_return;
            }
            if (!co_await serveHttp(stream, request)) co_return;
        }
    }

    // Answers one HTTP request; true when the connection stays open for the next.
    asio::awaitable<bool> serveHttp(TlsServer::Stream& stream, const Request& request) {
        HttpAnswer answer;
        if (request.method() != http::verb::get) answer = {405, "text/plain", "only GET is served"};
        else if (assets) answer = assets->answer(request.target(), origin());
        http::response<http::string_body> response{static_cast<http::status>(answer.status), request.version()};
        response.set(http::field::content_type, answer.contentType);
        response.keep_alive(request.keep_alive());
        response.body() = std::move(answer.body);
        response.prepare_payload();
        const HttpRecord entry{std::string(request.method_string()), std::string(request.target()), answer.status,
                               response.body().size()};
        log(entry.method + " " + entry.target + " -> " + std::to_string(entry.status) + ", " +
            std::to_string(entry.bodyBytes) + " bytes");
        record.addHttp(entry);
        auto [ec, bytes] = co_await http::async_write(stream, response, kAwait);
        if (ec) co_return false;
        if (response.keep_alive()) co_return true;
        co_await closeTls(stream);
        co_return false;
    }

    static asio::awaitable<void> closeTls(TlsServer::Stream& stream) {
        beast::get_lowest_layer(stream).expires_after(kClosingDeadline);
        co_await stream.async_shutdown(kAwait);
    }

    asio::awaitable<void> serveWebSocket(TlsServer::Stream stream, Request request) {
        UpgradeRecord upgrade;
        upgrade.target = std::string(request.target());
        for (const auto& field : request) upgrade.headers[std::string(field.name_string())] = std::string(field.value());
        upgrade.protocol = protocolForPath(std::string_view(upgrade.target).substr(0, upgrade.target.find('?')));
        const auto& ids = options.characterIds;
        if (request["X-Session-Key"] != options.sessionKey) upgrade.status = 401;
        else if (std::find(ids.begin(), ids.end(), queryValue(upgrade.target, "id")) == ids.end()) upgrade.status = 404;
        else upgrade.status = 101;
        upgrade.accepted = upgrade.status == 101;
        log("upgrade " + upgrade.target + " (" + std::string(toRaw(upgrade.protocol)) + ") -> " +
            std::to_string(upgrade.status));
        record.addUpgrade(upgrade);
        if (!upgrade.accepted) {
            co_await refuse(stream, request.version(), upgrade.status);
            co_return;
        }

        auto connection = std::make_shared<Connection>(std::move(stream), upgrade.protocol);
        connection->ws.read_message_max(kMaxMessageBytes);
        if (auto [ec] = co_await connection->ws.async_accept(request, kAwait); ec) co_return;
        asio::co_spawn(connection->ws.get_executor(), writeReplies(connection), asio::detached);
        for (;;) {
            beast::flat_buffer message;
            auto [ec, bytes] = co_await connection->ws.async_read(message, kAwait);
            if (ec) break;
            const auto data = message.data();
            auto answer = responder.respond(connection->protocol,
                                            std::span(static_cast<const std::uint8_t*>(data.data()), data.size()));
            log(describe(answer));
            record.addReceived(answer.received);
            if (answer.reply) {
                connection->replies.push_back(std::move(*answer.reply));
                connection->wake.cancel();
            }
        }
        connection->close();
    }

    asio::awaitable<void> refuse(TlsServer::Stream& stream, unsigned version, int status) {
        http::response<http::string_body> refusal{static_cast<http::status>(status), version};
        refusal.set(http::field::content_type, "text/plain");
        refusal.body() = status == 401 ? "invalid session key" : "unknown character";
        refusal.keep_alive(false);
        refusal.prepare_payload();
        beast::get_lowest_layer(stream).expires_after(kClosingDeadline);
        if (auto [ec, bytes] = co_await http::async_write(stream, refusal, kAwait); !ec) co_await closeTls(stream);
    }

    // Sends the connection's replies one after another, each message when it is due.
    asio::awaitable<void> writeReplies(std::shared_ptr<Connection> connection) {
        while (!connection->closed) {
            if (connection->replies.empty()) {
                connection->wake.expires_at(Clock::time_point::max());
                co_await connection->wake.async_wait(kAwait);
                continue;
            }
            ReplyScript script = std::move(connection->replies.front());
            connection->replies.pop_front();
            const auto reply = record.beginReply(script.protocol, script.reqId);
            const auto start = Clock::now();
            std::size_t sent = 0;
            for (auto& step : script.steps) {
                connection->pace.expires_at(
                    start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(step.sent.due)));
                co_await connection->pace.async_wait(kAwait);
                if (connection->closed) break;
                if (step.drop) {
                    // No WebSocket close and no TLS close: the client sees the connection end.
                    beast::get_lowest_layer(connection->ws).close();
                    connection->close();
                    record.endReply(reply, true);
                    log("dropped the connection during the reply to " + script.reqId);
                    co_return;
                }
                connection->ws.binary(true);
                auto [ec, bytes] = co_await connection->ws.async_write(asio::buffer(step.message), kAwait);
                if (ec) break;
                step.sent.sentAt = std::chrono::duration<double>(Clock::now() - start).count();
                record.addSent(reply, step.sent, step.keyframes);
                ++sent;
            }
            // A reply cut short by the client's close stays unfinished in the record.
            if (sent == script.steps.size()) record.endReply(reply, false);
        }
    }

    const PeerOptions options;
    const ServiceResponder responder;
    std::optional<CharacterAssets> assets;
    PeerRecord record;
    std::unique_ptr<TlsServer> server; // last: stopped before the state above goes away
};

ServicePeer::ServicePeer(PeerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
ServicePeer::~ServicePeer() = default;

unsigned short ServicePeer::port() const { return impl_->server->port(); }
std::string ServicePeer::domain() const { return "localhost:" + std::to_string(port()); }
std::string ServicePeer::origin() const { return impl_->origin(); }
std::string ServicePeer::audiovisualUrl() const { return "wss://" + domain() + std::string(kAudiovisualPath); }
std::string ServicePeer::animationUrl() const { return "wss://" + domain() + std::string(kAnimationPath); }
const std::string& ServicePeer::certificatePem() const { return local_tls::localhostCertificate().certificatePem; }
const PcmAudio& ServicePeer::replyAudio() const { return impl_->responder.replyAudio(); }
const PeerRecord& ServicePeer::record() const { return impl_->record; }

} // namespace service_peer
