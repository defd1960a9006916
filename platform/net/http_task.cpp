#include "platform/net/http_task.hpp"

#include "platform/files/directories.hpp"
#include "platform/net/trust_store.hpp"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>

namespace MivoKit {

namespace fs = std::filesystem;

namespace platform::net {
namespace {

constexpr long kMaxRedirects = 16;

std::string_view codeText(URLErrorCode code) {
    switch (code) {
    case URLErrorCode::unknown: return "An unknown error occurred.";
    case URLErrorCode::cancelled: return "The request was cancelled.";
    case URLErrorCode::badURL: return "The URL is not valid.";
    case URLErrorCode::unsupportedURL: return "The URL's scheme is not supported.";
    case URLErrorCode::timedOut: return "The request timed out.";
    case URLErrorCode::cannotFindHost: return "The server's host name could not be resolved.";
    case URLErrorCode::cannotConnectToHost: return "Could not connect to the server.";
    case URLErrorCode::networkConnectionLost: return "The network connection was lost.";
    case URLErrorCode::secureConnectionFailed: return "A secure connection to the server could not be made.";
    case URLErrorCode::tooManyRedirects: return "The request was redirected too many times.";
    case URLErrorCode::badServerResponse: return "The server sent a response that could not be understood.";
    case URLErrorCode::dataLengthExceedsMaximum: return "The response is larger than allowed.";
    case URLErrorCode::cannotCreateFile: return "The download file could not be created.";
    case URLErrorCode::cannotWriteToFile: return "The download file could not be written.";
    }
    return "An unknown error occurred.";
}

std::string describe(URLErrorCode code, std::string_view detail) {
    std::string text(codeText(code));
    if (!detail.empty()) {
        text += " (";
        text += detail;
        text += ")";
    }
    return text;
}

URLErrorCode codeFor(CURLcode result) {
    switch (result) {
    case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorCode::unsupportedURL;
    case CURLE_URL_MALFORMAT: return URLErrorCode::badURL;
    case CURLE_COULDNT_RESOLVE_HOST: return URLErrorCode::cannotFindHost;
    case CURLE_COULDNT_CONNECT: return URLErrorCode::cannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return URLErrorCode::timedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: return URLErrorCode::secureConnectionFailed;
    case CURLE_TOO_MANY_REDIRECTS: return URLErrorCode::tooManyRedirects;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING: return URLErrorCode::networkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return URLErrorCode::badServerResponse;
    case CURLE_ABORTED_BY_CALLBACK: return URLErrorCode::cancelled;
    default: return URLErrorCode::unknown;
    }
}

void initialiseCurl() {
    static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    if (!done) throw URLError(URLErrorCode::unknown, "libcurl could not be initialised");
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// Adds the trust store's certificates to the connection's store, after the system's.
CURLcode addTrustedCertificates(CURL*, void* sslContext, void*) {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    for (const auto& pem : trustedCertificates()) {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                      &BIO_free);
        if (!bio) continue;
        while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
            X509_STORE_add_cert(store, cert); // a duplicate is refused harmlessly
            X509_free(cert);
        }
    }
    ERR_clear_error(); // the end of each PEM bundle leaves an error behind
    return CURLE_OK;
}

// One easy handle and what its callbacks collect.
class Transfer {
public:
    // Receives body bytes; returns false to stop the transfer.
    using Sink = std::function<bool(const char* data, std::size_t size)>;
    enum class Stop { none, afterHeaders, bySink };

