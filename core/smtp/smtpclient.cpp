#include "core/smtp/smtpclient.h"

#include "core/error.h"
#include "core/smtp/socketstream.h"
#include "core/smtp/tokencommand.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <optional>

namespace {

constexpr qsizetype kMaxLineLength = 16384;
constexpr qint64 kReceiveChunk = 32768;
// After a write failed: how long replies already on their way are still waited for.
constexpr int kDrainMs = 2000;

QByteArray crlf(const QByteArray& line)
{
    return line + "\r\n";
}

} // namespace

SmtpClient::SmtpClient() = default;

void SmtpClient::copySettingsFrom(const SmtpClient& other)
{
    Host = other.Host;
    Port = other.Port;
    Username = other.Username;
    Password = other.Password;
    HeloName = other.HeloName;
    LargestMessage = other.LargestMessage;
    MailAgent = other.MailAgent;
    ReadTimeout = other.ReadTimeout;
    UseStartTls = other.UseStartTls;
    TokenCommand = other.TokenCommand;
    TokenTimeout = other.TokenTimeout;
    m_login = other.m_login;
    m_decision = other.m_decision;
    m_openStream = other.m_openStream;
}

SmtpClient::~SmtpClient()
{
    dropConnection();
}

void SmtpClient::dropConnection()
{
    m_interrupter.watch(-1);
    m_interrupter.setAwaitingFinalReply(false);
    if (m_stream)
        m_stream->close();
    m_stream.reset();
    m_readTimeoutSet = -1;
    m_secure = false;
    m_buffer.clear();
    m_bufferPos = 0;
    m_authenticated = false;
    m_writeFailure.reset();
    m_accepted = 0;
}

void SmtpClient::abortSession(const BrevoraError& error)
{
    // Reading on after a failed write ends in a closed or reset connection: the write said first
    // what went wrong.
    const BrevoraError shown = m_writeFailure && error.kind() == ErrorKind::Network && !m_interrupter.interrupted()
        ? *m_writeFailure
        : error;
    dropConnection();
    throw shown;
}

void SmtpClient::stopped()
{
    CloseSession();
    throw BrevoraError(ErrorKind::Network, QStringLiteral("Stopped."));
}

void SmtpClient::abortSession(ErrorKind kind, const QString& text)
{
    abortSession(BrevoraError(kind, text));
}

void SmtpClient::startTls(SecureTransport* engine)
{
    try {
        m_stream = std::make_unique<TlsStream>(std::move(m_stream), engine, Host, m_decision, ReadTimeout);
    } catch (const BrevoraError& e) {
        abortSession(e);
    }
    m_secure = true;
}

void SmtpClient::writeBytes(const QByteArray& bytes)
{
    if (m_writeFailure)
        return; // nothing more goes out; the reads that follow end the session
    if (!m_stream)
        abortSession(ErrorKind::Network, m_peerClosed ? QStringLiteral("Connection Closed Gracefully.") : QStringLiteral("Not Connected"));
    if (m_interrupter.stopsWrites())
        stopped();
    const auto failed = [this](const QString& text) {
        // What the server sent before the connection broke is read before the session fails:
        // among it may be the replies that say messages were delivered.
        m_writeFailure.emplace(ErrorKind::Network, text);
        m_drainDeadline = QDeadlineTimer(ReadTimeout > 0 ? qMin(ReadTimeout, kDrainMs) : kDrainMs);
    };
    if (m_peerClosed) {
        failed(QStringLiteral("Connection Closed Gracefully."));
        return;
    }
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = m_stream->write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0 && m_interrupter.interrupted())
            abortSession(ErrorKind::Network, QStringLiteral("Stopped."));
        if (n <= 0) {
            failed(SocketErrorFromErrno(n == 0 ? EPIPE : errno));
            return;
        }
        done += n;
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
    if (!m_replyDeadline.isForever()) {
        // The whole reply must arrive in time, however slowly its bytes come.
        const qint64 remaining = m_replyDeadline.remainingTime();
        if (remaining <= 0)
            abortSession(ErrorKind::Network, SocketErrorFromErrno(ETIMEDOUT));
        // Only a wait longer than what is left (by more than a tenth of a second) needs
        // shortening: the usual reply costs no call.
        if (m_readTimeoutSet < 0 || remaining + 100 < m_readTimeoutSet) {
            m_readTimeoutSet = int(qMax<qint64>(1, remaining));
            m_stream->setReadTimeout(m_readTimeoutSet);
        }
    }
    const qsizetype old = m_buffer.size();
    m_buffer.resize(old + kReceiveChunk);
    const qint64 n = m_stream->read(m_buffer.data() + old, kReceiveChunk);
    const int e = errno;
    m_buffer.resize(old + qMax<qint64>(n, 0));
    if (n <= 0 && m_interrupter.interrupted())
        stopped();
    if (n < 0)
        abortSession(ErrorKind::Network, SocketErrorFromErrno(e));
    if (n == 0) {
        // What the server sent before closing is still read; only then does the session fail.
        m_stream->close();
        m_peerClosed = true;
    }
}

