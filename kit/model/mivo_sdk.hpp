#pragma once
// The kit's process-wide settings object, reached as MivoSDK::shared().
//
// It only stores and returns values; nothing is sent until a manager starts. The loader reads it
// from background threads while the service writes isVerified on the main thread, so every field
// sits behind a private lock and is handed out as a copy; delegates are called by their callers,
// never while the lock is held.

#include "kit/model/raw_value.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace MivoKit {

class MivoSDKDelegate {
public:
    virtual ~MivoSDKDelegate() = default;
    // A realtime service has accepted the connection.
    virtual void avatarSDKDidStarted() = 0;
    // A realtime service has refused the session (HTTP status 401).
    virtual void avatarSDKFailedToStart() = 0;
};

class MivoSDK {
public:
    enum class DowngradePlan { none, playAudioWithIdleAnimation };
    enum class Environment { release, develop };
    enum class Error { VerifiedFailed, InvalidConfiguration };

    using Headers = std::map<std::string, std::string>;

    struct Configuration {
        DowngradePlan downgradePlan;
        std::optional<double> requestTimeout; // seconds; none means no request timer
        std::string audiovisualServiceUrl;    // full WebSocket URL without query

        Configuration(DowngradePlan downgradePlan, std::optional<double> requestTimeout,
                      std::string audiovisualServiceUrl)
            : downgradePlan(downgradePlan), requestTimeout(requestTimeout),
              audiovisualServiceUrl(std::move(audiovisualServiceUrl)) {}

        // Documents + "MvCharacters": the directory that holds one directory per character.
        // Neither creates nor tests it.
        static std::filesystem::path charactersDirectoryUrl();
    };

    static constexpr const char* releaseDomain = "api.mivokit.com";
    static constexpr const char* developDomain = "api-test.mivokit.com";

    // The single instance, created on first use with the initial values.
    static MivoSDK& shared();

    MivoSDK(const MivoSDK&) = delete;
    MivoSDK& operator=(const MivoSDK&) = delete;

    // Stores the configuration, the delegate (weakly), the session token and the headers.
    void setup(std::string sessionToken, Configuration configuration, std::optional<Headers> headers,
               const std::shared_ptr<MivoSDKDelegate>& delegate);
    void update(Configuration configuration);
    void updateHeaders(std::optional<Headers> headers);
    void setUpEnvironment(Environment environment);
    // Inserts or replaces the domain (a host name) of one environment.
    void set(std::string domain, Environment inEnvironment);
    // Puts the two built-in endpoints back.
    void resetDomains();
    std::string sdkVersion() const { return "1.0.0"; }

    Configuration configuration() const;
    Environment currentEnvironment() const;

    // ---- used inside the kit ----
    std::map<Environment, std::string> domainsMap() const;
    // The domain of the current environment.
    std::string currentDomain() const;
    bool isVerified() const;
    void setIsVerified(bool verified);
    std::string sessionToken() const;
    std::optional<Headers> headers() const;
    // The delegate, when the application still holds it.
    std::shared_ptr<MivoSDKDelegate> delegate() const;

    // Puts every field back to its initial value (for tests).
    void resetToInitialValues();

private:
    MivoSDK();

    mutable std::mutex mutex_;
    Configuration configuration_{DowngradePlan::none, std::nullopt, ""};
    Environment currentEnvironment_ = Environment::release;
    std::map<Environment, std::string> domainsMap_;
    bool isVerified_ = false;
    std::string sessionToken_;
    std::optional<Headers> headers_;
    std::weak_ptr<MivoSDKDelegate> delegate_;
};

template <>
struct RawValues<MivoSDK::Environment> {
    static constexpr std::array<std::pair<MivoSDK::Environment, std::string_view>, 2> table{{
        {MivoSDK::Environment::release, "release"},
        {MivoSDK::Environment::develop, "develop"},
    }};
};

} // namespace MivoKit

// Hashed by its raw text.
template <>
struct std::hash<MivoKit::MivoSDK::Environment> {
    std::size_t operator()(MivoKit::MivoSDK::Environment e) const noexcept {
        return std::hash<std::string_view>{}(MivoKit::toRaw(e));
    }
};
