#include "platform/net/trust_store.hpp"

#include <mutex>

namespace MivoKit {

namespace platform::net {
namespace {

struct Store {
    std::mutex mutex;
    std::vector<std::string> pems;
};

// Never destroyed: HTTP transfers on background threads may still read it while the process exits.
Store& store() {
    static auto* s = new Store();
    return *s;
}

} // namespace

void addTrustedCertificate(std::string pem) {
    std::lock_guard lock(store().mutex);
    store().pems.push_back(std::move(pem));
}

void clearTrustedCertificates() {
    std::lock_guard lock(store().mutex);
    store().pems.clear();
}

std::vector<std::string> trustedCertificates() {
    std::lock_guard lock(store().mutex);
    return store().pems;
}

} // namespace platform::net

} // namespace MivoKit
