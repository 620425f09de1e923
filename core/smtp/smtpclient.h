#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "core/error.h"
#include "core/smtp/bytestream.h"
#include "core/smtp/envelope.h"
#include "core/smtp/loginpolicy.h"
#include "core/smtp/securetransport.h"
#include "core/smtp/smtpreply.h"
#include "core/smtp/socketstream.h"


// A message ready to go over the session it was written for: the envelope commands and the data,
// either dot-stuffed with its closing "." (for DATA) or as it is (for BDAT).
struct OutgoingMessage
{
    QByteArray mailFrom;
    QList<QByteArray> rcpts;
    QByteArray data;
    bool chunked = false; // goes with BDAT
    qint64 tag = 0;       // the caller's mark, given back with the message's result
    qint64 notAfter = 0;  // the caller's clock past which it must not go out; 0: none (see DeliveryFeed)
};

// Where a stream of deliveries takes its messages and reports their results.
class DeliveryFeed
{
public:
    virtual ~DeliveryFeed() = default;
    // The next message: one that is ready now, or (wait) the next one to come; nullopt when there
    // is none now, or (wait) when none will come.
    virtual std::optional<OutgoingMessage> next(bool wait) = 0;
    // The final reply of the message was read: the server took it, or refused it for the reason.
    virtual void finished(const OutgoingMessage& message, const std::optional<BrevoraError>& refusal) = 0;
    // The data of these messages is about to be written: from now on the server may take them.
    virtual void writing(const QList<qint64>& tags) { Q_UNUSED(tags); }
};

// Opens the connection a session runs over (a plain TCP socket unless a test puts another in).
using StreamOpener = std::function<std::unique_ptr<ByteStream>(const QString& host, int port, int timeoutMs)>;

// One SMTP session, used synchronously by one thread at a time (the sending run keeps it on a
// thread of its own). It reads and writes only through its
// byte stream. A refusal the session survives is raised as it is; every other failure goes
// through one close path (abortSession) and leaves the session closed. Failures are
// BrevoraErrors whose message is the text shown to the user.
class SmtpClient
{
public:
    SmtpClient();
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    QString Host;
    int Port = 25;
    QString Username;
    QString Password;
    QString HeloName;  // empty: DefaultGreetingName
    QString MailAgent; // "X-Mailer" of the messages written for this session; empty: none
    // Milliseconds for connecting, for each whole reply from when the client starts waiting for
    // it, and for every write; 0: none.
    int ReadTimeout = 60000;
    bool UseStartTls = true;  // upgrade a plain session when the server offers STARTTLS
    QString TokenCommand;     // prints the access token for XOAUTH2, run at each login
    int TokenTimeout = 30000; // milliseconds the token command may take
    // The largest message framed for a server that names no SIZE limit; 0: none.
    qint64 LargestMessage = 0;

    // Automatic is resolved against the server's offer when the session logs in.
    void setLoginMechanism(LoginMechanism mechanism) { m_login = mechanism; }
    // Everything set on the other client that says how to connect and speak (not the connection).
    void copySettingsFrom(const SmtpClient& other);

    // Implicit TLS from the first byte when attached; the client does not own it.
    void attachSecureTransport(SecureTransport* transport) { m_attachedTls = transport; }
    void detachSecureTransport() { m_attachedTls = nullptr; }
    void setCertificateDecision(CertificateDecision decision) { m_decision = std::move(decision); }
    void setStreamOpener(StreamOpener opener) { m_openStream = std::move(opener); }

    void OpenSession();
    const QStringList& OfferedAuthSchemes() const { return m_caps.authSchemes; }
    const ServerCapabilities& capabilities() const { return m_caps; }
    bool LogIn();
    // Frames a written message (header block, empty line, body; lines ending in CR LF) for this
    // session: BDAT where it can be pipelined, else DATA, dot-stuffed and closed by ".". Checks
    // the envelope before a byte goes out; it depends on what the server offered, so it follows
    // OpenSession. It reads only what the session learned when it opened, so another thread may
    // frame the next message while a delivery is under way.
    OutgoingMessage Frame(const Envelope& envelope, QByteArray data) const;
    // What Frame checks: the envelope's addresses, and a message of `size` bytes against the
    // server's limit; throws as Frame would.
    void CheckFits(const Envelope& envelope, qint64 size) const;
    // Whether messages go with BDAT, as they are, rather than with DATA.
    bool sendsChunks() const { return m_caps.chunking && m_caps.pipelining; }
    void Deliver(const OutgoingMessage& message);
    // Delivers the feed's messages until it runs dry, with as few waits as the server allows:
    // without PIPELINING one command at a time; with it, the end of each message's data goes out
    // with the next message's envelope (one wait a message); with CHUNKING as well, up to
    // `window` transactions are in flight, each reported the moment its last reply is read.
    // Every reply is read, so a refusal leaves the session in step. A failure that ends the
    // session is thrown: the messages in flight then have no result.
    void DeliverStream(DeliveryFeed& feed, int window);
    // Writes QUIT when connected (no reply is read) and closes. Never fails: a QUIT that cannot
    // be written changes nothing once the connection is closed anyway.
    void CloseSession();
    bool Connected() const { return m_stream != nullptr && !m_peerClosed; }

