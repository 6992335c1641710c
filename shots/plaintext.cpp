#include "shots/plaintext.h"

namespace PlainText {

namespace {
const QLatin1String docType("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\"");
const QLatin1String richTextMeta("<meta name=\"qrichtext\"");

QString decodeEntity(const QString &entity)
{
    if (entity == QLatin1String("lt"))
        return QStringLiteral("<");
    if (entity == QLatin1String("gt"))
        return QStringLiteral(">");
    if (entity == QLatin1String("amp"))
        return QStringLiteral("&");
    if (entity == QLatin1String("quot"))
        return QStringLiteral("\"");
    if (entity == QLatin1String("apos"))
        return QStringLiteral("'");
    if (entity == QLatin1String("nbsp"))
        return QString(QChar(0x00a0));
    if (entity.startsWith(QLatin1Char('#'))) {
        bool ok = false;
        const uint code = entity.startsWith(QLatin1String("#x"), Qt::CaseInsensitive)
            ? entity.mid(2).toUInt(&ok, 16)
            : entity.mid(1).toUInt(&ok, 10);
        if (ok && code > 0 && code <= 0x10ffff) {
            const char32_t c = code;
            return QString::fromUcs4(&c, 1);
        }
    }
    return QString();
}

// The tag's name in lower case, without "/" and attributes.
QString tagName(const QString &tag)
{
    int start = tag.startsWith(QLatin1Char('/')) ? 1 : 0;
    int end = start;
    while (end < tag.size() && (tag.at(end).isLetterOrNumber()))
        ++end;
    return tag.mid(start, end - start).toLower();
}
} // namespace

bool isRichTextDocument(const QString &value)
{
    if (!value.startsWith(docType))
        return false;
    // The meta line follows within the document's head.
    const int head = value.indexOf(QLatin1String("</head>"), 0, Qt::CaseInsensitive);
    const int meta = value.indexOf(richTextMeta, 0, Qt::CaseInsensitive);
    return meta > 0 && (head < 0 || meta < head);
}

QString fromStored(const QString &value)
{
    if (!isRichTextDocument(value))
        return value;
    int pos = value.indexOf(QLatin1String("<body"), 0, Qt::CaseInsensitive);
    if (pos < 0)
        return value;
    pos = value.indexOf(QLatin1Char('>'), pos);
    if (pos < 0)
        return value;
    ++pos;

    // The document writes each block as <p> or <li> with white-space kept
    // (pre-wrap); text between blocks is only the document's own layout.
    QString text;
    bool inBlock = false;
    bool emptyBlock = false;
    bool firstBlock = true;
    while (pos < value.size()) {
        const QChar c = value.at(pos);
        if (c == QLatin1Char('<')) {
            const int close = value.indexOf(QLatin1Char('>'), pos);
            if (close < 0)
                break;
            const QString tag = value.mid(pos + 1, close - pos - 1);
            const QString name = tagName(tag);
            const bool closing = tag.startsWith(QLatin1Char('/'));
            pos = close + 1;
            if (name == QLatin1String("body") && closing)
                break;
            if (name == QLatin1String("p") || name == QLatin1String("li")
                || (name.size() == 2 && name.at(0) == QLatin1Char('h') && name.at(1).isDigit())) {
                if (closing) {
                    inBlock = false;
                } else {
                    if (!firstBlock)
                        text += QLatin1Char('\n');
                    firstBlock = false;
                    inBlock = true;
                    emptyBlock = tag.contains(QLatin1String("-qt-paragraph-type:empty"));
                }
            } else if (name == QLatin1String("br") && inBlock && !emptyBlock) {
                text += QLatin1Char('\n');
            }
            continue;
        }
        if (c == QLatin1Char('&')) {
            const int semicolon = value.indexOf(QLatin1Char(';'), pos);
            if (semicolon > pos && semicolon - pos <= 10) {
                const QString decoded = decodeEntity(value.mid(pos + 1, semicolon - pos - 1));
                if (!decoded.isEmpty()) {
                    if (inBlock && !emptyBlock)
                        text += decoded;
                    pos = semicolon + 1;
                    continue;
                }
            }
        }
        if (inBlock && !emptyBlock)
            text += c;
        ++pos;
    }
    return text;
}

QVariant fromStored(const QVariant &value)
{
    if (value.isNull() || value.metaType().id() != QMetaType::QString)
        return value;
    const QString text = value.toString();
    if (!isRichTextDocument(text))
        return value;
    return fromStored(text);
}

} // namespace PlainText
