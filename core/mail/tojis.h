#pragma once

#include <QByteArray>
#include <QString>

// Japanese text as ISO-2022-JP: ASCII as it is, double-byte runs between ESC "$B" and ESC "(B",
// half-width katakana turned full-width (joined with a following sound mark where such a
// character exists). Throws an error naming the first character outside JIS X 0208.
QByteArray ToJis(const QString& text);

// Half-width katakana replaced by full-width katakana; everything else unchanged.
QString WidenKatakana(const QString& text);
