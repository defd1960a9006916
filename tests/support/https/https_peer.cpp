#include "tests/support/https/https_peer.hpp"

#include "tools/local_tls/tls_server.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <sstream>

namespace asio = boost::asio;
namespace beast = boost::beast;

namespace testsupport {

using local_tls::TlsServer;

namespace {

constexpr auto kAwait = asio::as_tuple(asio::use_awaitable);

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trim(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.remove_suffix(1);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    return std::string(s);
}

std::string reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string pathOf(const std::string& target) { return target.substr(0, target.find('?')); }

HttpsRequest parseRequest(std::string_view head) {
    HttpsRequest request;
    std::istringstream in{std::string(head)};
    std::string line;
    std::getline(in, line);
    std::istringstream first(line);
    first >> request.method >> request.target;
    while (std::getline(in, line)) {
        const std::string text = trim(line);
        if (text.empty()) break;
        const std::size_t colon = text.find(':');
        if (colon == std::string::npos) continue;
        request.headers.emplace_back(trim(std::string_view(text).substr(0, colon)),
                                     trim(std::string_view(text).substr(colon + 1)));
    }
    return request;
}

std::string responseHead(const HttpsResponse& response) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
    if (!response.omitContentLength)
        head += "Content-Length: " + response.contentLength.value_or(std::to_string(response.body.size())) + "\r\n";
    return head + "Connection: close\r\n\r\n";
}

} // namespace

std::optional<std::string> HttpsRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (equalsNoCase(n, name)) return v;
    return std::nullopt;
}

HttpsResponse HttpsResponse::ok(std::string body) { return withStatus(200, std::move(body)); }

HttpsResponse HttpsResponse::withStatus(int code, std::string body) {
    HttpsResponse r;
    r.status = code;
    r.body = std::move(body);
    return r;
}

struct HttpsPeer::Impl {
    mutable std::mutex mutex;
    std::map<std::string, Handler> routes;
    std::vector<HttpsRequest> requests;
    // Last: its destructor stops the sessions, which use the members above.
    std::unique_ptr<TlsServer> server;

    Impl()
        : server(std::make_unique<TlsServer>([this](TlsServer::Stream stream) { return serve(std::move(stream)); })) {}
    ~Impl() { server.reset(); }

    Handler handlerFor(const std::string& path) {
        std::lock_guard lock(mutex);
        auto it = routes.find(path);
        if (it != routes.end()) return it->second;
        return [](const HttpsRequest&) { return HttpsResponse::withStatus(404, "not found"); };
    }

    asio::awaitable<void> serve(TlsServer::Stream stream) {
        std::string head;
        auto [readError, length] =
            co_await asio::async_read_until(stream, asio::dynamic_buffer(head), "\r\n\r\n", kAwait);
        if (readError) co_return;
        const HttpsRequest request = parseRequest(std::string_view(head).substr(0, length));
        {
            std::lock_guard lock(mutex);
            requests.push_back(request);
        }
        const HttpsResponse response = handlerFor(pathOf(request.target))(request);

        const std::string text = responseHead(response);
        if (auto [ec, n] = co_await asio::async_write(stream, asio::buffer(text), kAwait); ec) co_return;
        const std::size_t bodyLength =
            std::min(response.body.size(), response.truncateBodyAt.value_or(response.body.size()));
        const std::size_t step = response.chunkSize > 0 ? response.chunkSize : std::max<std::size_t>(bodyLength, 1);
        asio::steady_timer pause(stream.get_executor());
        for (std::size_t sent = 0; sent < bodyLength; sent += step) {
            if (sent > 0 && response.chunkDelay.count() > 0) {
                pause.expires_after(response.chunkDelay);
                co_await pause.async_wait(kAwait);
            }
            const auto piece = asio::buffer(response.body.data() + sent, std::min(step, bodyLength - sent));
            if (auto [ec, n] = co_await asio::async_write(stream, piece, kAwait); ec) co_return;
        }
        if (response.truncateBodyAt) {
            // Dropped without a TLS close: the client sees the connection end mid-body.
            beast::get_lowest_layer(stream).close();
            co_return;
        }
        // The TLS close also ends a body that has no Content-Length.
        co_await stream.async_shutdown(kAwait);
    }
};

HttpsPeer::HttpsPeer() : impl_(std::make_unique<Impl>()) {}
HttpsPeer::~HttpsPeer() = default;

unsigned short HttpsPeer::port() const { return impl_->server->port(); }
std::string HttpsPeer::host() const { return "localhost:" + std::to_string(port()); }
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
