#include "core/intake/listfile.h"

#include "core/text/codepage.h"

#include <QStringDecoder>

QString DecodeListFile(const QByteArray& bytes)
{
    const auto startsWith = [&bytes](const char* mark, int size) { return bytes.startsWith(QByteArrayView(mark, size)); };
    if (startsWith("\xEF\xBB\xBF", 3))
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)) {
        QStringDecoder decoder(startsWith("\xFF\xFE", 2) ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        return decoder(QByteArrayView(bytes).sliced(2));
    }
    return CodePage::decode(bytes);
}

QString DecodeCsvFile(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        return DecodeListFile(bytes);
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8(bytes);
    return utf8.hasError() ? CodePage::decode(bytes) : text;
}
