#pragma once

#include "core/mail/returnpath.h"
#include "core/settings/bouncesettings.h"
#include "core/smtp/securetransport.h"
#include "support/tempdir.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

// The bounce corpus: messages as common mail servers write them, each with the result it must
// give (expected.tsv), and the tags of a run of the test's store filled in.
const QString kCorpus = QStringLiteral(BREVORA_TEST_SOURCE_DIR "/core/bounce/corpus/");
constexpr qint64 kRun = 7;

// The corpus message with the tags a run of this store would have given its recipients.
inline QByteArray corpusMessage(const QString& file, const QByteArray& secret)
{
    QString text = QString::fromUtf8(readAll(kCorpus + file));
    static const QRegularExpression tag("\\{\\{TAG:([^}]+)\\}\\}");
    for (QRegularExpressionMatch m = tag.match(text); m.hasMatch(); m = tag.match(text))
        text.replace(m.capturedStart(), m.capturedLength(), QString::fromLatin1(ReturnPath::tagFor(secret, kRun, m.captured(1))));
    return text.toUtf8();
}

// The throw-away Dovecot the test command started, and its user's Maildir.
struct Dovecot
{
    QString state = QStringLiteral(BREVORA_TEST_DOVECOT);
    QString value(const char* name) const { return QString::fromUtf8(readAll(state + '/' + name)).trimmed(); }
    QString maildir() const { return value("maildir"); }
    BounceSetup setup(const QString& scheme, const char* port) const
    {
        BounceSetup s;
        s.mailbox = QStringLiteral("%1://bounces@127.0.0.1:%2/INBOX").arg(scheme, value(port));
        s.password = value("password");
        return s;
    }
    CertificateDecision trustItsCertificate() const
    {
        const QString fingerprint = value("fingerprint");
        return [fingerprint](const CertificateInfo& info) { return info.sha256 == fingerprint; };
    }
    // The messages of a folder ("" for the inbox), with the Maildir flags of each.
    QStringList files(const QString& folder = {}) const
    {
        QStringList out;
        const QString base = folder.isEmpty() ? maildir() : maildir() + "/." + folder;
        for (const char* sub : {"/new", "/cur"})
            for (const QString& name : QDir(base + sub).entryList(QDir::Files))
                out.append(name);
        return out;
    }
    void empty() const
    {
        for (const QString& folder : {QString(), QStringLiteral("Brevora.Processed")})
            for (const char* sub : {"/new", "/cur"}) {
                const QString base = (folder.isEmpty() ? maildir() : maildir() + "/." + folder) + sub;
                for (const QString& name : QDir(base).entryList(QDir::Files))
                    QFile::remove(base + '/' + name);
            }
    }
};