    // From any thread: ends the session's current wait at once (see SocketInterrupter); the
    // session says QUIT, closes and fails with "Stopped.". It stays interrupted until cleared.
    void interrupt(bool hard) { m_interrupter.interrupt(hard); }
    bool interrupted() const { return m_interrupter.interrupted(); }
    void clearInterrupt() { m_interrupter.reset(); }
    // From any thread: the session waits for the reply to a message's data.
    bool awaitingFinalReply() { return m_interrupter.awaitingFinalReply(); }

    const SmtpReply& lastReply() const { return m_lastReply; }
    // Whether the session runs inside TLS now (implicit or after STARTTLS).
    bool secure() const { return m_secure; }
    // Whether the server is this machine (its address is a loopback one).
    bool peerIsLoopback() const;

private:
    // The one close path: drops the connection, its buffer and marks, then raises the error.
    [[noreturn]] void abortSession(const BrevoraError& error);
    [[noreturn]] void abortSession(ErrorKind kind, const QString& text);
    void dropConnection();
    void startTls(SecureTransport* engine);
    void greetAndIdentify();
    void identify();
    int sendCommand(const QByteArray& command, const QList<int>& accepted);
    void writeBytes(const QByteArray& bytes);
    QByteArray readLine();
    SmtpReply readReply();
    // Whether that many replies have come already, whole, so that reading them does not wait.
    bool repliesArrived(qsizetype count) const;
    [[noreturn]] void stopped();
    // Checks a reply against the accepted codes: a refusal is raised, a 421 also ends the session.
    void check(const SmtpReply& reply, const QList<int>& accepted);
    // A temporary refusal of MAIL FROM once the session has taken messages is the server's limit
    // of messages a session: the session ends, and the message goes again on a new one.
    bool endsSession(const SmtpReply& mailReply) const { return mailReply.NumericCode / 100 == 4 && m_accepted > 0; }
    BrevoraError sessionEnd(const SmtpReply& reply) const;
    [[noreturn]] void endSession(const SmtpReply& reply); // says QUIT, closes and raises sessionEnd
    void receiveMore();
    // A LOGIN exchange still owed before the next transaction.
    bool needsLogin() const;
    void deliverLockstep(const OutgoingMessage& message, DeliveryFeed& feed);
    void streamLockstep(DeliveryFeed& feed);
    // The feed's next message when nothing is in flight; after a stop it ends the session.
    std::optional<OutgoingMessage> waitForNext(DeliveryFeed& feed);
    // Reads the replies to a transaction's RSET, MAIL and RCPTs, keeping the first refusal; the
    // number of recipients accepted.
    int readEnvelopeReplies(const OutgoingMessage& message, std::optional<BrevoraError>& refusal, SmtpReply* mailReply = nullptr);
    void streamPipelined(DeliveryFeed& feed);
    void streamChunked(DeliveryFeed& feed, int window);

    LoginMechanism m_login = LoginMechanism::None;
    bool m_authenticated = false;
    SecureTransport* m_attachedTls = nullptr;
    CertificateDecision m_decision;
    StreamOpener m_openStream;
    std::unique_ptr<ByteStream> m_stream;
    bool m_secure = false;
    // The server closed: what it sent before may still be read, and until the session is closed
    // or opened again every use says so.
    bool m_peerClosed = false;
    QByteArray m_buffer;
    qsizetype m_bufferPos = 0;
    QDeadlineTimer m_replyDeadline;
    // A write that failed: the replies that came before it are still read (a message the server
    // answered must not be sent again), within m_drainDeadline; then the session fails with it.
    std::optional<BrevoraError> m_writeFailure;
    QDeadlineTimer m_drainDeadline;
    int m_accepted = 0; // messages the server took in this session
    int m_readTimeoutSet = -1; // the longest wait a read of the stream may take now; -1: not set
    SmtpReply m_lastReply;
    ServerCapabilities m_caps;
    SocketInterrupter m_interrupter;
};
