#include "support/scriptedserver.h"

#include "support/testcert.h"

#include <QElapsedTimer>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <chrono>

namespace {
constexpr int kStepTimeoutMs = 10000;
}

ScriptedServer::ScriptedServer()
{
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(m_listen, 4);
    socklen_t len = sizeof addr;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
}

ScriptedServer::~ScriptedServer()
{
    finish(1);
    if (m_thread.joinable()) {
        ::shutdown(m_listen, SHUT_RDWR);
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
    }
    if (m_ssl)
        SSL_free(static_cast<SSL*>(m_ssl));
    if (m_ctx)
        SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
    if (m_fd >= 0)
        ::close(m_fd);
    ::close(m_listen);
}

ScriptedServer& ScriptedServer::send(const QByteArray& bytes)
{
    m_steps.append(Step{Step::Send, bytes});
    return *this;
}

ScriptedServer& ScriptedServer::expect(const QByteArray& line)
{
    m_steps.append(Step{Step::Expect, line});
    return *this;
}

ScriptedServer& ScriptedServer::readLine()
{
    m_steps.append(Step{Step::ReadLine, {}});
    return *this;
}

ScriptedServer& ScriptedServer::readData()
{
    m_steps.append(Step{Step::ReadData, {}});
    return *this;
}

ScriptedServer& ScriptedServer::readChunk()
{
    m_steps.append(Step{Step::ReadChunk, {}});
    return *this;
}

ScriptedServer& ScriptedServer::pause(int ms)
{
    m_steps.append(Step{Step::Pause, {}, ms});
    return *this;
}

ScriptedServer& ScriptedServer::mark()
{
    m_steps.append(Step{Step::Mark, {}});
    return *this;
}

ScriptedServer& ScriptedServer::close()
{
    m_steps.append(Step{Step::Close, {}});
    return *this;
}

ScriptedServer& ScriptedServer::reset()
{
    m_steps.append(Step{Step::Reset, {}});
    return *this;
}

ScriptedServer& ScriptedServer::startTls(const TestCert& cert)
{
    Step s{Step::StartTls, {}};
    s.cert = &cert;
    m_steps.append(s);
    return *this;
}

ScriptedServer& ScriptedServer::drain()
{
    m_steps.append(Step{Step::Drain, {}});
    return *this;
}

void ScriptedServer::start()
{
    m_thread = std::thread([this] { run(); });
}

bool ScriptedServer::finish(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        {
            std::lock_guard lock(m_mutex);
            if (m_done)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::lock_guard lock(m_mutex);
    return m_done;
}

bool ScriptedServer::marked() const
{
    std::lock_guard lock(m_mutex);
    return m_marked;
}

bool ScriptedServer::waitForMark(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        {
            std::lock_guard lock(m_mutex);
            if (m_marked || m_done)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::lock_guard lock(m_mutex);
    return m_marked;
}

QByteArray ScriptedServer::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

QStringList ScriptedServer::problems() const
{
    std::lock_guard lock(m_mutex);
    return m_problems;
}

bool ScriptedServer::fill()
{
    if (m_ssl && SSL_pending(static_cast<SSL*>(m_ssl)) == 0) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, kStepTimeoutMs) <= 0)
            return false;
    } else if (!m_ssl) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, kStepTimeoutMs) <= 0)
            return false;
    }
    char buffer[65536];
    const int n = m_ssl ? SSL_read(static_cast<SSL*>(m_ssl), buffer, sizeof buffer)
                        : int(::recv(m_fd, buffer, sizeof buffer, 0));
    if (n <= 0)
        return false;
    m_in.append(buffer, n);
    std::lock_guard lock(m_mutex);
    m_received.append(buffer, n);
    return true;
}

bool ScriptedServer::readOneLine(QByteArray& line)
{
    for (;;) {
        const qsizetype lf = m_in.indexOf('\n');
        if (lf >= 0) {
            line = m_in.left(lf);
            if (line.endsWith('\r'))
                line.chop(1);
            m_in.remove(0, lf + 1);
            return true;
        }
        if (!fill())
            return false;
    }
}

bool ScriptedServer::writeAll(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const int n = m_ssl ? SSL_write(static_cast<SSL*>(m_ssl), bytes.constData() + done, int(bytes.size() - done))
                            : int(::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL));
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

void ScriptedServer::run()
{
    auto problem = [this](const QString& text) {
        std::lock_guard lock(m_mutex);
        m_problems.append(text);
    };
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, kStepTimeoutMs) > 0)
        m_fd = ::accept(m_listen, nullptr, nullptr);
    if (m_fd < 0) {
        problem(QStringLiteral("no client connected"));
    } else {
        ++m_accepted;
        const int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        for (const Step& step : m_steps) {
            QByteArray line;
            bool ok = true;
            switch (step.kind) {
            case Step::Send:
                ok = writeAll(step.data);
                break;
            case Step::Expect:
                ok = readOneLine(line);
                if (ok && line != step.data)
                    problem(QStringLiteral("expected \"%1\", got \"%2\"").arg(QString::fromLatin1(step.data), QString::fromLatin1(line)));
                break;
            case Step::ReadLine:
                ok = readOneLine(line);
                break;
            case Step::ReadData:
                do {
                    ok = readOneLine(line);
                } while (ok && line != ".");
                break;
            case Step::ReadChunk: {
                ok = readOneLine(line);
                const QList<QByteArray> words = line.split(' ');
                bool sized = false;
                const qsizetype size = words.value(1).toLongLong(&sized);
                if (ok && (words.size() != 3 || words[0] != "BDAT" || !sized || words[2] != "LAST")) {
                    problem(QStringLiteral("expected \"BDAT <size> LAST\", got \"%1\"").arg(QString::fromLatin1(line)));
                    ok = false;
                }
                while (ok && m_in.size() < size)
                    ok = fill();
                if (ok)
                    m_in.remove(0, size);
                break;
            }
            case Step::Pause:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                break;
            case Step::Mark: {
                std::lock_guard lock(m_mutex);
                m_marked = true;
                break;
            }
            case Step::Close:
                if (m_ssl)
                    SSL_shutdown(static_cast<SSL*>(m_ssl));
                ::shutdown(m_fd, SHUT_RDWR);
                break;
            case Step::Reset: {
                const linger abrupt{1, 0};
                ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
                ::close(m_fd);
                m_fd = -1;
                break;
            }
            case Step::StartTls: {
                SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
                SSL_CTX_use_certificate(ctx, step.cert->cert);
                SSL_CTX_use_PrivateKey(ctx, step.cert->key);
                SSL* ssl = SSL_new(ctx);
                SSL_set_fd(ssl, m_fd);
                m_ctx = ctx;
                m_ssl = ssl;
                ok = SSL_accept(ssl) == 1;
                break;
            }
            case Step::Drain:
                while (fill()) {
                }
                break;
            }
            if (!ok) {
                problem(QStringLiteral("step %1 could not complete").arg(int(step.kind)));
                break;
            }
        }
    }
    std::lock_guard lock(m_mutex);
    m_done = true;
}
