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
#include <deque>
#include <optional>
#include <utility>

namespace {

constexpr qsizetype kMaxLineLength = 16384;
constexpr qint64 kReceiveChunk = 32768;
// After a write failed: how long replies already on their way are still waited for.
constexpr int kDrainMs = 2000;
// Message data larger than this is written on its own rather than copied into the window's write.
constexpr qsizetype kWrittenApart = 65536;

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

OutgoingMessage SmtpClient::Frame(const Envelope& envelope, QByteArray data) const
{
    // Everything that can be refused is checked and built before the first byte goes out, so a
    // failure never leaves the server inside the data phase.
    CheckEnvelopeAddress(QStringLiteral("sender address"), envelope.from);
    for (const QString& to : envelope.recipients)
        CheckEnvelopeAddress(QStringLiteral("recipient address"), to);
    // A message larger than the server takes is refused before it crosses the wire.
    const qint64 limit = m_caps.sizeLimit > 0 ? m_caps.sizeLimit : LargestMessage;
    if (limit > 0 && data.size() > limit)
        throw BrevoraError(ErrorKind::Oversized, (m_caps.sizeLimit > 0 ? QStringLiteral("The message is %1 bytes; the server takes at most %2.")
                                                                    : QStringLiteral("The message is %1 bytes; the largest set for this server is %2."))
                                                 .arg(data.size())
                                                 .arg(limit));
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

namespace {

QByteArray bdatCommand(const OutgoingMessage& message)
{
    return "BDAT " + QByteArray::number(message.data.size()) + " LAST\r\n";
}

// RSET, MAIL and RCPT of a transaction and the command that starts its data, in one write.
QByteArray envelopeOf(const OutgoingMessage& message)
{
    QByteArray group = "RSET\r\n" + crlf(message.mailFrom);
    for (const QByteArray& rcpt : message.rcpts)
        group += crlf(rcpt);
    group += message.chunked ? bdatCommand(message) : QByteArray("DATA\r\n");
    return group;
}

// The first reply that is not accepted is the transaction's failure.
void refuseOnce(std::optional<BrevoraError>& refusal, const SmtpReply& reply)
{
    if (!refusal)
        refusal.emplace(ErrorKind::Refusal, reply.text(), reply.NumericCode);
}

// A single message as a feed.
class OneMessage : public DeliveryFeed
{
public:
    explicit OneMessage(const OutgoingMessage& message)
        : m_message(message)
    {
    }
    std::optional<OutgoingMessage> next(bool) override { return std::exchange(m_message, std::nullopt); }
    void finished(const OutgoingMessage&, const std::optional<BrevoraError>& refusal) override { m_refusal = refusal; }
    const std::optional<BrevoraError>& refusal() const { return m_refusal; }

private:
    std::optional<OutgoingMessage> m_message;
    std::optional<BrevoraError> m_refusal;
};

} // namespace

void SmtpClient::Deliver(const OutgoingMessage& message)
{
    OneMessage one(message);
    DeliverStream(one, 1);
    if (one.refusal())
        throw *one.refusal();
}

void SmtpClient::DeliverStream(DeliveryFeed& feed, int window)
{
    if (!m_caps.pipelining || needsLogin())
        streamLockstep(feed);
    else if (m_caps.chunking)
        streamChunked(feed, window);
    else
        streamPipelined(feed);
}

bool SmtpClient::needsLogin() const
{
    return m_login != LoginMechanism::None && !m_caps.authSchemes.isEmpty() && !m_authenticated;
}

void SmtpClient::deliverLockstep(const OutgoingMessage& message, DeliveryFeed& feed)
{
    writeBytes("RSET\r\n");
    check(readReply(), {});
    if (needsLogin())
        LogIn();
    writeBytes(crlf(message.mailFrom));
    const SmtpReply mailReply = readReply();
    check(mailReply, {});
    if (endsSession(mailReply))
        endSession(mailReply);
    check(mailReply, {250});
    for (const QByteArray& rcpt : message.rcpts)
        sendCommand(rcpt, {250, 251});
    if (!message.chunked)
        sendCommand("DATA", {354});
    const FinalReplyWait wait(m_interrupter);
    feed.writing({message.tag});
    writeBytes(message.chunked ? bdatCommand(message) + message.data : message.data);
    check(readReply(), {250});
    ++m_accepted;
}

void SmtpClient::streamLockstep(DeliveryFeed& feed)
{
    while (std::optional<OutgoingMessage> message = waitForNext(feed)) {
        std::optional<BrevoraError> refusal;
        try {
            deliverLockstep(*message, feed);
        } catch (const BrevoraError& e) {
            if (e.kind() != ErrorKind::Refusal || !Connected())
                throw;
            refusal = e;
        }
        feed.finished(*message, refusal);
    }
}

std::optional<OutgoingMessage> SmtpClient::waitForNext(DeliveryFeed& feed)
{
    if (m_writeFailure)
        abortSession(*m_writeFailure); // every reply that could come has been read
    std::optional<OutgoingMessage> message = feed.next(true);
    if (message && m_interrupter.stopsWrites())
        stopped(); // the message goes back unsent
    return message;
}

int SmtpClient::readEnvelopeReplies(const OutgoingMessage& message, std::optional<BrevoraError>& refusal, SmtpReply* mailReply)
{
    check(readReply(), {}); // RSET
    SmtpReply reply = readReply();
    check(reply, {});
    if (mailReply)
        *mailReply = reply;
    if (reply.NumericCode != 250)
        refuseOnce(refusal, reply);
    int acceptedRecipients = 0;
    for (qsizetype i = 0; i < message.rcpts.size(); ++i) {
        reply = readReply();
        check(reply, {});
        if (reply.NumericCode == 250 || reply.NumericCode == 251)
            ++acceptedRecipients;
        else
            refuseOnce(refusal, reply);
    }
    return acceptedRecipients;
}

void SmtpClient::streamPipelined(DeliveryFeed& feed)
{
    std::optional<OutgoingMessage> current = waitForNext(feed);
    if (current)
        writeBytes(envelopeOf(*current));
    while (current) {
        // Every reply of the group is read, so the session stays in step.
        std::optional<BrevoraError> refusal;
        SmtpReply mailReply;
        const int accepted = readEnvelopeReplies(*current, refusal, &mailReply);
        SmtpReply reply = readReply();
        check(reply, {});
        std::optional<OutgoingMessage> next;
        if (reply.NumericCode != 354) {
            refuseOnce(refusal, reply);
        } else if (refusal) {
            // Ending the data now would deliver an empty message to the accepted recipients.
            if (accepted > 0)
                abortSession(*refusal);
            writeBytes(".\r\n");
            check(readReply(), {});
        } else {
            // The data goes out with the next message's envelope: one wait for both.
            if (!m_interrupter.interrupted())
                next = feed.next(false);
            const FinalReplyWait wait(m_interrupter);
            feed.writing({current->tag});
            writeBytes(next ? current->data + envelopeOf(*next) : current->data);
            reply = readReply();
            check(reply, {});
            if (reply.NumericCode != 250)
                refuseOnce(refusal, reply);
            else
                ++m_accepted;
        }
        if (endsSession(mailReply))
            endSession(mailReply); // nothing else is on its way: the next envelope goes with data
        feed.finished(*current, refusal);
        if (!next) {
            next = waitForNext(feed);
            if (next)
                writeBytes(envelopeOf(*next));
        }
        current = std::move(next);
    }
}

void SmtpClient::streamChunked(DeliveryFeed& feed, int window)
{
    // Transactions written whose replies are still to be read, oldest first. A BDAT's data
    // follows it at once, so the server reads it whatever it answers: nothing gets out of step.
    std::deque<OutgoingMessage> flight;
    // The server's limit of messages a session was reached: the replies on their way are read,
    // nothing more goes out, and the session ends.
    std::optional<SmtpReply> ending;
    for (;;) {
        if (flight.empty() && m_writeFailure)
            abortSession(*m_writeFailure);
        if (flight.empty() && ending)
            endSession(*ending);
        // Small transactions go out together in one write; a large message's data is written
        // from where it is, not copied (with attachments the window would hold it twice).
        QByteArray out;
        QList<qint64> tags; // the messages whose data is in `out`
        const auto flush = [&] {
            // Until every reply in flight is read, a stop waits: they tell what was delivered.
            m_interrupter.setAwaitingFinalReply(true);
            feed.writing(tags);
            writeBytes(out);
            out.clear();
            tags.clear();
        };
        while (qsizetype(flight.size()) < qMax(1, window) && !m_interrupter.interrupted() && !m_writeFailure && !ending) {
            std::optional<OutgoingMessage> message = flight.empty() && out.isEmpty() ? waitForNext(feed) : feed.next(false);
            if (!message)
                break;
            out += envelopeOf(*message);
            tags.append(message->tag);
            if (message->data.size() > kWrittenApart) {
                flush();
                writeBytes(message->data);
            } else {
                out += message->data;
            }
            flight.push_back(std::move(*message));
        }
        if (flight.empty())
            return;
        if (!out.isEmpty())
            flush();
        std::optional<BrevoraError> refusal;
        SmtpReply mailReply;
        readEnvelopeReplies(flight.front(), refusal, &mailReply);
        const SmtpReply reply = readReply();
        check(reply, {});
        if (reply.NumericCode != 250)
            refuseOnce(refusal, reply);
        const OutgoingMessage done = std::move(flight.front());
        flight.pop_front();
        if (flight.empty())
            m_interrupter.setAwaitingFinalReply(false);
        if (endsSession(mailReply)) {
            ending = mailReply; // no result: the message goes again on the next session
            continue;
        }
        if (reply.NumericCode == 250)
            ++m_accepted;
        feed.finished(done, refusal);
    }
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
