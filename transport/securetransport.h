#pragma once

#include <QString>
#include <functional>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// A server certificate that did not verify, handed to the caller's decision.
struct CertificateInfo
{
    QString host;
    QString sha256;  // upper-case hexadecimal pairs joined by ":"
    QString subject;
    QString reason;
};

// Answers whether to go on with a certificate that did not verify.
using CertificateDecision = std::function<bool(const CertificateInfo&)>;

// Normalises a fingerprint as typed (pairs with or without colons, any case) to the form of
// CertificateInfo::sha256; empty when the text is not 64 hexadecimal digits.
QString NormalizeFingerprint(const QString& text);

// TLS over a connected socket: TLS 1.2 or later, the system's trust store, host name checked,
// SNI sent. Reads and writes report like recv/send: >0 data, 0 closed, <0 error (errno set).
class SecureTransport
{
public:
    SecureTransport() = default;
    ~SecureTransport();
    SecureTransport(const SecureTransport&) = delete;
    SecureTransport& operator=(const SecureTransport&) = delete;

    // Handshake on the socket; throws the transport's failure texts. A certificate that does not
    // verify is accepted only when the decision says so.
    void handshake(int fd, const QString& host, const CertificateDecision& decision);
    qint64 read(char* buffer, qint64 size);
    qint64 write(const char* buffer, qint64 size);
    // Sends close_notify and frees the connection; the socket stays the caller's.
    void shutdown();
    bool active() const { return m_ssl != nullptr; }
    const QString& status() const { return m_status; }

private:
    void release();

    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
    QString m_status;
};
