#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "core/smtp/bytestream.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_store_ctx_st X509_STORE_CTX;

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

// For TLS run by another library (the bounce mailbox's): checks the server's chain and name as
// our own handshake does, and puts a certificate that fails to the decision. Answers whether to
// go on; the chain's error is cleared when the decision accepts it.
bool AcceptServerChain(X509_STORE_CTX* chain, const QString& host, const CertificateDecision& decision);

// TLS over a connected socket: TLS 1.2 or later, the system's trust store, host name checked,
// SNI sent. Reads and writes report like recv/send: >0 data, 0 closed, <0 error (errno set).
class SecureTransport
{
public:
    SecureTransport() = default;
    ~SecureTransport();
    SecureTransport(const SecureTransport&) = delete;
    SecureTransport& operator=(const SecureTransport&) = delete;

    // Handshake on the socket, within the time limit (milliseconds, 0: none); throws the
    // transport's failure texts. A certificate that does not verify is accepted only when the
    // decision says so.
    void handshake(int fd, const QString& host, const CertificateDecision& decision, int timeoutMs = 0);
    qint64 read(char* buffer, qint64 size);
    qint64 write(const char* buffer, qint64 size);
    // Sends close_notify and frees the connection; the socket stays the caller's.
    void shutdown();

private:
    void release();
    bool connectWithin(int timeoutMs);

    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
};

// A byte stream inside TLS, run over the socket of another stream, which it then owns.
class TlsStream : public ByteStream
{
public:
    // Handshakes at once; throws the transport's failure texts. The engine is the caller's (it
    // must outlive the stream) or, when null, one of the stream's own.
    TlsStream(std::unique_ptr<ByteStream> inner, SecureTransport* engine, const QString& host,
              const CertificateDecision& decision, int timeoutMs);
    ~TlsStream() override;

    qint64 read(char* buffer, qint64 size) override { return m_engine->read(buffer, size); }
    qint64 write(const char* buffer, qint64 size) override { return m_engine->write(buffer, size); }
    void close() override;
    int socketDescriptor() const override { return m_inner->socketDescriptor(); }
    void setReadTimeout(int ms) override { m_inner->setReadTimeout(ms); }

private:
    std::unique_ptr<ByteStream> m_inner;
    std::unique_ptr<SecureTransport> m_ownEngine;
    SecureTransport* m_engine;
};
