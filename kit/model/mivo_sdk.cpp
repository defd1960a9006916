#include "kit/model/mivo_sdk.hpp"

#include "platform/files/directories.hpp"

namespace MivoKit {

std::filesystem::path MivoSDK::Configuration::charactersDirectoryUrl() {
    return platform::files::documentsDirectory() / "MvCharacters";
}

MivoSDK& MivoSDK::shared() {
    // Created exactly once, also under concurrent first use, and never destroyed: background
    // tasks and the network thread may still read the settings while the process exits.
    static auto* instance = new MivoSDK();
    return *instance;
}

MivoSDK::MivoSDK() { resetToInitialValues(); }

void MivoSDK::resetToInitialValues() {
    std::lock_guard lock(mutex_);
    configuration_ = Configuration(DowngradePlan::none, std::nullopt, "");
    currentEnvironment_ = Environment::release;
    domainsMap_ = {{Environment::release, releaseDomain}, {Environment::develop, developDomain}};
    isVerified_ = false;
    sessionToken_.clear();
    headers_.reset();
    delegate_.reset();
}

void MivoSDK::setup(std::string sessionToken, Configuration configuration, std::optional<Headers> headers,
                    const std::shared_ptr<MivoSDKDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    configuration_ = std::move(configuration);
    delegate_ = delegate;
    sessionToken_ = std::move(sessionToken);
    headers_ = std::move(headers);
}

void MivoSDK::update(Configuration configuration) {
    std::lock_guard lock(mutex_);
    configuration_ = std::move(configuration);
}

void MivoSDK::updateHeaders(std::optional<Headers> headers) {
    std::lock_guard lock(mutex_);
    headers_ = std::move(headers);
}

void MivoSDK::setUpEnvironment(Environment environment) {
    std::lock_guard lock(mutex_);
    currentEnvironment_ = environment;
}

void MivoSDK::set(std::string domain, Environment inEnvironment) {
    std::lock_guard lock(mutex_);
    domainsMap_[inEnvironment] = std::move(domain);
}

void MivoSDK::resetDomains() {
    std::lock_guard lock(mutex_);
    domainsMap_ = {{Environment::release, releaseDomain}, {Environment::develop, developDomain}};
}

MivoSDK::Configuration MivoSDK::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

MivoSDK::Environment MivoSDK::currentEnvironment() const {
    std::lock_guard lock(mutex_);
    return currentEnvironment_;
}

std::map<MivoSDK::Environment, std::string> MivoSDK::domainsMap() const {
    std::lock_guard lock(mutex_);
    return domainsMap_;
}

std::string MivoSDK::currentDomain() const {
    std::lock_guard lock(mutex_);
    auto it = domainsMap_.find(currentEnvironment_);
    return it == domainsMap_.end() ? std::string() : it->second;
}

bool MivoSDK::isVerified() const {
    std::lock_guard lock(mutex_);
    return isVerified_;
}

void MivoSDK::setIsVerified(bool verified) {
    std::lock_guard lock(mutex_);
    isVerified_ = verified;
}

std::string MivoSDK::sessionToken() const {
    std::lock_guard lock(mutex_);
    return sessionToken_;
}

std::optional<MivoSDK::Headers> MivoSDK::headers() const {
    std::lock_guard lock(mutex_);
    return headers_;
}

std::shared_ptr<MivoSDKDelegate> MivoSDK::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

} // namespace MivoKit
