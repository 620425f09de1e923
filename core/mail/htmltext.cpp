#include "core/mail/htmltext.h"

#include <QHash>
#include <QRegularExpression>

namespace {

constexpr qsizetype kFoldColumn = 77; // lines stay under 78 characters

QString decodeEntities(const QString& text)
{
    static const QHash<QString, QChar> named = {
        {"amp", u'&'},       {"lt", u'<'},         {"gt", u'>'},         {"quot", u'"'},       {"apos", u'\''},
        {"nbsp", QChar(0xA0)}, {"copy", QChar(0xA9)}, {"reg", QChar(0xAE)}, {"trade", QChar(0x2122)},
        {"euro", QChar(0x20AC)}, {"pound", QChar(0xA3)}, {"yen", QChar(0xA5)}, {"cent", QChar(0xA2)},
        {"sect", QChar(0xA7)}, {"deg", QChar(0xB0)}, {"middot", QChar(0xB7)}, {"bull", QChar(0x2022)},
        {"hellip", QChar(0x2026)}, {"ndash", QChar(0x2013)}, {"mdash", QChar(0x2014)}, {"lsquo", QChar(0x2018)},
        {"rsquo", QChar(0x2019)}, {"ldquo", QChar(0x201C)}, {"rdquo", QChar(0x201D)}, {"laquo", QChar(0xAB)},
        {"raquo", QChar(0xBB)}, {"times", QChar(0xD7)}, {"divide", QChar(0xF7)}, {"auml", QChar(0xE4)},
        {"ouml", QChar(0xF6)}, {"uuml", QChar(0xFC)}, {"Auml", QChar(0xC4)}, {"Ouml", QChar(0xD6)},
        {"Uuml", QChar(0xDC)}, {"szlig", QChar(0xDF)}, {"eacute", QChar(0xE9)}, {"egrave", QChar(0xE8)},
        {"agrave", QChar(0xE0)}, {"ccedil", QChar(0xE7)}, {"Eacute", QChar(0xC9)}, {"ntilde", QChar(0xF1)},
    };
    static const QRegularExpression entity(QStringLiteral("&(#[0-9]{1,7}|#[xX][0-9a-fA-F]{1,6}|[A-Za-z][A-Za-z0-9]{1,9});"));
    QString out;
    out.reserve(text.size());
    qsizetype from = 0;
    for (auto it = entity.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += QStringView(text).mid(from, m.capturedStart() - from);
        from = m.capturedEnd();
        const QString name = m.captured(1);
        if (name.startsWith(u'#')) {
            bool ok = false;
            const uint code = name.at(1) == u'x' || name.at(1) == u'X' ? name.mid(2).toUInt(&ok, 16) : name.mid(1).toUInt(&ok, 10);
            // Control characters and what is no character at all stay out of the text.
            if (ok && code >= 0x20 && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF) && !(code >= 0x7F && code < 0xA0))
                out += QString::fromUcs4(reinterpret_cast<const char32_t*>(&code), 1);
        } else if (const auto n = named.constFind(name); n != named.constEnd()) {
            out += *n;
        } else {
            out += m.captured(0); // unknown: left as written
        }
    }
    out += QStringView(text).mid(from);
    return out;
}

// Folds one line at blanks so that each piece stays under 78 characters.
void foldInto(QStringList& lines, const QString& line)
{
    QString current;
    for (const QString& word : line.split(u' ', Qt::SkipEmptyParts)) {
        if (!current.isEmpty() && current.size() + 1 + word.size() > kFoldColumn) {
            lines.append(current);
            current.clear();
        }
        current += current.isEmpty() ? word : u' ' + word;
    }
    lines.append(current);
}

} // namespace

QStringList HtmlToText(const QStringList& htmlLines)
{
    QString html = htmlLines.join(u'\n');
    static const QRegularExpression dropped(
        QStringLiteral("<!--.*?-->|<(script|style|head|title|noscript|template)\\b[^>]*>.*?</\\1\\s*>"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    html.remove(dropped);
    // Blanks and line ends in the source are one blank, as a browser shows them.
    static const QRegularExpression blanks(QStringLiteral("[ \\t\\r\\n\\f]+"));
    html.replace(blanks, QStringLiteral(" "));
    // Links keep their target: "text (URL)", or the URL alone when it is the text.
    static const QRegularExpression link(QStringLiteral("<a\\b[^>]*?\\bhref\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)'|([^\\s>]+))[^>]*>(.*?)</a\\s*>"),
                                         QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    QString withLinks;
    qsizetype from = 0;
    for (auto it = link.globalMatch(html); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        withLinks += QStringView(html).mid(from, m.capturedStart() - from);
        from = m.capturedEnd();
        const QString url = decodeEntities(m.captured(1) + m.captured(2) + m.captured(3)).trimmed();
        const QString text = QString(m.captured(4)).remove(tag).trimmed();
        if (url.isEmpty() || url.startsWith(u'#') || decodeEntities(text) == url
            || (url.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive) && decodeEntities(text) == url.mid(7)))
            withLinks += text.isEmpty() ? url.toHtmlEscaped() : m.captured(4);
        else
            withLinks += (text.isEmpty() ? QString() : text + u' ') + u'(' + url.toHtmlEscaped() + u')';
    }
    withLinks += QStringView(html).mid(from);
    html = withLinks;
    // Line breaks and blocks: a line break is a new line, a block a paragraph of its own.
    static const QRegularExpression lineBreak(QStringLiteral("<br\\b[^>]*>|</?(tr|dt|dd)\\b[^>]*>"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression item(QStringLiteral("<li\\b[^>]*>"), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression block(
        QStringLiteral("</?(p|div|h[1-6]|ul|ol|table|blockquote|pre|section|article|header|footer|hr|body|html)\\b[^>]*>"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression cell(QStringLiteral("</t[dh]\\s*>"), QRegularExpression::CaseInsensitiveOption);
    html.replace(lineBreak, QStringLiteral("\n"));
    html.replace(item, QStringLiteral("\n- "));
    html.replace(block, QStringLiteral("\n\n"));
    html.replace(cell, QStringLiteral(" "));
    html.remove(tag);
    html = decodeEntities(html);
    html.replace(QChar(0xA0), u' ');

    QStringList lines;
    bool blankBefore = true; // no blank line at the start
    for (const QString& raw : html.split(u'\n')) {
        const QString line = raw.simplified();
        if (line.isEmpty()) {
            if (!blankBefore)
                lines.append(QString());
            blankBefore = true;
            continue;
        }
        foldInto(lines, line);
        blankBefore = false;
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
