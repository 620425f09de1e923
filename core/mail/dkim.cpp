#include "core/mail/dkim.h"

#include "core/error.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace Dkim {
namespace {

constexpr int kLeastRsaBits = 2048;
constexpr int kLine = 76; // where the signature header is folded

[[noreturn]] void fail(const QString& text)
{
    throw BrevoraError(ErrorKind::Usage, text);
}

bool isWsp(char c)
{
    return c == ' ' || c == '\t';
}

// Collapses runs of blanks (and folded line breaks) into one space and trims the ends.
QByteArray collapse(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size());
    bool blank = false;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || isWsp(c)) {
            blank = true;
            continue;
        }
        if (blank && !out.isEmpty())
            out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

struct HeaderField
{
    QByteArray name;  // as written
    QByteArray value; // after the colon, folding kept
    QByteArray key;   // the name trimmed, in lower case
};

// The header fields of a message, and where its body begins.
QList<HeaderField> headerFields(const QByteArray& message, qsizetype* bodyStart)
{
    QList<HeaderField> fields;
    qsizetype at = 0;
    while (at < message.size()) {
        qsizetype end = message.indexOf("\r\n", at);
        if (end < 0)
            end = message.size();
        if (end == at) { // the empty line
            *bodyStart = qMin(message.size(), end + 2);
            return fields;
        }
        const QByteArray line = message.mid(at, end - at);
        if (isWsp(line.at(0)) && !fields.isEmpty()) {
            fields.last().value += "\r\n" + line;
        } else {
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = colon > 0 ? line.left(colon) : line;
            fields.append({name, colon > 0 ? line.mid(colon + 1) : QByteArray(), name.trimmed().toLower()});
        }
        at = end + 2;
    }
    *bodyStart = message.size();
    return fields;
}

QByteArray base64(const QByteArray& bytes)
{
    return bytes.toBase64();
}

QByteArray signBytes(const Key& key, const QByteArray& data)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    // Ed25519 signs the SHA-256 hash of the header data (RFC 8463); RSA signs the data with SHA-256.
    const QByteArray input = key.type == KeyType::Ed25519 ? QCryptographicHash::hash(data, QCryptographicHash::Sha256) : data;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, key.type == KeyType::Rsa ? EVP_sha256() : nullptr, nullptr, key.key.get()) != 1)
        fail(QStringLiteral("The DKIM key for %1 cannot sign.").arg(key.domain));
    size_t length = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(input.constData());
    if (EVP_DigestSign(ctx.get(), nullptr, &length, in, size_t(input.size())) != 1)
        fail(QStringLiteral("The DKIM key for %1 cannot sign.").arg(key.domain));
    QByteArray signature(qsizetype(length), Qt::Uninitialized);
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, in, size_t(input.size())) != 1)
        fail(QStringLiteral("The DKIM key for %1 cannot sign.").arg(key.domain));
    signature.truncate(qsizetype(length));
    return signature;
}

// Appends tag text to the header being built, folding before it when the line would grow long.
void appendFolded(QByteArray& header, qsizetype& column, const QByteArray& piece)
{
    if (column + piece.size() + 1 > kLine && column > 0) {
        header += "\r\n\t";
        column = 1;
    } else if (column > 0 && !header.endsWith(' ')) {
        header += ' ';
        ++column;
    }
    header += piece;
    column += piece.size();
}

// The signature header up to its empty "b=" tag, folded; column is where its last line ends.
QByteArray headerBeforeSignature(const Key& key, qint64 now, const QByteArray& names, const QByteArray& bodyHash, qsizetype& column)
{
    QByteArray header = "DKIM-Signature:";
    column = header.size();
    for (const QByteArray& tag :
         {QByteArray("v=1;"), "a=" + QByteArray(key.type == KeyType::Rsa ? "rsa-sha256;" : "ed25519-sha256;"), QByteArray("c=relaxed/relaxed;"),
          "d=" + key.domain.toUtf8() + ';', "s=" + key.selector.toUtf8() + ';', "t=" + QByteArray::number(now) + ';',
          "h=" + names + ';', "bh=" + bodyHash + ';', QByteArray("b=")})
        appendFolded(header, column, tag);
    return header;
}

// The signature's text may be folded anywhere: verifiers drop its blanks.
void appendSignature(QByteArray& header, qsizetype column, const QByteArray& signature)
{
    for (qsizetype i = 0; i < signature.size();) {
        const qsizetype room = qMax<qsizetype>(8, kLine - column);
        const QByteArray piece = signature.mid(i, room);
        header += piece;
        column += piece.size();
        i += piece.size();
        if (i < signature.size()) {
            header += "\r\n\t";
            column = 1;
        }
    }
}

} // namespace

const QList<QByteArray>& SignedHeaders()
{
    static const QList<QByteArray> names{"from", "from", "to", "subject", "date", "message-id", "mime-version", "content-type",
                                         "list-unsubscribe", "list-unsubscribe-post", "feedback-id", "list-id"};
    return names;
}

QByteArray RelaxedHeader(const QByteArray& name, const QByteArray& value)
{
    return name.trimmed().toLower() + ':' + collapse(value) + "\r\n";
}

