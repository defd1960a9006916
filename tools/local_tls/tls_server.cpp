#include "tools/local_tls/tls_server.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <openssl/ssl.h>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace local_tls {

TlsServer::TlsServer(Session session, const LocalCertificate& certificate, unsigned short port)
    : ssl_(asio::ssl::context::tls_server), session_(std::move(session)), acceptor_(io_) {
    ssl_.use_certificate_chain(asio::buffer(certificate.certificatePem));
    ssl_.use_private_key(asio::buffer(certificate.privateKeyPem), asio::ssl::context::pem);

    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();

    asio::co_spawn(io_, acceptLoop(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
}

TlsServer::~TlsServer() {
    io_.stop();
    thread_.join();
}

std::string TlsServer::serverName(Stream& stream) {
    const char* name = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
    return name ? name : "";
}

asio::awaitable<void> TlsServer::acceptLoop() {
    for (;;) {
        auto [ec, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        asio::co_spawn(io_, serve(std::move(socket)), asio::detached);
    }
}

asio::awaitable<void> TlsServer::serve(tcp::socket socket) {
    Stream stream(std::move(socket), ssl_);
    auto [ec] = co_await stream.async_handshake(asio::ssl::stream_base::server, asio::as_tuple(asio::use_awaitable));
    if (ec) co_return; // e.g. the client refused the certificate
    try {
        co_await session_(std::move(stream));
    } catch (const std::exception&) {
        // The session's own failure ends its connection only.
    }
}

} // namespace local_tls