QByteArray SmtpClient::readLine()
{
    for (;;) {
        const qsizetype lf = m_buffer.indexOf('\n', m_bufferPos);
        if (lf >= 0) {
            qsizetype end = lf;
            if (end > m_bufferPos && m_buffer.at(end - 1) == '\r')
                --end;
            if (end - m_bufferPos > kMaxLineLength)
                abortSession(ErrorKind::Network, QStringLiteral("Max line length exceeded."));
            const QByteArray line = m_buffer.mid(m_bufferPos, end - m_bufferPos);
            m_bufferPos = lf + 1;
            return line;
        }
        if (m_buffer.size() - m_bufferPos > kMaxLineLength + 1)
            abortSession(ErrorKind::Network, QStringLiteral("Max line length exceeded."));
        if (m_peerClosed)
            abortSession(ErrorKind::Network, QStringLiteral("Connection Closed Gracefully."));
        if (!m_stream)
            abortSession(ErrorKind::Network, QStringLiteral("Not Connected"));
        receiveMore();
    }
}

SmtpReply SmtpClient::readReply()
{
    m_replyDeadline = QDeadlineTimer(ReadTimeout > 0 ? ReadTimeout : -1);
    if (m_writeFailure && (m_replyDeadline.isForever() || m_drainDeadline < m_replyDeadline))
        m_replyDeadline = m_drainDeadline;
    ReplyAssembler assembler;
    try {
        while (assembler.addLine(readLine()) == ReplyAssembler::Step::NeedMore) {
        }
    } catch (const BrevoraError& e) {
        if (m_stream)
            abortSession(e); // a reply past its bounds: the session is out of step for good
        throw;
    }
    m_lastReply = SmtpReply::parse(assembler.lines());
    return m_lastReply;
}

bool SmtpClient::repliesArrived(qsizetype count) const
{
    // A reply ends with its line whose code is not followed by "-".
    for (qsizetype at = m_bufferPos; count > 0;) {
        const qsizetype lf = m_buffer.indexOf('\n', at);
        if (lf < 0)
            return false;
        if (lf - at < 4 || m_buffer.at(at + 3) != '-')
            --count;
        at = lf + 1;
    }
    return true;
}

void SmtpClient::check(const SmtpReply& reply, const QList<int>& accepted)
{
    // 421: the server is closing the transmission channel; nothing more can go over it.
    if (reply.NumericCode == 421)
        abortSession(sessionEnd(reply));
    if (!accepted.isEmpty() && !accepted.contains(reply.NumericCode))
        throw BrevoraError(ErrorKind::Refusal, reply.text(), reply.NumericCode);
}

int SmtpClient::sendCommand(const QByteArray& command, const QList<int>& accepted)
{
    writeBytes(crlf(command));
    const SmtpReply reply = readReply();
    check(reply, accepted);
    return reply.NumericCode;
}

BrevoraError SmtpClient::sessionEnd(const SmtpReply& reply) const
{
    return BrevoraError(ErrorKind::SessionEnded, reply.text(), reply.NumericCode);
}

void SmtpClient::identify()
{
    const QString name = HeloName.isEmpty() ? DefaultGreetingName(m_stream->socketDescriptor()) : HeloName;
    CheckCommandArgument(QStringLiteral("greeting name"), name);
    m_caps = ServerCapabilities();
    if (sendCommand("EHLO " + CodePage::encode(name), {}) == 250) {
        m_caps = ServerCapabilities::fromEhlo(m_lastReply);
        return;
    }
    sendCommand("HELO " + CodePage::encode(name), {250});
}

void SmtpClient::greetAndIdentify()
{
    check(readReply(), {220});
    identify();
    if (!m_secure && UseStartTls && m_caps.startTls) {
        sendCommand("STARTTLS", {220});
        // Anything already buffered was sent before encryption and could be injected.
        if (m_bufferPos < m_buffer.size())
            abortSession(ErrorKind::Tls, QStringLiteral("The server sent data before the TLS handshake."));
        startTls(nullptr);
        identify();
    }
}

