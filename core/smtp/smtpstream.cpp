#include "core/smtp/smtpclient.h"

#include "core/error.h"

#include <deque>
#include <optional>
#include <utility>

// Delivering messages over an open session: one at a time, pipelined, or as a window of BDAT
// transactions.

namespace {

QByteArray crlf(const QByteArray& line)
{
    return line + "\r\n";
}

// Message data larger than this is written on its own rather than copied into the window's write.
constexpr qsizetype kWrittenApart = 65536;

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
        // Every reply that has come is read before the window is filled again: then the freed
        // room goes out in one write, not a write each.
        const bool replyWaiting = !flight.empty() && repliesArrived(flight.front().rcpts.size() + 3);
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
        while (!replyWaiting && qsizetype(flight.size()) < qMax(1, window) && !m_interrupter.interrupted() && !m_writeFailure
               && !ending) {
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
