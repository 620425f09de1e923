#pragma once

#include <QString>
#include <stdexcept>

// What kind of failure an error is: the run and the command line decide from it what to do.
enum class ErrorKind {
    Refusal,     // the server answered with a code it does not accept here
    // The server ended the session (a 421, or a per-session limit answered to MAIL FROM after it
    // took messages): the message under way was not refused and goes again on a new session.
    SessionEnded,
    Network,     // connecting, a socket read or write, a timeout, a closed or broken connection
    Tls,         // the TLS library or handshake
    Certificate, // a server certificate that was not trusted
    Usage,       // a setting, an option or a message that cannot be used as it stands
    Oversized,   // a message larger than the server (or the setting) takes: its entry fails alone
    Store,       // the send log and pending list store
};

// Every failure of the core travels as this exception. Its message is exactly the text the user
// sees; the kind (and for a refusal the server's code) says what failed.
class BrevoraError : public std::runtime_error
{
public:
    BrevoraError(ErrorKind kind, const QString& message, int replyCode = 0)
        : std::runtime_error(message.toStdString())
        , m_kind(kind)
        , m_message(message)
        , m_replyCode(replyCode)
    {
    }
    ErrorKind kind() const { return m_kind; }
    const QString& message() const { return m_message; }
    // The server's reply code of a refusal; 0 for other kinds.
    int replyCode() const { return m_replyCode; }
    // What lies behind the message, when something does (the TLS library's own words, say).
    const QString& detail() const { return m_detail; }
    BrevoraError withDetail(const QString& detail) const
    {
        BrevoraError e = *this;
        e.m_detail = detail;
        return e;
    }
    bool isTransientRefusal() const { return m_kind == ErrorKind::Refusal && m_replyCode / 100 == 4; }

private:
    ErrorKind m_kind;
    QString m_message;
    int m_replyCode;
    QString m_detail;
};
