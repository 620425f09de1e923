#include "core/smtp/securetransport.h"

#include "core/error.h"

#include <QDeadlineTimer>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <cerrno>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

[[noreturn]] void failWith(const char* text, ErrorKind kind = ErrorKind::Tls, const QString& detail = {})
{
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    throw BrevoraError(kind, QString::fromLatin1(text))
        .withDetail(!detail.isEmpty() ? detail : reason ? QString::fromLatin1(reason) : QString());
}

bool isIpAddress(const QString& host)
{
    const QByteArray text = host.toLatin1();
    unsigned char buffer[16];
    return inet_pton(AF_INET, text.constData(), buffer) == 1 || inet_pton(AF_INET6, text.constData(), buffer) == 1;
}

QString fingerprintOf(X509* cert)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!X509_digest(cert, EVP_sha256(), digest, &length))
        return {};
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex(':').toUpper());
}

QString subjectOf(X509* cert)
{
    char buffer[512] = {};
    X509_NAME_oneline(X509_get_subject_name(cert), buffer, sizeof buffer - 1);
    return QString::fromUtf8(buffer);
}

} // namespace

QString NormalizeFingerprint(const QString& text)
{
    QString hex = text.trimmed();
    hex.remove(':');
    if (hex.size() != 64)
        return {};
    for (QChar c : hex)
        if (!isxdigit(c.toLatin1()))
            return {};
    return QString::fromLatin1(QByteArray::fromHex(hex.toLatin1()).toHex(':').toUpper());
}

bool AcceptServerChain(X509_STORE_CTX* chain, const QString& host, const CertificateDecision& decision)
{
    const QByteArray hostBytes = host.toUtf8();
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(chain);
    if (isIpAddress(host))
        X509_VERIFY_PARAM_set1_ip_asc(param, hostBytes.constData());
    else
        X509_VERIFY_PARAM_set1_host(param, hostBytes.constData(), size_t(hostBytes.size()));
    if (X509_verify_cert(chain) == 1)
        return true;
    X509* cert = X509_STORE_CTX_get0_cert(chain);
    if (!cert || !decision)
        return false;
    const CertificateInfo info{host, fingerprintOf(cert), subjectOf(cert),
                               QString::fromLatin1(X509_verify_cert_error_string(X509_STORE_CTX_get_error(chain)))};
    if (!decision(info))
        return false;
    X509_STORE_CTX_set_error(chain, X509_V_OK);
    return true;
}

SecureTransport::~SecureTransport()
{
    release();
}

void SecureTransport::release()
{
    if (m_ssl)
        SSL_free(m_ssl);
    if (m_ctx)
        SSL_CTX_free(m_ctx);
    m_ssl = nullptr;
    m_ctx = nullptr;
}

