#pragma once
// A self-signed certificate made at test time for local TLS peers: subject CN=localhost with the
// names DNS:localhost and IP:127.0.0.1, an EC P-256 key, valid from an hour ago for a day.

#include <string>

namespace testsupport {

struct TestCertificate {
    std::string certificatePem;
    std::string privateKeyPem;
};

// Made once per process and then reused.
const TestCertificate& localhostCertificate();

// A certificate of the same kind for other names, e.g. ("example.test", "DNS:example.test"), to
// check that clients verify the host name.
TestCertificate makeCertificate(const std::string& commonName, const std::string& subjectAltNames);

} // namespace testsupport
