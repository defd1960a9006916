#pragma once
// Certificates the kit trusts in addition to the system's store, for every TLS connection it makes
// (WebSockets and HTTPS fetches). Tests use it to trust the certificate of their own local peer.

#include <string>
#include <vector>

namespace MivoKit {

namespace platform::net {

// Adds one PEM-encoded certificate (or a bundle of several) to the trusted set.
void addTrustedCertificate(std::string pem);
// Forgets every added certificate.
void clearTrustedCertificates();
// The added certificates, in the order they were added.
std::vector<std::string> trustedCertificates();

} // namespace platform::net

} // namespace MivoKit
