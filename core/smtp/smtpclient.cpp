#include "core/smtp/smtpclient.h"

#include "core/error.h"
#include "core/mail/messagewriter.h"
#include "core/smtp/socketstream.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <optional>
#include <utility>

namespace {

constexpr qsizetype kMaxLineLength = 16384;
constexpr qint64 kReceiveChunk = 32768;

QByteArray crlf(const QByteArray& line)
{
    return line + "\r\n";
}

// From the first byte of a message's data until its reply is read, a soft interrupt waits: that
// reply is what tells whether the message was delivered.
class FinalReplyWait
{
public:
    explicit FinalReplyWait(SocketInterrupter& interrupter)
        : m_interrupter(interrupter)
    {
        m_interrupter.setAwaitingFinalReply(true);
    }
    ~FinalReplyWait() { m_interrupter.setAwaitingFinalReply(false); }
    FinalReplyWait(const FinalReplyWait&) = delete;
    FinalReplyWait& operator=(const FinalReplyWait&) = delete;

private:
    SocketInterrupter& m_interrupter;
};

} // namespace

SmtpClient::SmtpClient() = default;

SmtpClient::~SmtpClient()
{
    dropConnection();
}

void SmtpClient::dropConnection()
{
    m_interrupter.watch(-1);
    if (m_stream)
        m_stream->close();
    m_stream.reset();
    m_readTimeoutSet = -1;
    m_secure = false;
    m_buffer.clear();
    m_bufferPos = 0;
    m_authenticated = false;
}

void SmtpClient::abortSession(const BrevoraError& error)
{
    dropConnection();
    throw error;
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
    if (m_peerClosed)
        abortSession(ErrorKind::Network, QStringLiteral("Connection Closed Gracefully."));
    if (!m_stream)
        abortSession(ErrorKind::Network, QStringLiteral("Not Connected"));
    if (m_interrupter.interrupted())
        stopped();
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = m_stream->write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0 && m_interrupter.interrupted())
            abortSession(ErrorKind::Network, QStringLiteral("Stopped."));
        if (n <= 0)
            abortSession(ErrorKind::Network, SocketErrorFromErrno(n == 0 ? EPIPE : errno));
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
    if (ReadTimeout > 0) {
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

void SmtpClient::check(const SmtpReply& reply, const QList<int>& accepted)
{
    // 421: the server is closing the transmission channel; nothing more can go over it.
    if (reply.NumericCode == 421)
        abortSession(BrevoraError(ErrorKind::Refusal, reply.text(), reply.NumericCode));
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

void SmtpClient::identify()
{
    const QString name = HeloName.isEmpty() ? LocalHostName() : HeloName;
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
        deliverPipelined(message);
    else
        deliverLockstep(message);
}

bool SmtpClient::needsLogin() const
{
    return m_authType != AuthenticationKind::atNone
        && m_caps.authSchemes.contains(QStringLiteral("LOGIN"), Qt::CaseInsensitive) && !m_authenticated;
}

void SmtpClient::deliverLockstep(const OutgoingMessage& message)
{
    writeBytes("RSET\r\n");
    check(readReply(), {});
    if (needsLogin())
        LogIn();
    sendCommand(message.mailFrom, {250});
    for (const QByteArray& rcpt : message.rcpts)
        sendCommand(rcpt, {250, 251});
    sendCommand("DATA", {354});
    const FinalReplyWait wait(m_interrupter);
    writeBytes(message.data);
    check(readReply(), {250});
}

void SmtpClient::deliverPipelined(const OutgoingMessage& message)
{
    QByteArray group = "RSET\r\n" + crlf(message.mailFrom);
    for (const QByteArray& rcpt : message.rcpts)
        group += crlf(rcpt);
    group += "DATA\r\n";
    writeBytes(group);

    // Every reply of the group is read, so the session stays in step; the first refusal decides.
    std::optional<BrevoraError> refusal;
    const auto refuseOnce = [&refusal](const SmtpReply& reply) {
        if (!refusal)
            refusal.emplace(ErrorKind::Refusal, reply.text(), reply.NumericCode);
    };
    check(readReply(), {});
    SmtpReply reply = readReply();
    check(reply, {});
    if (reply.NumericCode != 250)
        refuseOnce(reply);
    int acceptedRecipients = 0;
    for (qsizetype i = 0; i < message.rcpts.size(); ++i) {
        reply = readReply();
        check(reply, {});
        if (reply.NumericCode == 250 || reply.NumericCode == 251)
            ++acceptedRecipients;
        else
            refuseOnce(reply);
    }
    reply = readReply();
    check(reply, {});
    if (reply.NumericCode != 354) {
        refuseOnce(reply);
        throw *refusal;
    }
    if (refusal) {
        // Ending the data now would deliver an empty message to the accepted recipients.
        if (acceptedRecipients > 0)
            abortSession(*refusal);
        writeBytes(".\r\n");
        check(readReply(), {});
        throw *refusal;
    }
    const FinalReplyWait wait(m_interrupter);
    writeBytes(message.data);
    check(readReply(), {250});
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

void SmtpClient::CloseSession()
{
    if (Connected()) {
        static const QByteArray quit = "QUIT\r\n";
        m_stream->write(quit.constData(), quit.size());
    }
    dropConnection();
    m_peerClosed = false;
}
