#include "transport/smtpclient.h"

#include "common/codepage.h"
#include "common/errors.h"
#include "transport/messagewriter.h"
#include "transport/socketerror.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr qsizetype kMaxLineLength = 16384;
constexpr qint64 kReceiveChunk = 32768;

[[noreturn]] void fail(const QString& text)
{
    throw BrevoraError(text);
}

QByteArray crlf(const QByteArray& line)
{
    return line + "\r\n";
}

} // namespace

SmtpClient::SmtpClient()
{
    // A write to a peer that has gone must fail with EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

SmtpClient::~SmtpClient()
{
    closeLink(LinkState::None);
}

void SmtpClient::setAuthenticationType(AuthenticationKind kind)
{
    m_authType = kind;
    if (kind == AuthenticationKind::atLogin)
        m_useEhlo = true;
}

void SmtpClient::setUseEhlo(bool on)
{
    m_useEhlo = on;
    if (!on)
        m_authType = AuthenticationKind::atNone;
}

bool SmtpClient::Connected() const
{
    return m_fd >= 0 && m_state == LinkState::Open;
}

void SmtpClient::closeLink(LinkState after)
{
    if (m_tls) {
        m_tls->shutdown();
        m_tls = nullptr;
    }
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_WR);
        ::close(m_fd);
        m_fd = -1;
    }
    if (after == LinkState::None) {
        m_buffer.clear();
        m_bufferPos = 0;
    }
    if (m_state != LinkState::None || after == LinkState::None)
        m_state = after;
}

void SmtpClient::failSocket(int posixErrno, bool closes)
{
    if (closes)
        closeLink(LinkState::None);
    fail(SocketErrorFromErrno(posixErrno));
}

void SmtpClient::connectSocket()
{
    QString host = Host;
    if (host.compare(QLatin1String("LOCALHOST"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const QByteArray hostBytes = host.toUtf8();
    const QByteArray portBytes = QByteArray::number(Port);
    if (host.isEmpty() || Port <= 0 || Port > 65535
        || getaddrinfo(hostBytes.constData(), portBytes.constData(), &hints, &found) != 0 || !found)
        fail(SocketErrorMessage(11001));

    int lastError = ECONNREFUSED;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            if (!a->ai_next && (lastError == EMFILE || lastError == ENFILE || lastError == ENOBUFS)) {
                freeaddrinfo(found);
                fail(QStringLiteral("Cannot allocate socket."));
            }
            continue;
        }
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int result = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, ReadTimeout > 0 ? ReadTimeout : -1);
            if (ready == 0) {
                errno = ETIMEDOUT;
            } else if (ready > 0) {
                int soError = 0;
                socklen_t len = sizeof soError;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
                errno = soError;
                result = soError == 0 ? 0 : -1;
            }
        }
        if (result != 0) {
            lastError = errno;
            ::close(fd);
            continue;
        }
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (ReadTimeout > 0) {
            timeval tv{ReadTimeout / 1000, (ReadTimeout % 1000) * 1000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        }
        freeaddrinfo(found);
        m_fd = fd;
        m_state = LinkState::Open;
        return;
    }
    freeaddrinfo(found);
    fail(SocketErrorFromErrno(lastError));
}

void SmtpClient::startTls(SecureTransport* transport)
{
    try {
        transport->handshake(m_fd, Host, m_decision);
    } catch (...) {
        closeLink(LinkState::None);
        throw;
    }
    m_tls = transport;
}

void SmtpClient::writeBytes(const QByteArray& bytes)
{
    if (m_state == LinkState::PeerClosed)
        fail(QStringLiteral("Connection Closed Gracefully."));
    if (m_fd < 0)
        fail(QStringLiteral("Not Connected"));
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = m_tls ? m_tls->write(bytes.constData() + done, bytes.size() - done)
                               : ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        const int e = n == 0 ? EPIPE : errno;
        if (e == EINTR)
            continue;
        failSocket(e == EAGAIN || e == EWOULDBLOCK ? ETIMEDOUT : e, true);
    }
}

