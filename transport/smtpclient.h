#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "transport/emailmessage.h"
#include "transport/securetransport.h"
#include "transport/smtpreply.h"

enum class AuthenticationKind { atNone, atLogin };

// A message ready to go over the session it was written for: the envelope commands and the data
// with its closing ".".
struct OutgoingMessage
{
    QByteArray mailFrom;
    QList<QByteArray> rcpts;
    QByteArray data;
};

// One SMTP session over a plain socket or TLS, used synchronously by the sending run. Every
// failure is a BrevoraError whose message is the text shown to the user.
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
    QString HeloName;  // empty: the local host name
    QString MailAgent; // "X-Mailer"; empty: none
    int ReadTimeout = 60000; // milliseconds for connecting and for every read and write; 0: none
    bool UseStartTls = true;  // upgrade a plain session when the server offers STARTTLS

    AuthenticationKind authenticationType() const { return m_authType; }
    void setAuthenticationType(AuthenticationKind kind);
    bool useEhlo() const { return m_useEhlo; }
    void setUseEhlo(bool on);

    // Implicit TLS from the first byte when attached; the client does not own it.
    void attachSecureTransport(SecureTransport* transport) { m_attachedTls = transport; }
    void detachSecureTransport() { m_attachedTls = nullptr; }
    void setCertificateDecision(CertificateDecision decision) { m_decision = std::move(decision); }

    void OpenSession();
    const QStringList& OfferedAuthSchemes() const { return m_caps.authSchemes; }
    const ServerCapabilities& capabilities() const { return m_caps; }
    bool LogIn();
    void DeliverMessage(const EmailMessage& message);
    // The two halves of DeliverMessage. Writing checks everything that can be refused before a
    // byte goes out; it depends on what the server offered, so it follows OpenSession.
    OutgoingMessage WriteOutgoing(const EmailMessage& message) const;
    void Deliver(const OutgoingMessage& message);
    // Work done while a delivery waits for the server's reply, so that it costs no time of its
    // own; it must not throw.
    void setWorkWhileWaiting(std::function<void()> work) { m_workWhileWaiting = std::move(work); }
    // Writes QUIT when connected (no reply is read) and closes; a failed QUIT is passed on after closing.
    void CloseSession();
    bool Connected() const;

    const SmtpReply& lastReply() const { return m_lastReply; }
    // Whether the session runs inside TLS now (implicit or after STARTTLS).
    bool secure() const { return m_tls != nullptr; }

private:
    enum class LinkState { None, Open, PeerClosed };

    void connectSocket();
    void startTls(SecureTransport* transport);
    void greetAndIdentify();
    void identify();
    int sendCommand(const QByteArray& command, const QList<int>& accepted);
    void writeBytes(const QByteArray& bytes);
    QByteArray readLine();
    SmtpReply readReply();
    // readReply, doing the waiting work first when the reply has not arrived yet.
    SmtpReply awaitReply();
    // Checks a reply against the accepted codes; a 421 also ends the session.
    void check(const SmtpReply& reply, const QList<int>& accepted);
    void closeLink(LinkState after);
    [[noreturn]] void failSocket(int posixErrno, bool closes);
    void receiveMore();
    // A LOGIN exchange still owed before the next transaction.
    bool needsLogin() const;
    void deliverLockstep(const QByteArray& mailFrom, const QList<QByteArray>& rcpts, const QByteArray& data);
    void deliverPipelined(const QByteArray& mailFrom, const QList<QByteArray>& rcpts, const QByteArray& data);

    AuthenticationKind m_authType = AuthenticationKind::atNone;
    bool m_useEhlo = true;
    bool m_authenticated = false;
    SecureTransport* m_attachedTls = nullptr;
    std::unique_ptr<SecureTransport> m_startTls;
    SecureTransport* m_tls = nullptr; // the TLS layer in use, if any
    CertificateDecision m_decision;
    int m_fd = -1;
    LinkState m_state = LinkState::None;
    QByteArray m_buffer;
    qsizetype m_bufferPos = 0;
    SmtpReply m_lastReply;
    ServerCapabilities m_caps;
    std::function<void()> m_workWhileWaiting;
};
