#pragma once

#include <QStringList>

// The text alternative of an HTML body: paragraphs, headings, list items, table rows and line
// breaks kept as lines; links written as "text (URL)"; scripts, styles, the head and comments
// dropped; every other tag removed; entities decoded; blanks collapsed as a browser would; lines
// folded at blanks to stay under 78 characters (a longer word, a URL, keeps a line of its own).
QStringList HtmlToText(const QStringList& htmlLines);
