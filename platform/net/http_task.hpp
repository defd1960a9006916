#pragma once
// Stand-in for the platform's URL loading: HTTP data and download tasks over libcurl.
//
// Every call is synchronous and runs on the calling thread; callers put it on a background task.
// Only http and https URLs are fetched, redirects included (at most 16). A request fails with
// URLError when no byte arrives for `timeoutInterval` seconds, when its stop token is triggered,
// or on any transport failure; HTTP error statuses are no failure here, they come back in the
// response. TLS peers are checked against the system store plus the trust store's certificates.

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace MivoKit {

namespace platform::net {

enum class URLErrorCode {
    unknown,
    cancelled,
    badURL,
    unsupportedURL,
    timedOut,
    cannotFindHost,
    cannotConnectToHost,
    networkConnectionLost,
    secureConnectionFailed,
    tooManyRedirects,
    badServerResponse,
    dataLengthExceedsMaximum,
    cannotCreateFile,
    cannotWriteToFile,
};

class URLError : public std::runtime_error {
public:
    // The description is the code's text, followed by `detail` in parentheses when there is one.
    URLError(URLErrorCode code, std::string_view detail = {});
    URLErrorCode code() const { return code_; }

private:
    URLErrorCode code_;
};

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

struct HTTPURLResponse {
    std::string url; // after redirects
    long statusCode = 0;
    HeaderFields headerFields; // of the final response, in arrival order

    // The first field of that name, compared without regard to case.
    std::optional<std::string> value(std::string_view field) const;
    bool isSuccess() const { return statusCode >= 200 && statusCode <= 299; }
};

struct URLRequest {
    std::string url;
    HeaderFields headers;
    double timeoutInterval = 60; // seconds without any byte arriving
};

// True for an absolute URL with a scheme and a host that the transport can parse.
bool isValidURL(std::string_view text);

class URLSession {
public:
    struct DataResult {
        std::string body;
        HTTPURLResponse response;
    };

    struct DownloadResult {
        // The downloaded file in the private temporary directory; the caller moves or removes it.
        // Empty when the transfer was stopped at the byte limit (the partial file is removed).
        std::filesystem::path location;
        HTTPURLResponse response;
        std::uint64_t bytesReceived = 0;
        bool exceededLimit = false;
    };

    static constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

    // GET, the whole body in memory. A body longer than `maxBodyBytes` fails with
    // dataLengthExceedsMaximum.
    static DataResult data(const URLRequest& request, std::stop_token stop = {},
                           std::uint64_t maxBodyBytes = unlimited);

    // GET that ends as soon as the final response's headers have arrived; the body is not read.
    static HTTPURLResponse responseHead(const URLRequest& request, std::stop_token stop = {});

    // GET, the body streamed to a fresh file. A body longer than `maxBytes` is stopped there
    // (exceededLimit); any failure removes the partial file.
    static DownloadResult download(const URLRequest& request, std::stop_token stop = {},
                                   std::uint64_t maxBytes = unlimited);
};

} // namespace platform::net

} // namespace MivoKit
