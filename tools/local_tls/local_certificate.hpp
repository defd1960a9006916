#pragma once
// A self-signed certificate made at run time for TLS servers on this machine: subject CN=localhost
// with the names DNS:localhost and IP:127.0.0.1, an EC P-256 key, valid from an hour ago for a day.
// A client trusts it by adding its PEM text (platform::net::addTrustedCertificate). The functions
// may be called from any thread.

#include <string>

namespace local_tls {

struct LocalCertificate {
    std::string certificatePem;
    std::string privateKeyPem;
};

// Made once per process and then reused.
const LocalCertificate& localhostCertificate();

// A certificate of the same kind for other names, e.g. ("example.test", "DNS:example.test"), to
// check that clients verify the host name.
LocalCertificate makeCertificate(const std::string& commonName, const std::string& subjectAltNames);

} // namespace local_tls
