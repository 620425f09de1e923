#pragma once

#include <QString>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

// A self-signed certificate for localhost and 127.0.0.1, made for the test run.
struct TestCert
{
    TestCert();
    ~TestCert();
    TestCert(const TestCert&) = delete;
    TestCert& operator=(const TestCert&) = delete;

    // Writes cert.pem and key.pem into the folder (for the Python test server).
    void writePem(const QString& folder) const;

    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    QString sha256; // as CertificateInfo gives it
};
