#pragma once
// Certificates for the TLS listener of the stand-in, made at test time: a test CA, a server
// certificate for "localhost" and 127.0.0.1 signed by it, and a self-signed one for the same
// names. Built once per process on first use; any thread.

#include <string>

struct TestCertificates {
    std::string caPem;         // the test CA's certificate
    std::string serverCertPem; // "localhost" and 127.0.0.1, signed by the test CA
    std::string serverKeyPem;
    std::string selfSignedPem; // the same names, signed by its own key
    std::string selfSignedKeyPem;
    std::string error; // why the set could not be made; empty when it was

    static const TestCertificates& Get();
};