bool SecureTransport::connectWithin(int timeoutMs)
{
    // The handshake as a whole is bounded, however slowly the server answers: the socket does
    // not block while it runs, and every wait gets what is left of the time.
    const int fd = SSL_get_fd(m_ssl);
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    QDeadlineTimer deadline(timeoutMs > 0 ? timeoutMs : -1);
    bool connected = false;
    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(m_ssl);
        if (result == 1) {
            connected = true;
            break;
        }
        const int error = SSL_get_error(m_ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            break;
        pollfd p{fd, short(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        const qint64 remaining = deadline.isForever() ? -1 : deadline.remainingTime();
        if (remaining == 0 || ::poll(&p, 1, int(remaining)) <= 0) {
            errno = ETIMEDOUT;
            break;
        }
    }
    fcntl(fd, F_SETFL, flags);
    return connected;
}

void SecureTransport::handshake(int fd, const QString& host, const CertificateDecision& decision, int timeoutMs)
{
    release();
    if (OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) <= 0)
        failWith("Could not load SSL library.");
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (!m_ctx)
        failWith("Error creating SSL context.");
    SSL_CTX_set_min_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(m_ctx);
    // Verification is decided after the handshake, so a failure can be put to the caller.
    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, nullptr);
    if (SSL_CTX_set_cipher_list(m_ctx, "DEFAULT") <= 0)
        failWith("SetCipher failed.");

    m_ssl = SSL_new(m_ctx);
    if (!m_ssl) {
        release();
        failWith("Error connecting with SSL.");
    }
    if (SSL_set_ex_data(m_ssl, 0, this) < 1) {
        release();
        failWith("Error binding data to SSL socket.");
    }
    const QByteArray hostBytes = host.toUtf8();
    if (!isIpAddress(host))
        SSL_set_tlsext_host_name(m_ssl, hostBytes.constData());
    if (isIpAddress(host))
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), hostBytes.constData());
    else
        SSL_set1_host(m_ssl, hostBytes.constData());
    SSL_set_fd(m_ssl, fd);
    // One read takes in every record that has arrived, rather than a record's header and then its body.
    SSL_set_read_ahead(m_ssl, 1);
    if (!connectWithin(timeoutMs)) {
        release();
        failWith("Error connecting with SSL.");
    }

    const long verify = SSL_get_verify_result(m_ssl);
    X509* cert = SSL_get1_peer_certificate(m_ssl);
    if (!cert) {
        release();
        failWith("Error connecting with SSL.");
    }
    if (verify != X509_V_OK) {
        CertificateInfo info{host, fingerprintOf(cert), subjectOf(cert),
                             QString::fromLatin1(X509_verify_cert_error_string(verify))};
        if (!decision || !decision(info)) {
            X509_free(cert);
            release();
            failWith("Error connecting with SSL.", ErrorKind::Certificate,
                     QStringLiteral("the certificate of %1 was not accepted: %2").arg(info.host, info.reason));
        }
    }
    X509_free(cert);
}

qint64 SecureTransport::read(char* buffer, qint64 size)
{
    if (!m_ssl) {
        errno = ENOTCONN;
        return -1;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        ERR_clear_error();
        const int n = SSL_read(m_ssl, buffer, int(qMin<qint64>(size, INT_MAX)));
        if (n > 0)
            return n;
        const int error = SSL_get_error(m_ssl, n);
        if (error == SSL_ERROR_ZERO_RETURN)
            return 0;
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        if (error == SSL_ERROR_SYSCALL && errno == 0)
            return 0; // the peer closed without close_notify
        if (error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK))
            errno = ETIMEDOUT;
        if (error == SSL_ERROR_SSL)
            errno = ECONNABORTED;
        return -1;
    }
    errno = ETIMEDOUT;
    return -1;
}

qint64 SecureTransport::write(const char* buffer, qint64 size)
{
    if (!m_ssl) {
        errno = ENOTCONN;
        return -1;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        ERR_clear_error();
        const int n = SSL_write(m_ssl, buffer, int(qMin<qint64>(size, INT_MAX)));
        if (n > 0)
            return n;
        const int error = SSL_get_error(m_ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                errno = ETIMEDOUT;
                return -1;
            }
            continue;
        }
        if (error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK))
            errno = ETIMEDOUT;
        else if (error != SSL_ERROR_SYSCALL)
            errno = ECONNABORTED;
        return -1;
    }
    errno = ETIMEDOUT;
    return -1;
}

void SecureTransport::shutdown()
{
    if (m_ssl) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
    }
    release();
}

TlsStream::TlsStream(std::unique_ptr<ByteStream> inner, SecureTransport* engine, const QString& host,
                     const CertificateDecision& decision, int timeoutMs)
    : m_inner(std::move(inner))
    , m_ownEngine(engine ? nullptr : std::make_unique<SecureTransport>())
    , m_engine(engine ? engine : m_ownEngine.get())
{
    m_engine->handshake(m_inner->socketDescriptor(), host, decision, timeoutMs);
}

TlsStream::~TlsStream()
{
    close();
}

void TlsStream::close()
{
    m_engine->shutdown();
    m_inner->close();
}
