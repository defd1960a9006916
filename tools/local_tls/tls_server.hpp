#pragma once
// A TLS server on this machine only: listens on 127.0.0.1 on a given port or one the system picks,
// presents the localhost certificate (or another one) and serves every accepted connection as a
// coroutine on its one server thread. Protocol peers (WebSocket, HTTPS, the local service peer)
// are built on it by supplying the session coroutine.

#include "tools/local_tls/local_certificate.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <functional>
#include <string>
#include <thread>

namespace local_tls {

class TlsServer {
public:
    using Stream = boost::beast::ssl_stream<boost::beast::tcp_stream>;
    // Serves one connection whose TLS handshake has completed; runs on the server thread. A thrown
    // exception ends that connection only.
    using Session = std::function<boost::asio::awaitable<void>(Stream)>;

    // Throws boost::system::system_error when the port cannot be bound (0: the system picks one).
    explicit TlsServer(Session session, const LocalCertificate& certificate = localhostCertificate(),
                       unsigned short port = 0);
    // Stops accepting, abandons every session (closing its socket) and joins the server thread.
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    unsigned short port() const { return port_; }
    // The server's executor, for timers and for posting work onto the server thread.
    boost::asio::io_context& context() { return io_; }

    // The host name the client asked for with SNI, or "" when it sent none.
    static std::string serverName(Stream& stream);

private:
    boost::asio::awaitable<void> acceptLoop();
    boost::asio::awaitable<void> serve(boost::asio::ip::tcp::socket socket);

    // Declared before the I/O context: coroutine frames still queued when the context is destroyed
    // hold streams that use the SSL context and were started from the session function.
    boost::asio::ssl::context ssl_;
    Session session_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    unsigned short port_ = 0;
    std::thread thread_;
};

} // namespace local_tls
