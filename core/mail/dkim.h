#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

// DKIM signatures (RFC 6376; Ed25519 as RFC 8463 has it): relaxed/relaxed, SHA-256, over the
// message exactly as the server stores it (before dot-stuffing, so the DATA and BDAT paths agree).
namespace Dkim {

enum class KeyType { Rsa, Ed25519 };

struct Key
{
    QString domain;
    QString selector;
    KeyType type = KeyType::Rsa;
    std::shared_ptr<EVP_PKEY> key;
};

// Reads a PEM private key; throws with the reason when the file cannot be read, holds no key, or
// holds one weaker than allowed (RSA under 2048 bits, or any other kind).
Key LoadKey(const QString& path, const QString& domain, const QString& selector);
// Makes a new key of the type (RSA of 2048 bits) and writes it as PEM to the path, readable by the
// user only; throws when it cannot.
Key GenerateKey(const QString& path, const QString& domain, const QString& selector, KeyType type);
// The TXT record to publish: "v=DKIM1; k=rsa; p=..." (k=ed25519 with the raw public key).
QByteArray DnsRecord(const Key& key);
// The name it is published under: "selector._domainkey.domain".
QString RecordName(const Key& key);

// The headers a signature covers when the message has them; From is signed twice, so that none
// can be added after signing.
const QList<QByteArray>& SignedHeaders();

// The message with a DKIM-Signature header for each key put first. `message` is the header block,
// an empty line and the body, lines ending in CRLF; `now` is the signature's t= (seconds).
QByteArray Sign(const QByteArray& message, const QList<Key>& keys, qint64 now);
// Bytes Sign adds at most with these keys: a size limit is checked before signing with it.
qsizetype SignatureRoom(const QList<Key>& keys, qint64 now);

// Canonical forms (relaxed), for the tests and the verifier in the pre-flight check.
QByteArray RelaxedHeader(const QByteArray& name, const QByteArray& value);
QByteArray RelaxedBody(const QByteArray& body);

} // namespace Dkim