    Transfer(const URLRequest& request, std::stop_token stop, Sink sink, bool stopAfterHeaders)
        : stop_(std::move(stop)), sink_(std::move(sink)), stopAfterHeaders_(stopAfterHeaders) {
        initialiseCurl();
        for (const auto& [name, value] : request.headers) {
            const std::string line = name + ": " + value;
            curl_slist* next = curl_slist_append(headers_.get(), line.c_str());
            if (next == nullptr) throw URLError(URLErrorCode::unknown, "out of memory");
            // The returned head is the old one, or the new node when the list was empty.
            (void)headers_.release();
            headers_.reset(next);
        }
        easy_.reset(curl_easy_init());
        if (!easy_) throw URLError(URLErrorCode::unknown, "no transfer handle");
        const double timeout =
            std::isfinite(request.timeoutInterval) && request.timeoutInterval > 0 ? request.timeoutInterval : 60.0;

        errorBuffer_[0] = '\0';
        curl_easy_setopt(easy_.get(), CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy_.get(), CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(easy_.get(), CURLOPT_HTTPHEADER, headers_.get());
        curl_easy_setopt(easy_.get(), CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy_.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy_.get(), CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy_.get(), CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(easy_.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_.get(), CURLOPT_ERRORBUFFER, errorBuffer_);
        idleTimeout_ =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(timeout, 1e6)));
        curl_easy_setopt(easy_.get(), CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min(timeout, 1e6) * 1000));
        curl_easy_setopt(easy_.get(), CURLOPT_SSL_CTX_FUNCTION, &addTrustedCertificates);
        curl_easy_setopt(easy_.get(), CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy_.get(), CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy_.get(), CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(easy_.get(), CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy_.get(), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy_.get(), CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
        curl_easy_setopt(easy_.get(), CURLOPT_XFERINFODATA, this);
    }

    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Runs the transfer. Returns why it stopped early (none when it ran to the end); throws URLError
    // for every other failure.
    Stop perform() {
        if (stop_.stop_requested()) throw URLError(URLErrorCode::cancelled);
        lastActivity_ = Clock::now();
        const CURLcode result = curl_easy_perform(easy_.get());
        if (result == CURLE_WRITE_ERROR && stoppedBy_ != Stop::none) return finish(stoppedBy_);
        if (result != CURLE_OK) {
            if (result == CURLE_ABORTED_BY_CALLBACK && stop_.stop_requested()) throw URLError(URLErrorCode::cancelled);
            if (result == CURLE_ABORTED_BY_CALLBACK && idle_)
                throw URLError(URLErrorCode::timedOut, "no data for the request's timeout interval");
            const char* detail = errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(result);
            throw URLError(codeFor(result), detail);
        }
        if (!headersComplete_) throw URLError(URLErrorCode::badServerResponse, "no HTTP response");
        return finish(Stop::none);
    }

    const HTTPURLResponse& response() const { return response_; }

private:
    Stop finish(Stop how) {
        char* url = nullptr;
        if (curl_easy_getinfo(easy_.get(), CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url != nullptr) response_.url = url;
        return how;
    }

    // Headers of every response arrive here, redirects and interim responses included; only the
    // final response's are kept.
    static std::size_t onHeader(char* buffer, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        self->lastActivity_ = Clock::now();
        const std::size_t total = size * count;
        const std::string_view line(buffer, total);
        if (line.starts_with("HTTP/")) {
            self->response_.headerFields.clear();
            self->headersComplete_ = false;
            return total;
        }
        if (trim(line).empty()) {
            long status = 0;
            curl_easy_getinfo(self->easy_.get(), CURLINFO_RESPONSE_CODE, &status);
            const bool interim = status >= 100 && status < 200;
            const bool redirect = status >= 300 && status < 400 && self->response_.value("Location").has_value();
            if (interim || redirect) return total;
            self->response_.statusCode = status;
            self->headersComplete_ = true;
            if (self->stopAfterHeaders_) {
                self->stoppedBy_ = Stop::afterHeaders;
                return 0;
            }
            return total;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            self->response_.headerFields.emplace_back(std::string(trim(line.substr(0, colon))),
                                                      std::string(trim(line.substr(colon + 1))));
        }
        return total;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto* self = static_cast<Transfer*>(user);
        self->lastActivity_ = Clock::now();
        const std::size_t total = size * count;
        if (!self->sink_(data, total)) {
            self->stoppedBy_ = Stop::bySink;
            return 0;
        }
        return total;
    }

    // Called about once a second and whenever data moves: ends cancelled and idle transfers.
    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto* self = static_cast<Transfer*>(user);
        if (self->stop_.stop_requested()) return 1;
        if (Clock::now() - self->lastActivity_ > self->idleTimeout_) {
            self->idle_ = true;
            return 1;
        }
        return 0;
    }

    using Clock = std::chrono::steady_clock;

    struct EasyCleanup {
        void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
    };
    struct ListCleanup {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    std::unique_ptr<curl_slist, ListCleanup> headers_; // outlives the handle that points to it
    std::unique_ptr<CURL, EasyCleanup> easy_;
    char errorBuffer_[CURL_ERROR_SIZE];
    std::stop_token stop_;
    Sink sink_;
    bool stopAfterHeaders_ = false;
    bool headersComplete_ = false;
    Stop stoppedBy_ = Stop::none;
    HTTPURLResponse response_;
    // The request fails once nothing has arrived for idleTimeout_.
    Clock::duration idleTimeout_{};
    Clock::time_point lastActivity_{};
    bool idle_ = false;
};

// A fresh file in the private temporary directory, open for writing.
struct TemporaryFile {
    fs::path path;
    std::FILE* file = nullptr;

    TemporaryFile() {
        std::error_code ec;
        const fs::path directory = platform::files::temporaryDirectory();
        fs::create_directories(directory, ec);
        std::string name = (directory / "download-XXXXXX").string();
        const int fd = ::mkstemp(name.data());
        if (fd < 0) throw URLError(URLErrorCode::cannotCreateFile, name);
        file = ::fdopen(fd, "wb");
        if (file == nullptr) {
            ::close(fd);
            ::unlink(name.c_str());
            throw URLError(URLErrorCode::cannotCreateFile, name);
        }
        path = name;
    }

    ~TemporaryFile() {
        if (file != nullptr) std::fclose(file);
        if (!path.empty()) {
            std::error_code ec;
            fs::remove(path, ec);
        }
    }

    // Closes the file and hands over its path; it is no longer removed here.
    fs::path keep() {
        const int closed = std::fclose(file);
        file = nullptr;
        if (closed != 0) throw URLError(URLErrorCode::cannotWriteToFile, path.string());
        return std::exchange(path, fs::path());
    }
};

} // namespace

URLError::URLError(URLErrorCode code, std::string_view detail)
    : std::runtime_error(describe(code, detail)), code_(code) {}

std::optional<std::string> HTTPURLResponse::value(std::string_view field) const {
    for (const auto& [name, v] : headerFields)
        if (equalsNoCase(name, field)) return v;
    return std::nullopt;
}

bool isValidURL(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return false;
    // libcurl reads "https:///v1/x" as the host "v1"; an empty authority is only normal for files.
    if (const auto separator = text.find("://"); separator != std::string_view::npos &&
                                                 text.substr(separator + 3).starts_with('/') &&
                                                 !equalsNoCase(text.substr(0, separator), "file"))
        return false;
    initialiseCurl();
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
    if (!url) return false;
    if (curl_url_set(url.get(), CURLUPART_URL, std::string(text).c_str(), 0) != CURLUE_OK) return false;
    char* scheme = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) return false;
    const bool isFile = equalsNoCase(scheme, "file");
    curl_free(scheme);
    if (isFile) return true;
    char* host = nullptr;
    if (curl_url_get(url.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK) return false;
    const bool hasHost = host != nullptr && *host != '\0';
    curl_free(host);
    return hasHost;
}

URLSession::DataResult URLSession::data(const URLRequest& request, std::stop_token stop, std::uint64_t maxBodyBytes) {
    DataResult result;
    Transfer transfer(
        request, std::move(stop),
        [&](const char* bytes, std::size_t size) {
            if (size > maxBodyBytes - std::min<std::uint64_t>(maxBodyBytes, result.body.size())) return false;
            result.body.append(bytes, size);
            return true;
        },
        false);
    if (transfer.perform() == Transfer::Stop::bySink)
        throw URLError(URLErrorCode::dataLengthExceedsMaximum, std::to_string(maxBodyBytes) + " bytes at most");
    result.response = transfer.response();
    return result;
}

HTTPURLResponse URLSession::responseHead(const URLRequest& request, std::stop_token stop) {
    Transfer transfer(
        request, std::move(stop), [](const char*, std::size_t) { return false; }, true);
    transfer.perform();
    return transfer.response();
}

URLSession::DownloadResult URLSession::download(const URLRequest& request, std::stop_token stop,
                                                std::uint64_t maxBytes) {
    TemporaryFile file;
    DownloadResult result;
    bool writeFailed = false;
    Transfer transfer(
        request, std::move(stop),
        [&](const char* bytes, std::size_t size) {
            const std::uint64_t room = maxBytes - std::min(maxBytes, result.bytesReceived);
            if (size > room) {
                result.bytesReceived += size;
                result.exceededLimit = true;
                return false;
            }
            if (std::fwrite(bytes, 1, size, file.file) != size) {
                writeFailed = true;
                return false;
            }
            result.bytesReceived += size;
            return true;
        },
        false);
    transfer.perform();
    result.response = transfer.response();
    if (writeFailed) throw URLError(URLErrorCode::cannotWriteToFile, file.path.string());
    if (!result.exceededLimit) result.location = file.keep();
    return result;
}

} // namespace platform::net

} // namespace MivoKit