QByteArray RelaxedBody(const QByteArray& body)
{
    QByteArray out;
    out.reserve(body.size());
    qsizetype at = 0;
    qsizetype emptyLines = 0;
    while (at < body.size()) {
        qsizetype end = body.indexOf("\r\n", at);
        const bool last = end < 0;
        if (last)
            end = body.size();
        QByteArray line;
        bool blank = false;
        for (qsizetype i = at; i < end; ++i) {
            const char c = body.at(i);
            if (isWsp(c)) {
                blank = true;
                continue;
            }
            if (blank)
                line += ' ';
            blank = false;
            line += c;
        }
        if (line.isEmpty() && !(last && end == at)) {
            ++emptyLines; // kept only when more text follows
        } else if (!line.isEmpty()) {
            for (; emptyLines > 0; --emptyLines)
                out += "\r\n";
            out += line + "\r\n";
        }
        at = end + 2;
    }
    return out;
}

Key LoadKey(const QString& path, const QString& domain, const QString& selector)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("The DKIM key of %1 (%2) cannot be read: %3").arg(domain, path, file.errorString()));
    const QByteArray pem = file.readAll();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    EVP_PKEY* raw = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (!raw)
        fail(QStringLiteral("The DKIM key of %1 (%2) holds no private key in PEM form.").arg(domain, path));
    Key key{domain, selector, KeyType::Rsa, std::shared_ptr<EVP_PKEY>(raw, EVP_PKEY_free)};
    if (EVP_PKEY_get_base_id(raw) == EVP_PKEY_ED25519) {
        key.type = KeyType::Ed25519;
    } else if (EVP_PKEY_get_base_id(raw) == EVP_PKEY_RSA) {
        if (EVP_PKEY_get_bits(raw) < kLeastRsaBits)
            fail(QStringLiteral("The DKIM key of %1 (%2) is an RSA key of %3 bits: receivers want at least %4.")
                     .arg(domain, path).arg(EVP_PKEY_get_bits(raw)).arg(kLeastRsaBits));
    } else {
        fail(QStringLiteral("The DKIM key of %1 (%2) is neither RSA nor Ed25519.").arg(domain, path));
    }
    return key;
}

Key GenerateKey(const QString& path, const QString& domain, const QString& selector, KeyType type)
{
    EVP_PKEY* raw = type == KeyType::Rsa ? EVP_RSA_gen(unsigned(kLeastRsaBits)) : EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!raw)
        fail(QStringLiteral("A DKIM key could not be made."));
    Key key{domain, selector, type, std::shared_ptr<EVP_PKEY>(raw, EVP_PKEY_free)};
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), raw, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || file.write(data, length) != length || !file.flush())
        fail(QStringLiteral("The DKIM key cannot be written to %1: %2").arg(path, file.errorString()));
    return key;
}

QString RecordName(const Key& key)
{
    return key.selector + QStringLiteral("._domainkey.") + key.domain;
}

QByteArray DnsRecord(const Key& key)
{
    QByteArray publicKey;
    if (key.type == KeyType::Ed25519) {
        size_t length = 32;
        publicKey.resize(32);
        EVP_PKEY_get_raw_public_key(key.key.get(), reinterpret_cast<unsigned char*>(publicKey.data()), &length);
        publicKey.truncate(qsizetype(length));
    } else {
        unsigned char* der = nullptr;
        const int length = i2d_PUBKEY(key.key.get(), &der);
        publicKey = QByteArray(reinterpret_cast<const char*>(der), length);
        OPENSSL_free(der);
    }
    return "v=DKIM1; k=" + QByteArray(key.type == KeyType::Rsa ? "rsa" : "ed25519") + "; p=" + base64(publicKey);
}

QByteArray Sign(const QByteArray& message, const QList<Key>& keys, qint64 now)
{
    if (keys.isEmpty())
        return message;
    qsizetype bodyStart = 0;
    const QList<HeaderField> fields = headerFields(message, &bodyStart);
    const QByteArray bodyHash = base64(QCryptographicHash::hash(RelaxedBody(message.mid(bodyStart)), QCryptographicHash::Sha256));

    // The signed headers: each name as often as it is listed, taking instances from the bottom up;
    // a name the message lacks is left out (From is always there, and its second listing is empty).
    QList<QByteArray> names;
    QByteArray signedData;
    QHash<QByteArray, qsizetype> used;
    for (const QByteArray& name : SignedHeaders()) {
        qsizetype seen = 0;
        const qsizetype skip = used.value(name);
        bool found = false;
        for (qsizetype i = fields.size() - 1; i >= 0; --i)
            if (fields[i].key == name && seen++ == skip) {
                signedData += RelaxedHeader(fields[i].name, fields[i].value);
                found = true;
                break;
            }
        if (found || (name == "from" && used.value(name) > 0))
            names.append(name);
        used[name] = skip + 1;
    }

    QByteArray out;
    for (const Key& key : keys) {
        qsizetype column = 0;
        QByteArray header = headerBeforeSignature(key, now, names.join(':'), bodyHash, column);
        const QByteArray unsignedHeader = RelaxedHeader("DKIM-Signature", header.mid(header.indexOf(':') + 1));
        appendSignature(header, column, base64(signBytes(key, signedData + unsignedHeader.left(unsignedHeader.size() - 2))));
        out += header + "\r\n";
    }
    return out + message;
}

qsizetype SignatureRoom(const QList<Key>& keys, qint64 now)
{
    // The longest header the signatures can have: every listed header signed, a body hash and a
    // signature of the key's full length. A shorter h= list can move a fold, hence the margin.
    qsizetype room = 0;
    for (const Key& key : keys) {
        qsizetype column = 0;
        QByteArray header = headerBeforeSignature(key, now, SignedHeaders().join(':'), QByteArray(44, 'x'), column);
        appendSignature(header, column, QByteArray((EVP_PKEY_get_size(key.key.get()) + 2) / 3 * 4, 'x'));
        room += header.size() + 2 + 3 * SignedHeaders().size();
    }
    return room;
}

} // namespace Dkim
