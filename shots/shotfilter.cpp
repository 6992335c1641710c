#include "shots/shotfilter.h"

#include "db/statements.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlField>

namespace ShotFilter {

QStringList searchedColumns()
{
    return {QStringLiteral("filename"), QStringLiteral("location"), QStringLiteral("scene"),
            QStringLiteral("shot"),     QStringLiteral("duration"), QStringLiteral("takes"),
            QStringLiteral("related"),  QStringLiteral("shottype"), QStringLiteral("descid"),
            QStringLiteral("notes")};
}

QStringList words(const QString &typed)
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return typed.split(space, Qt::SkipEmptyParts);
}

QString containsPattern(const QString &word)
{
    QString pattern;
    pattern.reserve(word.size() + 4);
    pattern += QLatin1Char('%');
    for (const QChar c : word) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('%') || c == QLatin1Char('_'))
            pattern += QLatin1Char('\\');
        pattern += c;
    }
    pattern += QLatin1Char('%');
    return pattern;
}

namespace {
// All searched columns as one text per row. The newline between them can
// never be part of a word (words are split at white space), so a word
// never matches across two columns. filename compares its bytes; here it
// takes the table's case-insensitive collation like the other columns.
QString searchedText(bool withMedia)
{
    QStringList parts;
    for (const QString &column : searchedColumns()) {
        if (column == QLatin1String("filename"))
            parts << QStringLiteral("filename COLLATE utf8mb4_unicode_ci");
        else
            parts << column;
    }
    if (withMedia)
        parts << QStringLiteral("Cast(m.recorded_at As Char)") << QStringLiteral("m.start_timecode")
              << QStringLiteral("Concat(m.width, 'x', m.height)") << QStringLiteral("m.problem");
    return QStringLiteral("CONCAT_WS('\\n', %1)").arg(parts.join(QStringLiteral(", ")));
}
} // namespace

QString condition(int projectId, const QString &typed, bool notYetLogged, const QSqlDriver *driver, bool withMedia)
{
    QString result = QString::fromLatin1(Sql::shotsFilter).arg(projectId);
    const QStringList list = words(typed);
    if (!list.isEmpty()) {
        const QString text = searchedText(withMedia);
        for (const QString &word : list) {
            QSqlField field(QStringLiteral("word"), QMetaType(QMetaType::QString));
            field.setValue(containsPattern(word));
            result += QStringLiteral(" AND %1 LIKE %2").arg(text, driver->formatValue(field));
        }
    }
    if (notYetLogged)
        result += QStringLiteral(" AND COALESCE(scene, '') = '' AND COALESCE(shot, '') = ''"
                                 " AND COALESCE(notes, '') = ''");
    return result;
}

} // namespace ShotFilter
