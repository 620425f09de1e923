#include "core/bounce/mailbox.h"

#include "core/error.h"
#include "core/text/textutil.h"

#include <QRegularExpression>
#include <QSet>
#include <QUrl>
#include <curl/curl.h>
#include <mutex>
#include <openssl/ssl.h>

namespace {

constexpr long kConnectSeconds = 20;
constexpr long kStallSeconds = 60; // a server that sends nothing for this long has gone

void initCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t collect(char* data, size_t size, size_t count, void* out)
{
    static_cast<QByteArray*>(out)->append(data, qsizetype(size * count));
    return size * count;
}

int abortWhenSet(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

struct TlsCheck
{
    QString host;
    CertificateDecision decision;
};

int verifyChain(X509_STORE_CTX* chain, void* arg)
{
    const auto* check = static_cast<const TlsCheck*>(arg);
    return AcceptServerChain(chain, check->host, check->decision) ? 1 : 0;
}

CURLcode setUpTls(CURL*, void* sslCtx, void* arg)
{
    auto* ctx = static_cast<SSL_CTX*>(sslCtx);
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cert_verify_callback(ctx, verifyChain, arg);
    return CURLE_OK;
}

// One connection to the mailbox, kept open across requests.
class Connection
{
public:
    Connection(const BounceSetup& setup, const CertificateDecision& decision, const std::atomic<bool>* abort)
        : m_abort(abort)
    {
        initCurl();
        const QUrl url(setup.mailbox.trimmed());
        m_scheme = url.scheme().toLower();
        m_check = {url.host(), decision};
        QUrl base = url;
        base.setUserInfo({});
        m_user = url.userName().toUtf8();
        m_password = setup.password.toUtf8();
        m_imap = m_scheme.startsWith(QLatin1String("imap"));
        QString path = base.path();
        if (m_imap && (path.isEmpty() || path == QLatin1String("/")))
            path = QStringLiteral("/INBOX");
        if (!m_imap)
            path = QStringLiteral("/");
        base.setPath(path);
        m_base = base.toString(QUrl::FullyEncoded).toUtf8();
        if (m_base.endsWith('/') && m_imap)
            m_base.chop(1);
        m_curl = curl_easy_init();
        if (!m_curl)
            throw BrevoraError(ErrorKind::Network, QStringLiteral("Could not start reading the bounce mailbox."));
    }
    ~Connection() { curl_easy_cleanup(m_curl); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool imap() const { return m_imap; }
    const QByteArray& base() const { return m_base; }

    // Runs a request (the URL below the base, a command of its own) and answers what came back;
    // throws unless `mayFail`, when it answers nullopt.
    std::optional<QByteArray> request(const QByteArray& url, const QByteArray& command = {}, bool noBody = false, bool mayFail = false)
    {
        QByteArray out;
        curl_easy_reset(m_curl);
        curl_easy_setopt(m_curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(m_curl, CURLOPT_USERNAME, m_user.constData());
        curl_easy_setopt(m_curl, CURLOPT_PASSWORD, m_password.constData());
        curl_easy_setopt(m_curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 1L);
        // The name is checked by verifyChain, with the decision's say over a certificate that fails.
        curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(m_curl, CURLOPT_SSL_CTX_FUNCTION, setUpTls);
        curl_easy_setopt(m_curl, CURLOPT_SSL_CTX_DATA, &m_check);
        curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
        curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
        curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_curl, CURLOPT_PROTOCOLS_STR, "imap,imaps,pop3,pop3s");
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &out);
        curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, m_error);
        m_error[0] = 0;
        if (!command.isEmpty())
            curl_easy_setopt(m_curl, CURLOPT_CUSTOMREQUEST, command.constData());
        if (noBody)
            curl_easy_setopt(m_curl, CURLOPT_NOBODY, 1L);
        if (m_abort) {
            curl_easy_setopt(m_curl, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(m_curl, CURLOPT_XFERINFOFUNCTION, abortWhenSet);
            curl_easy_setopt(m_curl, CURLOPT_XFERINFODATA, m_abort);
            if (m_abort->load())
                throw BrevoraError(ErrorKind::Network, QStringLiteral("Reading the bounce mailbox was stopped."));
        }
        const CURLcode code = curl_easy_perform(m_curl);
        if (code == CURLE_OK)
            return out;
        if (mayFail && code != CURLE_COULDNT_CONNECT && code != CURLE_OPERATION_TIMEDOUT && code != CURLE_LOGIN_DENIED)
            return std::nullopt;
        const QString why = QString::fromUtf8(m_error[0] ? m_error : curl_easy_strerror(code));
        const ErrorKind kind = code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CONNECT_ERROR ? ErrorKind::Certificate
                                                                                                          : ErrorKind::Network;
        throw BrevoraError(kind, QStringLiteral("The bounce mailbox %1 could not be read: %2").arg(QString::fromUtf8(m_base), why));
    }

private:
    CURL* m_curl = nullptr;
    QString m_scheme;
    QByteArray m_base, m_user, m_password;
    bool m_imap = true;
    TlsCheck m_check;
    const std::atomic<bool>* m_abort = nullptr;
    char m_error[CURL_ERROR_SIZE] = {};
};

QList<qint64> numbersAfter(const QByteArray& response, const QByteArray& marker)
{
    QList<qint64> out;
    for (const QByteArray& line : response.split('\n')) {
        const QByteArray l = line.trimmed();
        if (!l.startsWith(marker))
            continue;
        for (const QByteArray& n : l.mid(marker.size()).split(' ')) {
            bool ok = false;
            const qint64 v = n.toLongLong(&ok);
            if (ok)
                out.append(v);
        }
    }
    return out;
}

QByteArray quoted(const QString& mailbox)
{
    QByteArray q = mailbox.toUtf8();
    q.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + q + '"';
}

// "1,5,9": a set of UIDs for one command.
QByteArray uidSet(const QList<qint64>& uids)
{
    QByteArray set;
    for (const qint64 uid : uids)
        set += (set.isEmpty() ? "" : ",") + QByteArray::number(uid);
    return set;
}

int readImap(Connection& c, const BounceSetup& setup, const BounceMailbox::Handler& handle, const std::function<void()>& recorded)
{
    // Which messages there are, and then which of them are unread: one that comes between the
    // two is left for the next time.
    const QList<qint64> all = numbersAfter(*c.request(c.base(), "UID SEARCH ALL"), "* SEARCH");
    const QList<qint64> unseenList = numbersAfter(*c.request(c.base(), "UID SEARCH UNSEEN"), "* SEARCH");
    const QSet<qint64> unseen(unseenList.begin(), unseenList.end());
    QString folder = setup.processedFolder.trimmed();
    bool folderReady = false;
    const QByteArray caps = *c.request(c.base(), "CAPABILITY");
    const bool canMove = caps.toUpper().contains(" MOVE");
    // Reading a message marks it seen: what is left alone is marked unseen again, and what was
    // processed is moved, a batch at a time, once it is recorded.
    QList<qint64> toMove, toUnsee;
    const auto settle = [&] {
        if (!toUnsee.isEmpty())
            c.request(c.base(), "UID STORE " + uidSet(toUnsee) + " -FLAGS.SILENT (\\Seen)");
        toUnsee.clear();
        if (toMove.isEmpty())
            return;
        if (recorded)
            recorded();
        if (!folderReady) {
            // The server's hierarchy separator stands for "/".
            const QByteArray list = *c.request(c.base(), "LIST \"\" \"\"");
            static const QRegularExpression separator(QStringLiteral("\\* LIST \\([^)]*\\) \"(.)\""));
            if (const auto m = separator.match(QString::fromUtf8(list)); m.hasMatch())
                folder.replace(QLatin1Char('/'), m.captured(1));
            c.request(c.base(), "CREATE " + quoted(folder), false, true); // there already: no matter
            folderReady = true;
        }
        const QByteArray set = uidSet(toMove);
        toMove.clear();
        if (canMove && c.request(c.base(), "UID MOVE " + set + ' ' + quoted(folder), false, true))
            return;
        c.request(c.base(), "UID COPY " + set + ' ' + quoted(folder));
        c.request(c.base(), "UID STORE " + set + " +FLAGS.SILENT (\\Deleted)");
        c.request(c.base(), "UID EXPUNGE " + set, false, true);
    };
    constexpr qsizetype kBatch = 100;
    int read = 0;
    for (const qint64 uid : all) {
        const std::optional<QByteArray> message = c.request(c.base() + "/;UID=" + QByteArray::number(uid), {}, false, true);
        if (!message)
            continue; // gone meanwhile
        ++read;
        if (handle(*message) == BounceMailbox::Outcome::Processed)
            toMove.append(uid);
        else if (unseen.contains(uid))
            toUnsee.append(uid);
        if (toMove.size() + toUnsee.size() >= kBatch)
            settle();
    }
    settle();
    return read;
}

int readPop3(Connection& c, const BounceSetup& setup, const BounceMailbox::Handler& handle, const std::function<void()>& recorded)
{
    QList<qint64> numbers;
    for (const QByteArray& line : c.request(c.base())->split('\n')) {
        bool ok = false;
        const qint64 n = line.trimmed().split(' ').value(0).toLongLong(&ok);
        if (ok)
            numbers.append(n);
    }
    int read = 0;
    for (const qint64 n : numbers) {
        const QByteArray number = QByteArray::number(n);
        const std::optional<QByteArray> message = c.request(c.base() + number, {}, false, true);
        if (!message)
            continue;
        ++read;
        if (handle(*message) == BounceMailbox::Outcome::Processed && setup.deleteProcessed)
            c.request(c.base(), "DELE " + number, true);
    }
    // Deletions take effect when the session ends, after this.
    if (recorded)
        recorded();
    return read;
}

} // namespace

BounceMailbox::BounceMailbox(BounceSetup setup, CertificateDecision decision)
    : m_setup(std::move(setup))
    , m_decision(std::move(decision))
{
    CheckMailboxUrl(m_setup.mailbox);
}

int BounceMailbox::readAll(const Handler& handle, const std::function<void()>& recorded)
{
    Connection c(m_setup, m_decision, m_abort);
    return c.imap() ? readImap(c, m_setup, handle, recorded) : readPop3(c, m_setup, handle, recorded);
}

void BounceMailbox::probe()
{
    Connection c(m_setup, m_decision, m_abort);
    c.request(c.base(), "NOOP", !c.imap());
}
