#include "core/mail/returnpath.h"

#include "core/mail/addresskey.h"
#include "core/smtp/envelope.h"

#include <QMessageAuthenticationCode>
#include <QRegularExpression>

namespace ReturnPath {
namespace {

constexpr char kBase32[] = "abcdefghijklmnopqrstuvwxyz234567";
constexpr int kMacChars = 16; // 80 bits
// The tag's local-part room: "+", up to 13 characters of run, "-", the hash.
constexpr int kTagRoom = 1 + 13 + 1 + kMacChars;

QByteArray base32(const QByteArray& bytes, int chars)
{
    QByteArray out;
    quint32 buffer = 0;
    int bits = 0;
    for (const char c : bytes) {
        buffer = (buffer << 8) | quint8(c);
        bits += 8;
        while (bits >= 5 && out.size() < chars) {
            out += kBase32[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
        if (out.size() >= chars)
            break;
    }
    return out;
}

} // namespace

QByteArray macFor(const QByteArray& secret, qint64 run, const QString& addressKey)
{
    const QByteArray data = QByteArray::number(run) + ':' + addressKey.toUtf8();
    return base32(QMessageAuthenticationCode::hash(data, secret, QCryptographicHash::Sha256), kMacChars);
}

QByteArray tagFor(const QByteArray& secret, qint64 run, const QString& address)
{
    return QByteArray::number(run, 36) + '-' + macFor(secret, run, AddressKey(address));
}

QString verpAddress(const QString& bounceAddress, const QByteArray& tag)
{
    const qsizetype at = bounceAddress.lastIndexOf(QLatin1Char('@'));
    if (at < 0)
        return bounceAddress;
    return bounceAddress.left(at) + QLatin1Char('+') + QString::fromLatin1(tag) + bounceAddress.mid(at);
}

std::optional<Tag> findTag(const QByteArray& text)
{
    static const QRegularExpression pattern(QStringLiteral("(?:^|[+<\\s\"=])([0-9a-z]{1,13})-([a-z2-7]{16})(?=[@.>\\s\"]|$)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = pattern.match(QString::fromLatin1(text));
    if (!m.hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint64 run = m.captured(1).toLongLong(&ok, 36);
    if (!ok)
        return std::nullopt;
    return Tag{run, m.captured(2).toLower().toLatin1()};
}

bool matches(const QByteArray& secret, const Tag& tag, const QString& address)
{
    return !address.isEmpty() && macFor(secret, tag.run, AddressKey(address)) == tag.mac;
}

QString addressFault(const QString& bounceAddress)
{
    const QString a = bounceAddress.trimmed();
    if (!MailboxFault(a).isEmpty())
        return QStringLiteral("The bounce address \"%1\" is not an address a server takes: %2").arg(a, MailboxFault(a));
    const qsizetype at = a.lastIndexOf(QLatin1Char('@'));
    if (a.startsWith(QLatin1Char('"')) || at + kTagRoom > 64)
        return QStringLiteral("The bounce address \"%1\" leaves no room for the recipient's tag: its part before the \"@\" may have "
                              "at most %2 characters, without quotes.").arg(a).arg(64 - kTagRoom);
    return {};
}

} // namespace ReturnPath