void SmtpClient::OpenSession()
{
    if (Connected())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Already connected."));
    dropConnection();
    m_peerClosed = false;
    m_caps = ServerCapabilities();
    m_stream = m_openStream ? m_openStream(Host, Port, ReadTimeout) : ConnectSocket(Host, Port, ReadTimeout, &m_interrupter);
    if (!m_interrupter.watch(m_stream->socketDescriptor()))
        stopped();
    if (m_attachedTls)
        startTls(m_attachedTls);
    try {
        greetAndIdentify();
    } catch (const BrevoraError&) {
        CloseSession();
        throw;
    }
}

bool SmtpClient::LogIn()
{
    const LoginMechanism mechanism = ResolveLogin(m_login, m_caps.authSchemes);
    switch (mechanism) {
    case LoginMechanism::None:
    case LoginMechanism::Automatic:
        break;
    case LoginMechanism::Login:
        sendCommand("AUTH LOGIN", {334});
        sendCommand(CodePage::encode(Username).toBase64(), {334});
        sendCommand(CodePage::encode(Password).toBase64(), {235});
        break;
    case LoginMechanism::Plain:
        // RFC 4616: no authorization identity, then the user and the password, in the command.
        sendCommand("AUTH PLAIN " + ('\0' + CodePage::encode(Username) + '\0' + CodePage::encode(Password)).toBase64(), {235});
        break;
    case LoginMechanism::XOAuth2: {
        const QString token = RunTokenCommand(TokenCommand, TokenTimeout, [this] { return m_interrupter.interrupted(); });
        // "\x01" ends each field (written apart: "\x01a" would read as one hexadecimal escape).
        const QByteArray payload = "user=" + CodePage::encode(Username) + "\x01" "auth=Bearer " + token.toLatin1() + "\x01\x01";
        writeBytes(crlf("AUTH XOAUTH2 " + payload.toBase64()));
        SmtpReply reply = readReply();
        if (reply.NumericCode == 334) {
            // The reason comes as a challenge; an empty answer brings the final refusal.
            writeBytes("\r\n");
            reply = readReply();
        }
        check(reply, {235});
        break;
    }
    }
    m_authenticated = true;
    return mechanism != LoginMechanism::None;
}

void SmtpClient::CheckFits(const Envelope& envelope, qint64 size) const
{
    CheckEnvelopeAddress(QStringLiteral("sender address"), envelope.from);
    for (const QString& to : envelope.recipients)
        CheckEnvelopeAddress(QStringLiteral("recipient address"), to);
    // A message larger than the server takes is refused before it crosses the wire.
    const qint64 limit = m_caps.sizeLimit > 0 ? m_caps.sizeLimit : LargestMessage;
    if (limit > 0 && size > limit)
        throw BrevoraError(ErrorKind::Oversized, (m_caps.sizeLimit > 0 ? QStringLiteral("The message is %1 bytes; the server takes at most %2.")
                                                                    : QStringLiteral("The message is %1 bytes; the largest set for this server is %2."))
                                                 .arg(size)
                                                 .arg(limit));
}

OutgoingMessage SmtpClient::Frame(const Envelope& envelope, QByteArray data) const
{
    // Everything that can be refused is checked and built before the first byte goes out, so a
    // failure never leaves the server inside the data phase.
    CheckFits(envelope, data.size());
    OutgoingMessage out;
    // BDAT only where it can be pipelined: that is what it is for.
    out.chunked = sendsChunks();
    out.mailFrom = "MAIL FROM:<" + CodePage::encode(envelope.from) + '>';
    if (m_caps.size)
        out.mailFrom += " SIZE=" + QByteArray::number(data.size());
    if (envelope.eightBit)
        out.mailFrom += " BODY=8BITMIME";
    for (const QString& to : envelope.recipients)
        out.rcpts.append("RCPT TO:<" + CodePage::encode(to) + '>');
    out.data = out.chunked ? std::move(data) : DotStuffed(data);
    return out;
}

bool SmtpClient::peerIsLoopback() const
{
    if (!m_stream)
        return false;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(m_stream->socketDescriptor(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    if (address.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a)
            || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

void SmtpClient::endSession(const SmtpReply& reply)
{
    CloseSession();
    throw sessionEnd(reply);
}

void SmtpClient::CloseSession()
{
    if (Connected()) {
        static const QByteArray quit = "QUIT\r\n";
        m_stream->write(quit.constData(), quit.size());
    }
    dropConnection();
    m_peerClosed = false;
}
