#include "shots/quicktags.h"

#include <QSet>

#include <algorithm>

namespace QuickTags {

namespace {
const QString separator = QStringLiteral(", ");

QSet<QString> folded(const QVariant &value)
{
    QSet<QString> set;
    for (const QString &tag : split(value))
        set.insert(tag.toCaseFolded());
    return set;
}
} // namespace

QStringList defaults()
{
    return {QStringLiteral("Good"), QStringLiteral("NG"), QStringLiteral("Print"), QStringLiteral("Check focus"),
            QStringLiteral("Check sound")};
}

QStringList split(const QVariant &value)
{
    QStringList tags;
    if (value.isNull())
        return tags;
    for (const QString &part : value.toString().split(QLatin1Char(','))) {
        const QString tag = part.trimmed();
        if (!tag.isEmpty())
            tags << tag;
    }
    return tags;
}

QVariant joined(QStringList tags)
{
    QStringList unique;
    QSet<QString> seen;
    for (const QString &tag : std::as_const(tags)) {
        const QString trimmed = tag.trimmed();
        if (!trimmed.isEmpty() && !seen.contains(trimmed.toCaseFolded())) {
            seen.insert(trimmed.toCaseFolded());
            unique << trimmed;
        }
    }
    if (unique.isEmpty())
        return QVariant(QMetaType::fromType<QString>());
    std::sort(unique.begin(), unique.end(), [](const QString &a, const QString &b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return unique.join(separator);
}

bool has(const QVariant &value, const QString &tag)
{
    return folded(value).contains(tag.trimmed().toCaseFolded());
}

QVariant toggled(const QVariant &value, const QString &tag, bool on)
{
    QStringList tags;
    const QString key = tag.trimmed().toCaseFolded();
    for (const QString &held : split(value)) {
        if (held.toCaseFolded() != key)
            tags << held;
    }
    if (on)
        tags << tag.trimmed();
    return joined(tags);
}

bool sameTags(const QVariant &a, const QVariant &b)
{
    return folded(a) == folded(b);
}

QString problemWith(const QStringList &tags)
{
    QSet<QString> seen;
    for (int i = 0; i < tags.size(); ++i) {
        const QString tag = tags.at(i).trimmed();
        if (tag.isEmpty())
            return QStringLiteral("Tag %1 has no name: type one, or remove the tag.").arg(i + 1);
        if (tag.size() > maxLength)
            return QStringLiteral("\"%1...\" is longer than %2 characters: shorten it.")
                .arg(tag.left(20), QString::number(maxLength));
        if (tag.contains(QLatin1Char(',')))
            return QStringLiteral("\"%1\" holds a comma, which parts the tags of a shot: use another character.")
                .arg(tag);
        if (seen.contains(tag.toCaseFolded()))
            return QStringLiteral("\"%1\" is in the list twice: rename or remove one.").arg(tag);
        seen.insert(tag.toCaseFolded());
    }
    return QString();
}

} // namespace QuickTags
