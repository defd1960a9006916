#include "tests/support/https/https_peer.hpp"

#include "tests/support/tls/test_certificate.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <istream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace testsupport {
namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.pop_back();
    std::size_t start = s.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : s.substr(start);
}

std::string reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string pathOf(const std::string& target) { return target.substr(0, target.find('?')); }

} // namespace

std::optional<std::string> HttpsRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (equalsNoCase(n, name)) return v;
    return std::nullopt;
}

HttpsResponse HttpsResponse::ok(std::string body) { return status(200, std::move(body)); }

HttpsResponse HttpsResponse::status(int code, std::string body) {
    HttpsResponse r;
    r.status = code;
    r.body = std::move(body);
    return r;
}

struct HttpsPeer::Impl {
    asio::io_context io;
    asio::ssl::context tls{asio::ssl::context::tls_server};
    tcp::acceptor acceptor{io};
    unsigned short port = 0;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::map<std::string, Handler> routes;
    std::vector<HttpsRequest> requests;
    std::set<int> openSockets;
    std::vector<std::thread> connections;
    std::thread acceptThread;

    Impl() {
        const auto& cert = localhostCertificate();
        tls.use_certificate_chain(asio::buffer(cert.certificatePem));
        tls.use_private_key(asio::buffer(cert.privateKeyPem), asio::ssl::context::pem);
        tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
        port = acceptor.local_endpoint().port();
        acceptThread = std::thread([this] { acceptLoop(); });
    }

    ~Impl() {
        stopping = true;
        ::shutdown(acceptor.native_handle(), SHUT_RDWR);
        acceptThread.join();
        {
            std::lock_guard lock(mutex);
            for (int fd : openSockets) ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : connections) t.join();
    }

    void acceptLoop() {
        while (!stopping) {
            tcp::socket socket(io);
            boost::system::error_code ec;
            acceptor.accept(socket, ec);
            if (ec || stopping) return;
            std::lock_guard lock(mutex);
            openSockets.insert(socket.native_handle());
            connections.emplace_back([this, s = std::move(socket)]() mutable { serve(std::move(s)); });
        }
    }

    Handler handlerFor(const std::string& path) {
        std::lock_guard lock(mutex);
        auto it = routes.find(path);
        if (it != routes.end()) return it->second;
        return [](const HttpsRequest&) { return HttpsResponse::status(404, "not found"); };
    }

    void serve(tcp::socket socket) {
        const int fd = socket.native_handle();
        asio::ssl::stream<tcp::socket> stream(std::move(socket), tls);
        boost::system::error_code ec;
        stream.handshake(asio::ssl::stream_base::server, ec);
        if (!ec) {
            asio::streambuf buffer;
            asio::read_until(stream, buffer, "\r\n\r\n", ec);
            if (!ec) answer(stream, parse(buffer));
        }
        std::lock_guard lock(mutex);
        openSockets.erase(fd);
        stream.lowest_layer().close(ec);
    }

    HttpsRequest parse(asio::streambuf& buffer) {
        std::istream in(&buffer);
        HttpsRequest request;
        std::string line;
        std::getline(in, line);
        std::istringstream first(line);
        first >> request.method >> request.target;
        while (std::getline(in, line)) {
            line = trim(line);
            if (line.empty()) break;
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            request.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
        }
        std::lock_guard lock(mutex);
        requests.push_back(request);
        return request;
    }

    void answer(asio::ssl::stream<tcp::socket>& stream, const HttpsRequest& request) {
        const HttpsResponse response = handlerFor(pathOf(request.target))(request);
        std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
        if (!response.omitContentLength)
            head += "Content-Length: " + response.contentLength.value_or(std::to_string(response.body.size())) + "\r\n";
        head += "Connection: close\r\n\r\n";

        boost::system::error_code ec;
        asio::write(stream, asio::buffer(head), ec);
        const std::size_t length = std::min(response.body.size(), response.truncateBodyAt.value_or(response.body.size()));
        const std::size_t step = response.chunkSize > 0 ? response.chunkSize : std::max<std::size_t>(length, 1);
        for (std::size_t sent = 0; !ec && sent < length && !stopping; sent += step) {
            if (sent > 0 && response.chunkDelay.count() > 0) std::this_thread::sleep_for(response.chunkDelay);
            asio::write(stream, asio::buffer(response.body.data() + sent, std::min(step, length - sent)), ec);
        }
        // A truncated body ends with a dropped connection; any other with a TLS close, which also
        // ends a body that has no Content-Length.
        if (!ec && !response.truncateBodyAt) stream.shutdown(ec);
    }
};

HttpsPeer::HttpsPeer() : impl_(std::make_unique<Impl>()) {}
HttpsPeer::~HttpsPeer() = default;

unsigned short HttpsPeer::port() const { return impl_->port; }
std::string HttpsPeer::host() const { return "localhost:" + std::to_string(impl_->port); }
std::string HttpsPeer::url(std::string_view path) const { return "https://" + host() + std::string(path); }

void HttpsPeer::route(std::string path, Handler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->routes[std::move(path)] = std::move(handler);
}

void HttpsPeer::route(std::string path, HttpsResponse response) {
    route(std::move(path), [response = std::move(response)](const HttpsRequest&) { return response; });
}

std::vector<HttpsRequest> HttpsPeer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

std::size_t HttpsPeer::requestCount(std::string_view path) const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<std::size_t>(std::count_if(impl_->requests.begin(), impl_->requests.end(),
                                                  [&](const HttpsRequest& r) { return pathOf(r.target) == path; }));
}

} // namespace testsupport