void SmtpClient::receiveMore()
{
    if (m_bufferPos > 0 && m_bufferPos == m_buffer.size()) {
        m_buffer.clear();
        m_bufferPos = 0;
    } else if (m_bufferPos > kReceiveChunk) {
        m_buffer.remove(0, m_bufferPos);
        m_bufferPos = 0;
    }
    const qsizetype old = m_buffer.size();
    m_buffer.resize(old + kReceiveChunk);
    qint64 n;
    do {
        n = m_tls ? m_tls->read(m_buffer.data() + old, kReceiveChunk) : ::recv(m_fd, m_buffer.data() + old, size_t(kReceiveChunk), 0);
    } while (n < 0 && errno == EINTR);
    const int e = errno;
    m_buffer.resize(old + qMax<qint64>(n, 0));
    if (n > 0)
        return;
    if (n == 0) {
        closeLink(LinkState::PeerClosed);
        return;
    }
    failSocket(e == EAGAIN || e == EWOULDBLOCK ? ETIMEDOUT : e, true);
}

QByteArray SmtpClient::readLine()
{
    for (;;) {
        const qsizetype lf = m_buffer.indexOf('\n', m_bufferPos);
        if (lf >= 0) {
            qsizetype end = lf;
            if (end > m_bufferPos && m_buffer.at(end - 1) == '\r')
                --end;
            if (end - m_bufferPos > kMaxLineLength) {
                closeLink(LinkState::None);
                fail(QStringLiteral("Max line length exceeded."));
            }
            const QByteArray line = m_buffer.mid(m_bufferPos, end - m_bufferPos);
            m_bufferPos = lf + 1;
            return line;
        }
        if (m_buffer.size() - m_bufferPos > kMaxLineLength + 1) {
            closeLink(LinkState::None);
            fail(QStringLiteral("Max line length exceeded."));
        }
        if (m_state == LinkState::PeerClosed)
            fail(QStringLiteral("Connection Closed Gracefully."));
        if (m_fd < 0)
            fail(QStringLiteral("Not Connected"));
        receiveMore();
    }
}

SmtpReply SmtpClient::awaitReply()
{
    if (m_workWhileWaiting && m_bufferPos == m_buffer.size())
        m_workWhileWaiting();
    return readReply();
}

SmtpReply SmtpClient::readReply()
{
    ReplyAssembler assembler;
    while (assembler.addLine(readLine()) == ReplyAssembler::Step::NeedMore) {
    }
    m_lastReply = SmtpReply::parse(assembler.lines());
    return m_lastReply;
}

void SmtpClient::check(const SmtpReply& reply, const QList<int>& accepted)
{
    if (reply.NumericCode == 421) {
        // The server is closing the transmission channel: nothing more can go over it.
        closeLink(LinkState::None);
        fail(reply.text());
    }
    if (!accepted.isEmpty() && !accepted.contains(reply.NumericCode))
        fail(reply.text());
}

int SmtpClient::sendCommand(const QByteArray& command, const QList<int>& accepted)
{
    writeBytes(crlf(command));
    const SmtpReply reply = readReply();
    check(reply, accepted);
    return reply.NumericCode;
}

void SmtpClient::identify()
{
    const QString name = HeloName.isEmpty() ? LocalHostName() : HeloName;
    CheckCommandArgument(QStringLiteral("greeting name"), name);
    m_caps = ServerCapabilities();
    if (m_useEhlo && sendCommand("EHLO " + CodePage::encode(name), {}) == 250) {
        m_caps = ServerCapabilities::fromEhlo(m_lastReply);
        return;
    }
    sendCommand("HELO " + CodePage::encode(name), {250});
}

void SmtpClient::greetAndIdentify()
{
    check(readReply(), {220});
    identify();
    if (!m_tls && UseStartTls && m_caps.startTls) {
        sendCommand("STARTTLS", {220});
        // Anything already buffered was sent before encryption and could be injected.
        if (m_bufferPos < m_buffer.size()) {
            closeLink(LinkState::None);
            fail(QStringLiteral("The server sent data before the TLS handshake."));
        }
        m_startTls = std::make_unique<SecureTransport>();
        startTls(m_startTls.get());
        identify();
    }
}

void SmtpClient::OpenSession()
{
    if (Connected())
        fail(QStringLiteral("Already connected."));
    closeLink(LinkState::None);
    m_caps = ServerCapabilities();
    m_authenticated = false;
    connectSocket();
    if (m_attachedTls)
        startTls(m_attachedTls);
    try {
        greetAndIdentify();
    } catch (...) {
        try {
            CloseSession();
        } catch (const BrevoraError&) {
        }
        throw;
    }
}

