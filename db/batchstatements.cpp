#include "db/batchstatements.h"

QString Sql::digestPairs(int count)
{
    return valueRows(count, 2);
}

QString Sql::valueRows(int count, int columns)
{
    QString row = QStringLiteral("(");
    for (int i = 0; i < columns; ++i)
        row += i == 0 ? QStringLiteral("?") : QStringLiteral(", ?");
    row += QLatin1Char(')');
    QString rows;
    rows.reserve(count * (row.size() + 2));
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            rows += QStringLiteral(", ");
        rows += row;
    }
    return rows;
}

QString Sql::placeholders(int count)
{
    QString list;
    list.reserve(count * 3);
    for (int i = 0; i < count; ++i)
        list += i == 0 ? QStringLiteral("?") : QStringLiteral(", ?");
    return list;
}
