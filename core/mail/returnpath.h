#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Return paths that name their recipient (VERP): a message of run R to address A goes out with
// MAIL FROM "bounces+TAG@example.com", TAG being R and a keyed hash of R and A's key. A bounce sent
// back to that address (or quoting a Message-ID that carries the tag) tells the run and, checked
// against a candidate address, the recipient; without the store's secret nobody can make one.
// Tags are lower case, because some relays fold the case of local parts.
namespace ReturnPath {

struct Tag
{
    qint64 run = 0;
    QByteArray mac; // 16 characters of base32
};

QByteArray tagFor(const QByteArray& secret, qint64 run, const QString& address);
// The bounce address with the tag after a "+" in its local part.
QString verpAddress(const QString& bounceAddress, const QByteArray& tag);
// The first tag in the text (an address, a Message-ID, a header), when there is one.
std::optional<Tag> findTag(const QByteArray& text);
// Whether the tag is the one made for that address in that run.
bool matches(const QByteArray& secret, const Tag& tag, const QString& address);
QByteArray macFor(const QByteArray& secret, qint64 run, const QString& addressKey);
// Why a bounce address cannot carry tags; empty when it can.
QString addressFault(const QString& bounceAddress);

} // namespace ReturnPath