bool SmtpClient::LogIn()
{
    bool result = false;
    if (m_authType == AuthenticationKind::atLogin) {
        sendCommand("AUTH LOGIN", {334});
        sendCommand(CodePage::encode(Username).toBase64(), {334});
        sendCommand(CodePage::encode(Password).toBase64(), {235});
        result = true;
    }
    m_authenticated = true;
    return result;
}

void SmtpClient::DeliverMessage(const EmailMessage& message)
{
    Deliver(WriteOutgoing(message));
}

OutgoingMessage SmtpClient::WriteOutgoing(const EmailMessage& message) const
{
    // Everything that can be refused is checked and built before the first byte goes out, so a
    // failure never leaves the server inside the data phase.
    CheckMessageAddresses(message);
    EmailMessage toWrite = message;
    toWrite.ExtraHeaders.set("X-Mailer", CodePage::encode(MailAgent));
    WrittenMessage written = WriteMessage(toWrite, {m_caps.eightBitMime});
    OutgoingMessage out;
    out.mailFrom = "MAIL FROM:<" + CodePage::encode(message.From.Address) + '>';
    if (written.eightBit)
        out.mailFrom += " BODY=8BITMIME";
    for (const EmailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList})
        for (const EmailAddress& a : *list)
            out.rcpts.append("RCPT TO:<" + CodePage::encode(a.Address) + '>');
    out.data = std::move(written.data);
    out.data += ".\r\n";
    return out;
}

void SmtpClient::Deliver(const OutgoingMessage& message)
{
    if (m_caps.pipelining && !needsLogin())
        deliverPipelined(message.mailFrom, message.rcpts, message.data);
    else
        deliverLockstep(message.mailFrom, message.rcpts, message.data);
}

bool SmtpClient::needsLogin() const
{
    return m_authType != AuthenticationKind::atNone
        && m_caps.authSchemes.contains(QStringLiteral("LOGIN"), Qt::CaseInsensitive) && !m_authenticated;
}

void SmtpClient::deliverLockstep(const QByteArray& mailFrom, const QList<QByteArray>& rcpts, const QByteArray& data)
{
    sendCommand("RSET", {});
    if (needsLogin())
        LogIn();
    sendCommand(mailFrom, {250});
    for (const QByteArray& rcpt : rcpts)
        sendCommand(rcpt, {250, 251});
    sendCommand("DATA", {354});
    writeBytes(data);
    check(awaitReply(), {250});
}

void SmtpClient::deliverPipelined(const QByteArray& mailFrom, const QList<QByteArray>& rcpts, const QByteArray& data)
{
    QByteArray group = "RSET\r\n" + crlf(mailFrom);
    for (const QByteArray& rcpt : rcpts)
        group += crlf(rcpt);
    group += "DATA\r\n";
    writeBytes(group);

    // Every reply of the group is read, so the session stays in step; the first refusal decides.
    QString failure;
    check(awaitReply(), {});
    SmtpReply reply = readReply();
    check(reply, {});
    if (reply.NumericCode != 250)
        failure = reply.text();
    int acceptedRecipients = 0;
    for (qsizetype i = 0; i < rcpts.size(); ++i) {
        reply = readReply();
        check(reply, {});
        if (reply.NumericCode == 250 || reply.NumericCode == 251)
            ++acceptedRecipients;
        else if (failure.isEmpty())
            failure = reply.text();
    }
    reply = readReply();
    check(reply, {});
    if (reply.NumericCode != 354)
        fail(failure.isEmpty() ? reply.text() : failure);
    if (!failure.isEmpty()) {
        if (acceptedRecipients > 0) {
            // Ending the data now would deliver an empty message to the accepted recipients.
            closeLink(LinkState::None);
        } else {
            writeBytes(".\r\n");
            check(readReply(), {});
        }
        fail(failure);
    }
    writeBytes(data);
    check(awaitReply(), {250});
}

void SmtpClient::CloseSession()
{
    QString failure;
    if (Connected()) {
        try {
            writeBytes("QUIT\r\n");
        } catch (const BrevoraError& e) {
            failure = e.message();
        }
    }
    closeLink(LinkState::None);
    m_authenticated = false;
    if (!failure.isEmpty())
        fail(failure);
}
