#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// One server reply, parsed from its lines.
struct SmtpReply
{
    int NumericCode = 0;  // 0 when the code is not a number
    QString TextCode;     // first four characters of the first line, trimmed, without a trailing "-"
    QStringList Text;     // each line from its fifth character on

    // The text used in failure messages: every entry followed by CR LF.
    QString text() const;

    static SmtpReply parse(const QList<QByteArray>& lines);
};

// Collects the lines of one reply as they are read. Pure: it only decides what each line means.
class ReplyAssembler
{
public:
    static constexpr int kMaxLines = 1000;
    static constexpr qsizetype kMaxBytes = 1 << 20;

    enum class Step { NeedMore, Complete };
    // Takes one raw line (without its line end). Throws when the reply grows past its bounds or a
    // line carries another code than the first.
    Step addLine(const QByteArray& rawLine);
    const QList<QByteArray>& lines() const { return m_lines; }

    // Leading and trailing blanks and control characters removed.
    static QByteArray trimLine(const QByteArray& line);

private:
    QList<QByteArray> m_lines;
    QByteArray m_terminator;
    qsizetype m_bytes = 0;
};

// The capabilities an EHLO reply announces.
struct ServerCapabilities
{
    QStringList authSchemes; // upper case, each once, in order of appearance
    bool pipelining = false;
    bool chunking = false; // BDAT (RFC 3030)
    bool eightBitMime = false;
    bool startTls = false;
    bool size = false;     // SIZE (RFC 1870): MAIL FROM declares the message's size
    qint64 sizeLimit = 0;  // the largest message the server takes; 0: it names none

    static ServerCapabilities fromEhlo(const SmtpReply& reply);
};
