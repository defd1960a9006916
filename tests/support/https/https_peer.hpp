#pragma once
// An in-process HTTPS server on 127.0.0.1 for tests, on the shared TLS test server.
//
// Each path answers with a scripted response; paths without a script answer 404. Every answer
// closes its connection. Responses can misreport, omit or mangle Content-Length, stop the body
// early, or send it slowly. Handlers run on the server thread.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

struct HttpsRequest {
    std::string method;
    std::string target; // path and query as sent
    std::vector<std::pair<std::string, std::string>> headers;

    // The first header of that name (any case).
    std::optional<std::string> header(std::string_view name) const;
};

struct HttpsResponse {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // added as given

    // Content-Length: the body's size when unset, this exact text when set.
    std::optional<std::string> contentLength;
    bool omitContentLength = false;
    // Send only this many bytes of the body, then drop the connection without a TLS close.
    std::optional<std::size_t> truncateBodyAt;
    // Send the body in pieces of `chunkSize` bytes with `chunkDelay` between them.
    std::size_t chunkSize = 0;
    std::chrono::milliseconds chunkDelay{0};

    static HttpsResponse ok(std::string body);
    static HttpsResponse withStatus(int code, std::string body);
};

class HttpsPeer {
public:
    using Handler = std::function<HttpsResponse(const HttpsRequest&)>;

    HttpsPeer();
    ~HttpsPeer();
    HttpsPeer(const HttpsPeer&) = delete;
    HttpsPeer& operator=(const HttpsPeer&) = delete;

    unsigned short port() const;
    // "localhost:<port>".
    std::string host() const;
    // "https://localhost:<port>" + path.
    std::string url(std::string_view path) const;

    // Answers requests for `path` (the target without its query) with the handler's response.
    void route(std::string path, Handler handler);
    void route(std::string path, HttpsResponse response);

    // Every request received so far, in arrival order.
    std::vector<HttpsRequest> requests() const;
    std::size_t requestCount(std::string_view path) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace testsupport
