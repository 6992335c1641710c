#pragma once

#include <QString>
#include <QVariant>

// The shots' free-text columns (location, shot type, notes) hold plain text.
// Earlier clients stored them as the toolkit's rich-text HTML document; such
// a value is shown as the text it holds and only rewritten, as plain text,
// when the user edits that field. Nothing else is ever taken for markup:
// "Take 2 <better than take 1>" is exactly those characters.
namespace PlainText {

// True for a value that begins with the toolkit's own rich-text header: the
// HTML 4.0 document type followed by a "qrichtext" meta line.
bool isRichTextDocument(const QString &value);

// The text a rich-text document shows: its paragraphs joined by line
// breaks, character entities decoded. Any other value is returned as it is.
QString fromStored(const QString &value);

// Same for a column value; NULL and non-text values pass unchanged.
QVariant fromStored(const QVariant &value);

} // namespace PlainText
