#pragma once

// A certificate authority and server certificates that a test makes with
// the openssl command. Nothing outside the test trusts the authority; a test
// trusts it by naming CAFile (the "SMTPCAFile" setting).

#include <string>

struct TTestCertificates {
    // The authority's certificate.
    std::string CAFile;
    // For 127.0.0.1 and localhost, signed by the authority.
    std::string CertFile;
    std::string KeyFile;
    // For mail.other.test only, signed by the same authority.
    std::string OtherCertFile;
    std::string OtherKeyFile;
};

// Made once per test program in a private temporary folder, removed when
// the program ends. Fails the test (and raises) when openssl fails.
const TTestCertificates& TestCertificates();
